// Test stand-in for powershell.exe. Built into the test-hosts directory and
// installed by tests/wine/install-standins, with Lumaret.exe, in the test
// prefix's system folder (WindowsPowerShell\v1.0), where the launcher takes
// Windows PowerShell from. Copies elsewhere (beside a launcher, in its current
// folder) are the planted programs that must not run: each run logs the path
// it ran from.
//
// Environment (inherited from the launcher, which passes no block of its own):
//   LUMARET_TEST_POWERSHELL_RECORD  file (Unix or Windows path) that receives
//                                   the exact command line, bytes as received;
//                                   FILE.environment receives the environment
//                                   block as Windows passed it (NUL-separated)
//   LUMARET_TEST_POWERSHELL_MODE    start-app (default): starts Lumaret.exe from
//                                     this directory, as the Start-menu
//                                     activation would, and exits 0
//                                   exit0 / exit1 / exit2: exits with that code
//                                     without starting anything
//                                   hang: stays alive past the launcher's
//                                     15 s wait, then exits 0
//   LUMARET_TEST_POWERSHELL_HANG_MS  how long hang stays alive, default 20000
//   LUMARET_TEST_POWERSHELL_DELAY_MS  wait before exiting (after starting the
//                                   app in start-app mode), default 0
//   LUMARET_TEST_POWERSHELL_LOG     a line per event: "<unix ms> <event>", the
//                                   first "powershell from <its own path>"
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "../support/start_retrying_win32.h"
#include "standin_common.h"

namespace {

constexpr unsigned long kHangMs = 20000;

// Writes length bytes to path, beside the final name first and then renamed,
// so that a test polling for the file never reads half of it.
void powershell_write_file(const char* path, const char* bytes, size_t length) {
  char partial[MAX_PATH + 24];
  snprintf(partial, sizeof(partial), "%s.part", path);
  FILE* file = fopen(partial, "wb");
  if (file == nullptr) return;
  fwrite(bytes, 1, length, file);
  fclose(file);
  MoveFileExA(partial, path, MOVEFILE_REPLACE_EXISTING);
}

void powershell_record_command_line() {
  char setting[MAX_PATH];
  if (!standin_getenv("LUMARET_TEST_POWERSHELL_RECORD", setting, sizeof(setting))) return;
  char path[MAX_PATH];
  standin_windows_path(setting, path, sizeof(path));
  // The environment first: the command line's file is what tests wait for.
  // Under Wine, /proc/PID/environ shows the Unix environment the process
  // started with, not the Windows block its parent passed: only the process
  // itself can tell what it inherited.
  char* environment = GetEnvironmentStringsA();
  if (environment != nullptr) {
    size_t length = 0;
    while (environment[length] != '\0' || environment[length + 1] != '\0') ++length;
    char environment_path[MAX_PATH + 16];
    snprintf(environment_path, sizeof(environment_path), "%s.environment", path);
    powershell_write_file(environment_path, environment, length + 1);
    FreeEnvironmentStringsA(environment);
  }
  const char* command_line = GetCommandLineA();
  powershell_write_file(path, command_line, strlen(command_line));
}

// Starts Lumaret.exe from this program's directory without waiting for it.
int powershell_start_app() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
  if (length == 0 || length >= sizeof(path)) return 0;
  char* slash = strrchr(path, '\\');
  if (slash == nullptr ||
      static_cast<size_t>(slash + 1 - path) + sizeof("Lumaret.exe") > sizeof(path))
    return 0;
  memcpy(slash + 1, "Lumaret.exe", sizeof("Lumaret.exe"));
  char command_line[] = "Lumaret.exe";
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof(process));
  if (!start_retrying([&] {
        return CreateProcessA(path, command_line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                              nullptr, nullptr, &startup, &process);
      })) {
    return 0;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 1;
}

}  // namespace

int main() {
  char own_path[MAX_PATH];
  DWORD own_length = GetModuleFileNameA(nullptr, own_path, sizeof(own_path));
  if (own_length == 0 || own_length >= sizeof(own_path)) strcpy(own_path, "?");
  char from[MAX_PATH + 32];
  snprintf(from, sizeof(from), "powershell from %s", own_path);
  standin_log("LUMARET_TEST_POWERSHELL_LOG", from);
  powershell_record_command_line();
  char mode[32];
  if (!standin_getenv("LUMARET_TEST_POWERSHELL_MODE", mode, sizeof(mode)))
    strcpy(mode, "start-app");
  char event[64];
  snprintf(event, sizeof(event), "powershell %s", mode);
  standin_log("LUMARET_TEST_POWERSHELL_LOG", event);

  int exit_code = 0;
  if (strcmp(mode, "start-app") == 0) {
    // A failed start is what real PowerShell reports as an error: exit 1.
    if (!powershell_start_app()) {
      snprintf(event, sizeof(event), "powershell could not start the app: error %lu",
               GetLastError());
      standin_log("LUMARET_TEST_POWERSHELL_LOG", event);
      exit_code = 1;
    }
  } else if (strcmp(mode, "exit0") == 0) {
    exit_code = 0;
  } else if (strcmp(mode, "exit1") == 0) {
    exit_code = 1;
  } else if (strcmp(mode, "exit2") == 0) {
    exit_code = 2;
  } else if (strcmp(mode, "hang") == 0) {
    Sleep(static_cast<DWORD>(standin_getenv_number("LUMARET_TEST_POWERSHELL_HANG_MS", kHangMs)));
  } else {
    exit_code = 3;
  }
  Sleep(static_cast<DWORD>(standin_getenv_number("LUMARET_TEST_POWERSHELL_DELAY_MS", 0)));
  snprintf(event, sizeof(event), "powershell exit %d", exit_code);
  standin_log("LUMARET_TEST_POWERSHELL_LOG", event);
  return exit_code;
}
