// Test helper: runs a program inside the current console with its standard
// output sent to a file, waits for it and writes its exit code to another file.
// Started under wineconsole, it gives a test both a real console (for keys,
// Ctrl+C and _kbhit) and the program's exact output bytes and exit code.
//
//   console_run TITLE STDOUT_FILE EXIT_CODE_FILE PROGRAM [ARGUMENTS...]
//
// TITLE becomes the console window's title, so that a test finds the window by
// a name of its own. STDOUT_FILE "-" leaves the program's output on the
// console, where the user would see it (box_tool screen reads it back). The
// helper's own process id is written at once to EXIT_CODE_FILE.pid, for
// attaching to the console. The exit code file appears only once the program
// has ended (written beside it first, then renamed), as decimal text; just
// before it, EXIT_CODE_FILE.input-mode receives the console's input mode as
// the program left it (decimal GetConsoleMode flags), so that a test can tell
// whether echo is back on.
// Exit code: the program's, or 100 when it could not be started, 101 on bad usage.
#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>

#include <stdio.h>
#include <string.h>

#include "../support/start_retrying_win32.h"

namespace {

constexpr int kExitNotStarted = 100;
constexpr int kExitUsage = 101;

// Ctrl+C and Ctrl+Break go to every process of the console; the helper
// survives them so that it can still report the program's exit code. A
// handler (rather than ignoring Ctrl+C) is not inherited by the program.
BOOL WINAPI console_run_on_event(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

// Appends one argument to the command line with the quoting that the
// runtime's argument splitting undoes. Returns 0 when it does not fit.
int console_run_append_argument(char* line, size_t size, const char* argument) {
  size_t used = strlen(line);
  int needs_quotes = argument[0] == '\0' || strpbrk(argument, " \t\"") != nullptr;
  if (used > 0) {
    if (used + 1 >= size) return 0;
    line[used++] = ' ';
  }
  if (!needs_quotes) {
    size_t length = strlen(argument);
    if (used + length >= size) return 0;
    memcpy(line + used, argument, length + 1);
    return 1;
  }
  if (used + 1 >= size) return 0;
  line[used++] = '"';
  size_t backslashes = 0;
  for (const char* p = argument;; ++p) {
    // Backslashes are literal unless they precede a quote (or the closing quote).
    if (*p == '\\') {
      ++backslashes;
      continue;
    }
    size_t copies = (*p == '"' || *p == '\0') ? backslashes * 2 : backslashes;
    if (used + copies + 3 >= size) return 0;
    for (size_t i = 0; i < copies; ++i) line[used++] = '\\';
    backslashes = 0;
    if (*p == '\0') break;
    if (*p == '"') line[used++] = '\\';
    line[used++] = *p;
  }
  line[used++] = '"';
  line[used] = '\0';
  return 1;
}

// Writes the exit code beside the target and renames it into place, so that
// a reader never sees a partial file.
void console_run_write_number(const char* path, unsigned long number) {
  char temporary[MAX_PATH + 8];
  snprintf(temporary, sizeof(temporary), "%s.tmp", path);
  FILE* file = fopen(temporary, "wb");
  if (file == nullptr) return;
  fprintf(file, "%lu\n", number);
  fclose(file);
  MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: console_run TITLE STDOUT_FILE EXIT_CODE_FILE PROGRAM [ARGUMENTS...]\n");
    return kExitUsage;
  }
  SetConsoleTitleA(argv[1]);
  // 120 columns, as a Windows console opens today, so that the launcher's
  // longest lines do not wrap.
  HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(console, &info)) {
    COORD size = {120, info.dwSize.Y > 300 ? info.dwSize.Y : static_cast<SHORT>(300)};
    SetConsoleScreenBufferSize(console, size);
    SMALL_RECT window = {0, 0, 119, static_cast<SHORT>(info.srWindow.Bottom - info.srWindow.Top)};
    SetConsoleWindowInfo(console, TRUE, &window);
  }
  SetConsoleCtrlHandler(console_run_on_event, TRUE);

  // The program's arguments come from the wide command line, through UTF-8
  // (the quoting is ASCII), so that a name outside the ANSI code page reaches
  // the program as the test wrote it.
  static char command_line[3 * 32768];
  static char argument[3 * 32768];
  static wchar_t wide_command_line[32768];
  command_line[0] = '\0';
  int wide_count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wide_count);
  for (int i = 4; wide != nullptr && i < wide_count; ++i) {
    if (WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, argument, sizeof(argument), nullptr,
                            nullptr) <= 0 ||
        !console_run_append_argument(command_line, sizeof(command_line), argument)) {
      fprintf(stderr, "console_run: command line too long\n");
      return kExitUsage;
    }
  }
  if (wide == nullptr || wide_count != argc ||
      MultiByteToWideChar(CP_UTF8, 0, command_line, -1, wide_command_line, 32768) <= 0) {
    fprintf(stderr, "console_run: command line not readable\n");
    return kExitUsage;
  }
  LocalFree(wide);

  char pid_path[MAX_PATH + 8];
  snprintf(pid_path, sizeof(pid_path), "%s.pid", argv[3]);
  console_run_write_number(pid_path, GetCurrentProcessId());

  STARTUPINFOW startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  HANDLE output = INVALID_HANDLE_VALUE;
  if (strcmp(argv[2], "-") != 0) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    output = CreateFileA(argv[2], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
      fprintf(stderr, "console_run: cannot create %s\n", argv[2]);
      return kExitNotStarted;
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof(process));
  if (!start_retrying([&] {
        return CreateProcessW(nullptr, wide_command_line, nullptr, nullptr, TRUE, 0, nullptr,
                              nullptr, &startup, &process);
      })) {
    fprintf(stderr, "console_run: cannot start %s (error %lu)\n", argv[4], GetLastError());
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    return kExitNotStarted;
  }
  CloseHandle(process.hThread);
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);

  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = kExitNotStarted;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  DWORD input_mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &input_mode)) {
    char mode_path[MAX_PATH + 16];
    snprintf(mode_path, sizeof(mode_path), "%s.input-mode", argv[3]);
    console_run_write_number(mode_path, input_mode);
  }
  console_run_write_number(argv[3], code);
  return static_cast<int>(code);
}
