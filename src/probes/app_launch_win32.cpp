#include "probes/app_launch.h"

#include <windows.h>
// tlhelp32.h needs the types of windows.h first.
#include <tlhelp32.h>

#include <cstring>

#include "platform/desktop.h"
#include "platform/run_log.h"

namespace {

constexpr char kAppImageName[] = "Lumaret.exe";

// The script takes the first Start-menu entry whose name contains the word and
// activates it through the shell's AppsFolder; exit 2 tells "no such entry".
constexpr char kLaunchCommand[] =
    "powershell.exe -NoProfile -NonInteractive -WindowStyle Hidden -Command \"$a=Get-StartApps | "
    "Where-Object {$_.Name -like '*" LUMARET_APP_START_MENU_WORD
    "*'} | Select-Object -First 1; if($a){Start-Process "
    "explorer.exe -ArgumentList ('shell:AppsFolder\\'+$a.AppID); exit 0}; exit 2\"";

// Where Windows PowerShell lives, below the system folder.
constexpr wchar_t kPowerShellInSystemFolder[] = L"\\WindowsPowerShell\\v1.0\\powershell.exe";

constexpr unsigned kLaunchWaitMs = 15000;

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Whole-text comparison that folds only ASCII letters, so that the answer does
// not depend on the C runtime's locale.
int names_equal_ignoring_ascii_case(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (ascii_lower(*a) != ascii_lower(*b)) return 0;
  }
  return *a == *b;
}

}  // namespace

int is_target_app_running() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32 entry;
  memset(&entry, 0, sizeof(entry));
  entry.dwSize = sizeof(entry);
  int found = 0;
  if (Process32First(snapshot, &entry)) {
    do {
      // szExeFile is filled by the system, but a bound costs nothing.
      entry.szExeFile[sizeof(entry.szExeFile) - 1] = '\0';
      if (names_equal_ignoring_ascii_case(entry.szExeFile, kAppImageName)) {
        found = 1;
        break;
      }
    } while (Process32Next(snapshot, &entry));
  }
  CloseHandle(snapshot);
  return found;
}

int launch_target_app() {
  // Windows PowerShell from the system folder by its full path: the search
  // that a bare "powershell.exe" starts would look in the launcher's own
  // folder (typically Downloads) and the current folder first, where anyone
  // could have left a program of that name to run with the user's rights.
  wchar_t application[MAX_PATH + sizeof(kPowerShellInSystemFolder)];
  const UINT folder_length = GetSystemDirectoryW(application, MAX_PATH);
  if (folder_length == 0 || folder_length >= MAX_PATH) return 0;
  memcpy(application + folder_length, kPowerShellInSystemFolder, sizeof(kPowerShellInSystemFolder));

  // The command is ASCII, so each byte becomes one UTF-16 unit.
  wchar_t command_line[sizeof(kLaunchCommand)];
  for (size_t i = 0; i < sizeof(kLaunchCommand); ++i) {
    command_line[i] = static_cast<wchar_t>(static_cast<unsigned char>(kLaunchCommand[i]));
  }

  void* process = nullptr;
  if (!desktop_start_process(application, command_line, CREATE_NO_WINDOW, &process)) {
    run_log_printf("PowerShell could not be started: Windows error %lu",
                   static_cast<unsigned long>(GetLastError()));
    return 0;
  }
  run_log_printf("PowerShell started to launch the app");
  // A script still running after the wait reads as STILL_ACTIVE and counts as
  // a failure; it is neither stopped nor waited for any longer.
  DWORD exit_code = 1;
  WaitForSingleObject(process, kLaunchWaitMs);
  GetExitCodeProcess(process, &exit_code);
  CloseHandle(process);
  if (exit_code == STILL_ACTIVE) {
    run_log_printf("PowerShell still runs after %u ms; it is left running", kLaunchWaitMs);
  } else {
    run_log_printf("PowerShell ended with exit code %lu", static_cast<unsigned long>(exit_code));
  }
  return exit_code == 0 ? 1 : 0;
}
