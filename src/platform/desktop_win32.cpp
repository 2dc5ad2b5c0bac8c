#include "platform/desktop.h"

#include <conio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>

#include <atomic>

namespace {

// Writes UTF-8 text to the console itself, also when standard output goes to
// a file or a pipe: the prompt belongs to the person at the keyboard, not to
// the transcript. Wide, so that a user name outside the console's code page
// shows as typed.
void write_to_console(const char* text) {
  wchar_t wide[512];
  int count = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, sizeof(wide) / sizeof(wide[0]));
  if (count <= 1) return;
  HANDLE console = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
  if (console == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteConsoleW(console, wide, static_cast<DWORD>(count - 1), &written, nullptr);
  CloseHandle(console);
}

// The console's input mode from before the password prompt switched echo
// off, for the console control handler: Ctrl+C or Ctrl+Break at the prompt
// ends the process before the prompt itself can put the mode back, and the
// user's shell would then show nothing they type.
struct SavedConsoleMode {
  HANDLE input;
  DWORD mode;
};
SavedConsoleMode saved_console_mode;
// 1 while saved_console_mode must still be put back; whoever exchanges it to
// 0 puts it back, so the prompt and the handler never both do.
std::atomic<int> console_mode_pending{0};

// Converts length UTF-16 units to UTF-8 in out (capacity bytes, NUL added).
// Returns the byte count; capacity when the text needs more than
// capacity - 1 bytes or holds a lone surrogate, which no SOCKS5 server could
// compare (out wiped then).
size_t secret_to_utf8(const wchar_t* text, size_t length, char* out, size_t capacity) {
  int converted = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(length),
                                      out, static_cast<int>(capacity - 1), nullptr, nullptr);
  if (converted <= 0) {
    SecureZeroMemory(out, capacity);
    return capacity;
  }
  out[converted] = '\0';
  return static_cast<size_t>(converted);
}

// Reads one typed line with echo off into out (see desktop_read_secret_line).
size_t read_console_line(HANDLE input, DWORD mode, const char* prompt, char* out, size_t capacity) {
  // Room for any line that can fit capacity bytes: every character takes at
  // least one byte in UTF-8, so a longer line is too long anyway.
  constexpr DWORD kLineMax = 512;
  wchar_t line[kLineMax];
  DWORD used = 0;
  int too_long = 0;
  int ended = 0;

  // Line input keeps the console's editing keys (backspace) while the text is
  // typed; processed input keeps Ctrl+C working.
  saved_console_mode.input = input;
  saved_console_mode.mode = mode;
  console_mode_pending.store(1);
  DWORD echo_off = (mode | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~ENABLE_ECHO_INPUT;
  DWORD in_force = 0;
  if (!SetConsoleMode(input, echo_off) || !GetConsoleMode(input, &in_force) ||
      (in_force & ENABLE_ECHO_INPUT) != 0) {
    // A password typed with echo on would stand on the screen: not asked.
    if (console_mode_pending.exchange(0) != 0) SetConsoleMode(input, mode);
    return 0;
  }
  write_to_console(prompt);
  while (!ended) {
    wchar_t chunk[128];
    DWORD count = 0;
    if (!ReadConsoleW(input, chunk, sizeof(chunk) / sizeof(chunk[0]), &count, nullptr) ||
        count == 0) {
      SecureZeroMemory(chunk, sizeof(chunk));
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
    SecureZeroMemory(chunk, sizeof(chunk));
  }
  desktop_restore_console_mode();
  // The Enter key was not echoed either.
  write_to_console("\r\n");

  if (used > 0 && line[used - 1] == L'\r') --used;
  size_t length = 0;
  if (!ended || used == 0) {
    length = 0;
  } else if (too_long) {
    length = capacity;
  } else {
    length = secret_to_utf8(line, used, out, capacity);
  }
  SecureZeroMemory(line, sizeof(line));
  if (length == 0 || length == capacity) SecureZeroMemory(out, capacity);
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
    SecureZeroMemory(out, capacity);
    return too_long ? capacity : 0;
  }
  out[used] = '\0';
  return used;
}

}  // namespace

void desktop_flash_console_window() {
  HWND console = GetConsoleWindow();
  if (console == nullptr) return;
  FLASHWINFO flash = {};
  flash.cbSize = sizeof(flash);
  flash.hwnd = console;
  flash.dwFlags = FLASHW_TRAY | FLASHW_TIMERNOFG;
  FlashWindowEx(&flash);
}

void desktop_show_box(const char* text, const char* caption, unsigned icon) {
  MessageBoxA(nullptr, text, caption, MB_OK | icon);
}

int desktop_key_waiting() { return _kbhit() ? 1 : 0; }

int desktop_read_key() { return _getch(); }

int desktop_utf8_arguments(char* text, size_t capacity, char** argv, int argv_capacity, int* argc) {
  *argc = 0;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return 0;
  int ok = count >= 1 && count < argv_capacity;
  size_t used = 0;
  for (int i = 0; ok && i < count; ++i) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text + used,
                                    static_cast<int>(capacity - used), nullptr, nullptr);
    if (bytes <= 0) {
      ok = 0;
    } else {
      argv[i] = text + used;
      used += static_cast<size_t>(bytes);
    }
  }
  LocalFree(wide);
  if (!ok) return 0;
  argv[count] = nullptr;
  *argc = count;
  return 1;
}

void desktop_remove_environment_variable(const char* name) {
  wchar_t wide_name[128];
  if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide_name, 128) <= 0) return;
  // The C runtime copied the environment at start-up; getenv and _spawn read
  // that copy. An empty value removes the variable there.
  _putenv_s(name, "");
  _wputenv_s(wide_name, L"");
  // Children (the watchdog, PowerShell) get this process's environment block.
  SetEnvironmentVariableW(wide_name, nullptr);
}

int desktop_take_environment_secret(const char* name, char* out, size_t capacity, size_t* length) {
  out[0] = '\0';
  *length = 0;
  wchar_t wide_name[128];
  if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide_name, 128) <= 0) return 0;
  // A value of capacity - 1 UTF-8 bytes has at most as many UTF-16 units.
  constexpr DWORD kValueMax = 512;
  wchar_t value[kValueMax];
  // An empty value also gives 0: only the error code tells it from a
  // variable that is not there.
  SetLastError(ERROR_SUCCESS);
  DWORD result = GetEnvironmentVariableW(wide_name, value, kValueMax);
  if (result == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return 0;
  desktop_remove_environment_variable(name);
  if (result >= kValueMax || result >= capacity) {
    // Too small a buffer: the result is the size needed, and value is undefined.
    *length = capacity;
  } else if (result > 0) {
    *length = secret_to_utf8(value, result, out, capacity);
  }
  SecureZeroMemory(value, sizeof(value));
  if (*length == capacity) out[0] = '\0';
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

void desktop_restore_console_mode() {
  if (console_mode_pending.exchange(0) != 0) {
    SetConsoleMode(saved_console_mode.input, saved_console_mode.mode);
  }
}

namespace {

// The failures after which the same start may well succeed: Wine, for one,
// reports a new process that died while it was being set up (seen about once
// in 2000 starts on a loaded machine) as an internal error.
int start_failure_is_momentary(DWORD error) {
  return error == ERROR_INTERNAL_ERROR || error == ERROR_NOT_ENOUGH_MEMORY ||
         error == ERROR_OUTOFMEMORY || error == ERROR_NO_SYSTEM_RESOURCES ||
         error == ERROR_COMMITMENT_LIMIT;
}

constexpr int kStartTries = 3;
constexpr DWORD kStartRetryPauseMs = 100;
// The longest command line that CreateProcessW takes, with its NUL.
constexpr size_t kCommandLineCapacity = 32768;

}  // namespace

int desktop_start_process(const wchar_t* application, const wchar_t* command_line,
                          unsigned long flags, void** process) {
  const size_t length = wcslen(command_line);
  if (length >= kCommandLineCapacity) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // CreateProcessW may write into its command line: each try gets a fresh copy.
  wchar_t writable[kCommandLineCapacity];
  for (int attempt = 1;; ++attempt) {
    memcpy(writable, command_line, (length + 1) * sizeof(wchar_t));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (CreateProcessW(application, writable, nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                       &startup, &started)) {
      CloseHandle(started.hThread);
      if (process != nullptr) {
        *process = started.hProcess;
      } else {
        CloseHandle(started.hProcess);
      }
      return 1;
    }
    const DWORD error = GetLastError();
    if (attempt == kStartTries || !start_failure_is_momentary(error)) return 0;
    Sleep(kStartRetryPauseMs);
  }
}
