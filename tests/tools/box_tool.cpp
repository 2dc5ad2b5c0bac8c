// Test helper: finds a message box by its caption and reads or closes it.
// The box belongs to another process, so its icon handle cannot be compared
// with our own: the icon is identified by drawing each candidate system icon
// over the box's background and comparing pixels with the screen.
//
//   box_tool read CAPTION TIMEOUT_MS    prints "icon: error|warning|information|none|unknown",
//                                       "buttons: OK ..." and "text:" followed by the exact text
//   box_tool click CAPTION TIMEOUT_MS   presses the box's first button (OK) as a click notifies it
//   box_tool foreground TITLE TIMEOUT_MS makes the top-level window with TITLE the one that
//                                       takes the keys, and checks that it is
//   box_tool close TITLE TIMEOUT_MS     asks the top-level window with TITLE to close (WM_CLOSE)
//   box_tool screen PID 0               prints the screen of the console that process PID is
//                                       attached to, as the user sees it: one line per row up to
//                                       the cursor's, UTF-8, trailing blanks cut
//   box_tool console-event PID c|break  raises Ctrl+C or Ctrl+Break in every program of the
//                                       console that process PID is attached to, as the
//                                       console does when the user types it; the tool
//                                       itself ignores the event
//
// Exit code 0 on success, 1 when no such window appeared in time, 2 on bad usage.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr int kIconControlId = 1088;    // the icon's static control in a message box
constexpr int kTextControlId = 0xFFFF;  // the text's static control
constexpr int kPollMs = 50;

struct IconCandidate {
  const char* name;
  LPCSTR id;
};

const IconCandidate kIcons[] = {
    {"error", IDI_ERROR},
    {"warning", IDI_WARNING},
    {"information", IDI_INFORMATION},
    {"question", IDI_QUESTION},
};
constexpr int kIconCount = sizeof(kIcons) / sizeof(kIcons[0]);

// Returns the visible top-level window with the class (may be null) and title,
// waiting at most timeout_ms; null when none appeared.
HWND box_wait_window(const char* window_class, const char* title, int timeout_ms) {
  for (int waited = 0;; waited += kPollMs) {
    HWND window = FindWindowA(window_class, title);
    if (window != nullptr && IsWindowVisible(window)) return window;
    if (waited >= timeout_ms) return nullptr;
    Sleep(kPollMs);
  }
}

// Sum of the colour differences between the screen copy and the icon drawn
// over the background colour, both width x height.
unsigned long box_icon_distance(HDC screen_copy, int width, int height, LPCSTR icon_id,
                                COLORREF background) {
  HDC drawing = CreateCompatibleDC(screen_copy);
  HBITMAP bitmap = CreateCompatibleBitmap(screen_copy, width, height);
  HGDIOBJ previous = SelectObject(drawing, bitmap);
  HBRUSH brush = CreateSolidBrush(background);
  RECT area = {0, 0, width, height};
  FillRect(drawing, &area, brush);
  DrawIconEx(drawing, 0, 0, LoadIconA(nullptr, icon_id), width, height, 0, nullptr, DI_NORMAL);
  unsigned long total = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      COLORREF a = GetPixel(drawing, x, y);
      COLORREF b = GetPixel(screen_copy, x, y);
      total += abs(static_cast<int>(GetRValue(a)) - GetRValue(b)) +
               abs(static_cast<int>(GetGValue(a)) - GetGValue(b)) +
               abs(static_cast<int>(GetBValue(a)) - GetBValue(b));
    }
  }
  DeleteObject(brush);
  SelectObject(drawing, previous);
  DeleteObject(bitmap);
  DeleteDC(drawing);
  return total;
}

// Names the icon shown in the box: "none" without an icon control, the name of
// the system icon whose pixels match exactly, or null while nothing matches
// (the box may not be painted yet).
const char* box_identify_icon(HWND box) {
  HWND icon = GetDlgItem(box, kIconControlId);
  if (icon == nullptr || !IsWindowVisible(icon)) return "none";
  RECT rect;
  if (!GetWindowRect(icon, &rect)) return nullptr;
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0 || width > 256 || height > 256) return nullptr;

  const char* found = nullptr;
  HDC screen = GetDC(nullptr);
  HDC copy = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ previous = SelectObject(copy, bitmap);
  BitBlt(copy, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  COLORREF background = GetPixel(copy, width - 1, height - 1);
  for (int i = 0; i < kIconCount && found == nullptr; ++i) {
    if (box_icon_distance(copy, width, height, kIcons[i].id, background) == 0)
      found = kIcons[i].name;
  }
  SelectObject(copy, previous);
  DeleteObject(bitmap);
  DeleteDC(copy);
  ReleaseDC(nullptr, screen);
  return found;
}

struct ButtonList {
  char names[256];
};

BOOL CALLBACK box_collect_button(HWND child, LPARAM parameter) {
  ButtonList* list = reinterpret_cast<ButtonList*>(parameter);
  char class_name[32];
  char text[64];
  if (GetClassNameA(child, class_name, sizeof(class_name)) == 0) return TRUE;
  if (_stricmp(class_name, "Button") != 0 || !IsWindowVisible(child)) return TRUE;
  GetWindowTextA(child, text, sizeof(text));
  size_t used = strlen(list->names);
  snprintf(list->names + used, sizeof(list->names) - used, "%s%s", used ? " " : "", text);
  return TRUE;
}

int box_read(const char* caption, int timeout_ms) {
  HWND box = box_wait_window("#32770", caption, timeout_ms);
  if (box == nullptr) return 1;
  // The icon is matched once the box has been painted; give it the rest of
  // the time allowed, at least one second.
  const char* icon = nullptr;
  for (int waited = 0; icon == nullptr && waited < (timeout_ms > 1000 ? timeout_ms : 1000);
       waited += kPollMs) {
    icon = box_identify_icon(box);
    if (icon == nullptr) Sleep(kPollMs);
  }
  static char text[16384];
  text[0] = '\0';
  HWND text_control = GetDlgItem(box, kTextControlId);
  if (text_control != nullptr) GetWindowTextA(text_control, text, sizeof(text));
  ButtonList buttons;
  buttons.names[0] = '\0';
  EnumChildWindows(box, box_collect_button, reinterpret_cast<LPARAM>(&buttons));

  // Binary output: the text's own line ends must reach the reader unchanged.
  _setmode(_fileno(stdout), _O_BINARY);
  printf("icon: %s\nbuttons: %s\ntext:\n%s", icon ? icon : "unknown", buttons.names, text);
  fflush(stdout);
  return 0;
}

int box_click(const char* caption, int timeout_ms) {
  HWND box = box_wait_window("#32770", caption, timeout_ms);
  if (box == nullptr) return 1;
  // The button's own notification, as a click sends it. BM_CLICK would press
  // the button with mouse messages, which a box that is not the active window
  // (the console took the focus for typed input) may drop.
  HWND button = GetDlgItem(box, IDOK);
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  return 0;
}

// Makes the window Wine's foreground window. Typed keys reach a window only
// when it has both that and the X focus; without a window manager an X focus
// change alone leaves the foreground (and the keys) with a box in front.
int window_foreground(const char* title, int timeout_ms) {
  HWND window = box_wait_window(nullptr, title, timeout_ms);
  if (window == nullptr) return 1;
  for (int waited = 0; waited < timeout_ms; waited += kPollMs) {
    if (GetForegroundWindow() == window) return 0;
    SetForegroundWindow(window);
    Sleep(kPollMs);
  }
  return GetForegroundWindow() == window ? 0 : 1;
}

int window_close(const char* title, int timeout_ms) {
  HWND window = box_wait_window(nullptr, title, timeout_ms);
  if (window == nullptr) return 1;
  PostMessageA(window, WM_CLOSE, 0, 0);
  return 0;
}

}  // namespace

int console_screen(DWORD process_id) {
  // Our own output is a file or a pipe of the test: keep it across the attach.
  HANDLE standard_output = GetStdHandle(STD_OUTPUT_HANDLE);
  FreeConsole();
  if (!AttachConsole(process_id)) return 1;
  HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (screen == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(screen, &info)) return 1;
  static wchar_t row[1024];
  static char line[4096];
  const SHORT width = info.dwSize.X < 1024 ? info.dwSize.X : 1024;
  for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
    DWORD read = 0;
    if (!ReadConsoleOutputCharacterW(screen, row, width, COORD{0, y}, &read)) return 1;
    while (read > 0 && (row[read - 1] == L' ' || row[read - 1] == L'\0')) --read;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, row, static_cast<int>(read), line, sizeof(line) - 1,
                                    nullptr, nullptr);
    line[bytes] = '\n';
    DWORD written = 0;
    WriteFile(standard_output, line, bytes + 1, &written, nullptr);
  }
  CloseHandle(screen);
  return 0;
}

BOOL WINAPI console_event_ignore(DWORD) { return TRUE; }

// Puts a typed Ctrl+C (key down and up) into the console's input. The
// console takes it out of the input and raises CTRL_C_EVENT in all its
// programs, exactly as for the key typed in its window; under Wine 8
// GenerateConsoleCtrlEvent(CTRL_C_EVENT) returns success but reaches no one.
int console_type_ctrl_c() {
  HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
  if (input == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "box_tool: CONIN$ not opened, error %lu\n", GetLastError());
    return 1;
  }
  INPUT_RECORD keys[2] = {};
  for (int i = 0; i < 2; ++i) {
    keys[i].EventType = KEY_EVENT;
    keys[i].Event.KeyEvent.bKeyDown = i == 0;
    keys[i].Event.KeyEvent.wRepeatCount = 1;
    keys[i].Event.KeyEvent.wVirtualKeyCode = 'C';
    keys[i].Event.KeyEvent.wVirtualScanCode =
        static_cast<WORD>(MapVirtualKeyW('C', MAPVK_VK_TO_VSC));
    keys[i].Event.KeyEvent.uChar.UnicodeChar = 'C' - '@';
    keys[i].Event.KeyEvent.dwControlKeyState = LEFT_CTRL_PRESSED;
  }
  DWORD written = 0;
  int ok = WriteConsoleInputW(input, keys, 2, &written) && written == 2;
  if (!ok) fprintf(stderr, "box_tool: WriteConsoleInputW failed, error %lu\n", GetLastError());
  CloseHandle(input);
  return ok ? 0 : 1;
}

// The test's subject is the program's reaction to the event, not the
// keyboard: raised inside the console, it reaches the program's handler
// whichever window has the focus and whatever is selected on the screen.
int console_event(DWORD process_id, const char* kind) {
  int ctrl_c = strcmp(kind, "c") == 0;
  if (!ctrl_c && strcmp(kind, "break") != 0) return 2;
  FreeConsole();
  if (!AttachConsole(process_id)) {
    fprintf(stderr, "box_tool: AttachConsole(%lu) failed, error %lu\n", process_id, GetLastError());
    return 1;
  }
  // Ignored here (Ctrl+Break cannot be ignored without a handler), so the
  // event ends the console's programs, not this one.
  SetConsoleCtrlHandler(nullptr, TRUE);
  SetConsoleCtrlHandler(console_event_ignore, TRUE);
  if (ctrl_c) return console_type_ctrl_c();
  // Wine 8 refuses this one (error 6): no test can rely on it there.
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0)) {
    fprintf(stderr, "box_tool: GenerateConsoleCtrlEvent failed, error %lu\n", GetLastError());
    return 1;
  }
  return 0;
}

// Runs the verb named by argv[1]; returns the exit code.
int run_verb(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "console-event") == 0) {
    return console_event(strtoul(argv[2], nullptr, 10), argv[3]);
  }
  if (argc != 4) {
    fprintf(stderr,
            "usage: box_tool read|click|close|foreground|screen CAPTION|PID TIMEOUT_MS\n"
            "       box_tool console-event PID c|break\n");
    return 2;
  }
  int timeout_ms = atoi(argv[3]);
  if (strcmp(argv[1], "read") == 0) return box_read(argv[2], timeout_ms);
  if (strcmp(argv[1], "click") == 0) return box_click(argv[2], timeout_ms);
  if (strcmp(argv[1], "close") == 0) return window_close(argv[2], timeout_ms);
  if (strcmp(argv[1], "foreground") == 0) return window_foreground(argv[2], timeout_ms);
  if (strcmp(argv[1], "screen") == 0) return console_screen(strtoul(argv[2], nullptr, 10));
  fprintf(stderr, "box_tool: unknown verb %s\n", argv[1]);
  return 2;
}

int main(int argc, char** argv) {
  int result = run_verb(argc, argv);
  // Never silent: under load Wine itself can end a program with exit 1 and
  // no output, and the tests repeat a read only when nothing at all was said.
  if (result == 1) fprintf(stderr, "box_tool %s: failed\n", argv[1]);
  return result;
}
