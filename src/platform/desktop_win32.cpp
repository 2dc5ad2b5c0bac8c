#include "platform/desktop.h"

#include <conio.h>
#include <windows.h>

namespace {

// Sets length bytes to zero in a way the compiler keeps.
void wipe(void* data, size_t length) { SecureZeroMemory(data, length); }

// Writes text to the console itself, also when standard output goes to a file
// or a pipe: the prompt belongs to the person at the keyboard, not to the
// transcript.
void write_to_console(const char* text) {
  HANDLE console = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
  if (console == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteConsoleA(console, text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
  CloseHandle(console);
}

// Reads one typed line with echo off into out (see desktop_read_secret_line).
size_t read_console_line(HANDLE input, DWORD mode, const char* prompt, char* out,
                         size_t capacity) {
  // Room for any line that can fit capacity bytes: every character takes at
  // least one byte in the ANSI code page, so a longer line is too long anyway.
  constexpr DWORD kLineMax = 512;
  wchar_t line[kLineMax];
  DWORD used = 0;
  int too_long = 0;
  int ended = 0;

  write_to_console(prompt);
  // Line input keeps the console's editing keys (backspace) while the text is
  // typed; processed input keeps Ctrl+C working.
  SetConsoleMode(input, (mode | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~ENABLE_ECHO_INPUT);
  while (!ended) {
    wchar_t chunk[128];
    DWORD count = 0;
    if (!ReadConsoleW(input, chunk, sizeof(chunk) / sizeof(chunk[0]), &count, nullptr) ||
        count == 0) {
      wipe(chunk, sizeof(chunk));
      break;
    }
    for (DWORD i = 0; i < count && !ended; ++i) {
      if (chunk[i] == L'\n') {
        ended = 1;
      } else if (used < kLineMax) {
        line[used++] = chunk[i];
      } else {
        too_long = 1;
      }
    }
    wipe(chunk, sizeof(chunk));
  }
  SetConsoleMode(input, mode);
  // The Enter key was not echoed either.
  write_to_console("\r\n");

  if (used > 0 && line[used - 1] == L'\r') --used;
  size_t length = 0;
  if (!ended || used == 0) {
    length = 0;
  } else if (too_long) {
    length = capacity;
  } else {
    int converted = WideCharToMultiByte(CP_ACP, 0, line, static_cast<int>(used), out,
                                        static_cast<int>(capacity - 1), nullptr, nullptr);
    // 0 means the text needs more than capacity - 1 bytes.
    length = converted > 0 ? static_cast<size_t>(converted) : capacity;
  }
  wipe(line, sizeof(line));
  if (length == 0 || length == capacity) wipe(out, capacity);
  out[length < capacity ? length : 0] = '\0';
  return length;
}

// Reads one line from a pipe or file, one byte at a time so that nothing
// behind the line is taken from the stream.
size_t read_stream_line(HANDLE input, char* out, size_t capacity) {
  size_t used = 0;
  int too_long = 0;
  for (;;) {
    char byte = 0;
    DWORD count = 0;
    if (!ReadFile(input, &byte, 1, &count, nullptr) || count == 0) break;
    if (byte == '\n') break;
    if (used < capacity - 1) {
      out[used++] = byte;
    } else {
      too_long = 1;
      break;
    }
  }
  if (used > 0 && out[used - 1] == '\r' && !too_long) --used;
  if (too_long || used == 0) {
    wipe(out, capacity);
    return too_long ? capacity : 0;
  }
  out[used] = '\0';
  return used;
}

}  // namespace

void desktop_show_box(const char* text, const char* caption, unsigned icon) {
  MessageBoxA(nullptr, text, caption, MB_OK | icon);
}

int desktop_key_waiting() { return _kbhit() ? 1 : 0; }

int desktop_read_key() { return _getch(); }

int desktop_take_environment_secret(const char* name, char* out, size_t capacity, size_t* length) {
  out[0] = '\0';
  *length = 0;
  // An empty value also gives 0: only the error code tells it from a
  // variable that is not there.
  SetLastError(ERROR_SUCCESS);
  DWORD result = GetEnvironmentVariableA(name, out, static_cast<DWORD>(capacity));
  if (result == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return 0;
  // Children (the watchdog, PowerShell) get this process's environment block.
  SetEnvironmentVariableA(name, nullptr);
  if (result >= capacity) {
    // Too small a buffer: the result is the size needed, and out is undefined.
    wipe(out, capacity);
    out[0] = '\0';
    *length = capacity;
    return 1;
  }
  *length = result;
  return 1;
}

size_t desktop_read_secret_line(const char* prompt, char* out, size_t capacity) {
  out[0] = '\0';
  if (capacity < 2) return 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return 0;
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode)) return read_console_line(input, mode, prompt, out, capacity);
  return read_stream_line(input, out, capacity);
}
