// Runs from the test-hosts directory, beside the Lumaret.exe stand-in; the
// powershell.exe stand-in is installed in the prefix's system folder
// (tests/wine/install-standins), where the launch takes Windows PowerShell
// from, and records the command line it received.
#include "probes/app_launch.h"

#include <windows.h>
// tlhelp32.h needs the types of windows.h first.
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "platform/desktop.h"

namespace {

// The launch command as the user's PowerShell must receive it: one backslash
// after shell:AppsFolder, the script in double quotes.
constexpr char kExpectedCommand[] =
    R"(powershell.exe -NoProfile -NonInteractive -WindowStyle Hidden -Command )"
    R"("$a=Get-StartApps | Where-Object {$_.Name -like '*Lumaret*'} | Select-Object -First 1; )"
    R"(if($a){Start-Process explorer.exe -ArgumentList ('shell:AppsFolder\'+$a.AppID); exit 0}; )"
    R"(exit 2")";

std::string this_directory() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
  std::string text(path, length);
  return text.substr(0, text.rfind('\\') + 1);
}

std::string temporary_directory() {
  char base[MAX_PATH];
  GetTempPathA(sizeof(base), base);
  char name[MAX_PATH];
  snprintf(name, sizeof(name), "%slumaret_launch_test_%lu\\", base, GetCurrentProcessId());
  CreateDirectoryA(name, nullptr);
  return name;
}

std::string read_file(const std::string& path) {
  std::string content;
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return content;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) content.append(buffer, got);
  fclose(file);
  return content;
}

class AppLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = temporary_directory();
    record_ = directory_ + "command_line.txt";
    DeleteFileA(record_.c_str());
    SetEnvironmentVariableA("LUMARET_TEST_POWERSHELL_RECORD", record_.c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableA("LUMARET_TEST_POWERSHELL_RECORD", nullptr);
    SetEnvironmentVariableA("LUMARET_TEST_POWERSHELL_MODE", nullptr);
    DeleteFileA(record_.c_str());
    RemoveDirectoryA(directory_.c_str());
  }
  std::string directory_;
  std::string record_;
};

TEST_F(AppLaunch, OnlyExitCodeZeroSucceedsAndTheCommandArrivesByteForByte) {
  struct Case {
    const char* mode;
    int expected;
  } cases[] = {
      {"exit0", 1},
      {"exit2", 0},  // no Start-menu entry
      {"exit1", 0},  // any other PowerShell failure
  };
  for (const Case& c : cases) {
    DeleteFileA(record_.c_str());
    SetEnvironmentVariableA("LUMARET_TEST_POWERSHELL_MODE", c.mode);
    EXPECT_EQ(c.expected, launch_target_app()) << c.mode;
    EXPECT_EQ(std::string(kExpectedCommand), read_file(record_)) << c.mode;
  }
}

// Returns 1 when no process with this image name runs, waiting at most limit_ms.
int wait_until_no_process(const char* image_name, unsigned limit_ms) {
  for (unsigned waited = 0;; waited += 100) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32 entry;
    memset(&entry, 0, sizeof(entry));
    entry.dwSize = sizeof(entry);
    int found = 0;
    for (BOOL more = Process32First(snapshot, &entry); more && !found;
         more = Process32Next(snapshot, &entry)) {
      found = _stricmp(entry.szExeFile, image_name) == 0;
    }
    CloseHandle(snapshot);
    if (!found) return 1;
    if (waited >= limit_ms) return 0;
    Sleep(100);
  }
}

TEST_F(AppLaunch, ScriptStillRunningAfterFifteenSecondsFails) {
  SetEnvironmentVariableA("LUMARET_TEST_POWERSHELL_MODE", "hang");
  SetEnvironmentVariableA("LUMARET_TEST_POWERSHELL_HANG_MS", "16000");
  ULONGLONG started = GetTickCount64();
  EXPECT_EQ(0, launch_target_app());
  ULONGLONG waited = GetTickCount64() - started;
  SetEnvironmentVariableA("LUMARET_TEST_POWERSHELL_HANG_MS", nullptr);
  EXPECT_GE(waited, 14900u);
  EXPECT_LT(waited, 16000u);
  // The script runs on after the launcher gave up; under Wine a child that
  // outlives this test can keep the test's console host, and with it the
  // test runner's output pipe, alive.
  EXPECT_EQ(1, wait_until_no_process("powershell.exe", 5000));
}

// The launch's and the watchdog's start: a program that is not there fails at
// once with the system's own reason (no retry hides it); a started one hands
// back its handle, through which its exit code is read.
TEST(ProcessStart, MissingProgramFailsWithItsReasonAndAStartedOneGivesItsHandle) {
  void* process = nullptr;
  EXPECT_EQ(0, desktop_start_process(L"C:\\windows\\system32\\no-such-program.exe", L"x",
                                     CREATE_NO_WINDOW, &process));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(nullptr, process);

  wchar_t cmd[MAX_PATH];
  const UINT length = GetSystemDirectoryW(cmd, MAX_PATH - 16);
  ASSERT_GT(length, 0u);
  wcscpy(cmd + length, L"\\cmd.exe");
  ASSERT_EQ(1, desktop_start_process(cmd, L"cmd.exe /c exit 7", CREATE_NO_WINDOW, &process));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 30000));
  DWORD exit_code = 0;
  EXPECT_TRUE(GetExitCodeProcess(process, &exit_code));
  EXPECT_EQ(7u, exit_code);
  CloseHandle(process);
}

// A copy of the app stand-in runs under the given file name without opening
// any tunnel, until it is terminated.
struct RunningCopy {
  std::string path;
  PROCESS_INFORMATION process;
};

int start_copy(const std::string& directory, const char* name, RunningCopy* copy) {
  copy->path = directory + name;
  memset(&copy->process, 0, sizeof(copy->process));
  std::string source = this_directory() + "Lumaret.exe";
  if (!CopyFileA(source.c_str(), copy->path.c_str(), FALSE)) return 0;
  std::string stop_file = directory + "stop";
  DeleteFileA(stop_file.c_str());
  SetEnvironmentVariableA("LUMARET_TEST_APP_TUNNELS", "none");
  SetEnvironmentVariableA("LUMARET_TEST_APP_TIMEOUT_MS", "60000");
  SetEnvironmentVariableA("LUMARET_TEST_APP_STOP_FILE", stop_file.c_str());
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  std::string command = "\"" + copy->path + "\"";
  std::string writable = command;
  int started = CreateProcessA(copy->path.c_str(), &writable[0], nullptr, nullptr, FALSE,
                               CREATE_NO_WINDOW, nullptr, nullptr, &startup, &copy->process);
  SetEnvironmentVariableA("LUMARET_TEST_APP_TUNNELS", nullptr);
  SetEnvironmentVariableA("LUMARET_TEST_APP_TIMEOUT_MS", nullptr);
  SetEnvironmentVariableA("LUMARET_TEST_APP_STOP_FILE", nullptr);
  if (!started) return 0;
  CloseHandle(copy->process.hThread);
  // Give the process time to appear in snapshots by its image name.
  Sleep(300);
  return 1;
}

// Stops the copy through its stop file: under Wine the console host of a
// terminated process can stay behind and hold the test runner's output open.
void stop_copy(const std::string& directory, RunningCopy* copy) {
  std::string stop_file = directory + "stop";
  if (copy->process.hProcess != nullptr) {
    FILE* file = fopen(stop_file.c_str(), "wb");
    if (file != nullptr) fclose(file);
    if (WaitForSingleObject(copy->process.hProcess, 5000) != WAIT_OBJECT_0) {
      TerminateProcess(copy->process.hProcess, 0);
      WaitForSingleObject(copy->process.hProcess, 5000);
    }
    CloseHandle(copy->process.hProcess);
  }
  DeleteFileA(stop_file.c_str());
  DeleteFileA(copy->path.c_str());
}

TEST_F(AppLaunch, RunningAppIsFoundByItsWholeImageNameInAnyCase) {
  ASSERT_EQ(0, is_target_app_running()) << "a Lumaret.exe from an earlier run is still alive";
  struct Case {
    const char* name;
    int expected;
  } cases[] = {
      {"Lumaret.exe", 1},   {"lumaret.exe", 1},     {"LUMARET.EXE", 1},
      {"MyLumaret.exe", 0}, {"Lumaret.exe.old", 0}, {"Lumaret.ex", 0},
  };
  for (const Case& c : cases) {
    RunningCopy copy;
    ASSERT_EQ(1, start_copy(directory_, c.name, &copy)) << c.name;
    EXPECT_EQ(c.expected, is_target_app_running()) << c.name;
    stop_copy(directory_, &copy);
  }
  EXPECT_EQ(0, is_target_app_running());
}

}  // namespace
