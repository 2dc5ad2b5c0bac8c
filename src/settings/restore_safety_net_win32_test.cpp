// The watchdog mode, the session-end window and the launcher guard, against
// the real registry, processes and windows of the test prefix.
#include "settings/restore_safety_net.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "settings/proxy_settings.h"
#include "support/settings_test_registry.h"

namespace {

class SafetyNet : public RegistryTest {};

// Wine creates no window without an X display; the end-to-end suite runs the
// window tests again under Xvfb.
#define SKIP_WITHOUT_DISPLAY() \
  if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display for Wine"

const UserValues kUser = {RegValue::text(REG_SZ, "0"), RegValue::text(REG_SZ, "corp:3128"),
                          RegValue::absent()};

// Starts this test program again, running only the disabled test named by
// filter. Returns its process handle (the caller closes it), or nullptr.
HANDLE start_self(const char* filter) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof(path));
  std::string command =
      std::string("\"") + path + "\" --gtest_also_run_disabled_tests --gtest_filter=" + filter;
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(path, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

// A console event ends the process once the handler returns: it restores what
// is applied, and an apply that was about to start must change nothing. Runs in
// a process of its own per event type (LUMARET_TEST_CONSOLE_EVENT), since no
// apply succeeds in it afterwards.
TEST(SafetyNetChild, DISABLED_ConsoleEventRestoresAndNoApplyFollows) {
  const unsigned long restoring = strtoul(getenv("LUMARET_TEST_CONSOLE_EVENT"), nullptr, 10);
  write_user_values(kUser);
  ASSERT_EQ(apply_proxy_settings(18118), 1);
  for (unsigned long ignored : {3UL, 4UL, 5UL, 7UL}) EXPECT_EQ(on_console_event(ignored), FALSE);
  EXPECT_TRUE(settings_are_applied());
  EXPECT_EQ(on_console_event(restoring), FALSE);
  EXPECT_EQ(read_user_values(), kUser);
  EXPECT_FALSE(settings_are_applied());
  EXPECT_EQ(apply_proxy_settings(18118), 0);
  EXPECT_EQ(read_user_values(), kUser);
  EXPECT_FALSE(backup_key_exists());
}

TEST_F(SafetyNet, ConsoleEventsRestoreOnlyTheirTypesAndNoApplyFollowsThem) {
  for (const char* type : {"0", "1", "2", "6"}) {
    SCOPED_TRACE(type);
    SetEnvironmentVariableA("LUMARET_TEST_CONSOLE_EVENT", type);
    HANDLE child = start_self("SafetyNetChild.DISABLED_ConsoleEventRestoresAndNoApplyFollows");
    ASSERT_NE(child, nullptr);
    WaitForSingleObject(child, 60000);
    DWORD code = 1;
    GetExitCodeProcess(child, &code);
    CloseHandle(child);
    EXPECT_EQ(code, 0u);
  }
  SetEnvironmentVariableA("LUMARET_TEST_CONSOLE_EVENT", nullptr);
}

// Stand-in for a launcher: a process that lives one second.
TEST(SafetyNetChild, DISABLED_LivesOneSecond) { Sleep(1000); }

// A watchdog of its own process, for the launcher LUMARET_TEST_WATCHDOG_PID:
// the launcher is created before its watchdog.
TEST(SafetyNetChild, DISABLED_RunsTheWatchdog) {
  EXPECT_EQ(run_restore_watchdog(getenv("LUMARET_TEST_WATCHDOG_PID")), 0);
}

// Records process as the writer of the backup, as its own apply would.
void record_backup_owner(HANDLE process) {
  FILETIME created, exited, kernel, user;
  ASSERT_TRUE(GetProcessTimes(process, &created, &exited, &kernel, &user));
  const DWORD id = GetProcessId(process);
  write_backup("LauncherProcessId", RegValue::of(REG_DWORD, reinterpret_cast<const char*>(&id), 4));
  write_backup("LauncherStartTime",
               RegValue::of(REG_QWORD, reinterpret_cast<const char*>(&created), 8));
}

TEST_F(SafetyNet, WatchdogRestoresAtOnceWhenThereIsNoProcessToWaitFor) {
  HANDLE ended = start_self("SafetyNetChild.NoSuchTest");
  ASSERT_NE(ended, nullptr);
  WaitForSingleObject(ended, 30000);
  const std::string dead_id = std::to_string(GetProcessId(ended));
  CloseHandle(ended);
  // Created after the watchdog (this process): not its launcher, whose id it
  // may have been given after the launcher ended.
  HANDLE stranger = start_self("SafetyNetChild.DISABLED_LivesOneSecond");
  ASSERT_NE(stranger, nullptr);
  const std::string stranger_id = std::to_string(GetProcessId(stranger));

  struct Case {
    const char* argument;
    ULONGLONG limit_ms;
  };
  // Wine keeps an ended child openable while its parent lives: the watchdog
  // then finds it already ended and restores after its 250 ms pause.
  const Case cases[] = {
      {"0", 240}, {"--help", 240}, {"", 240}, {dead_id.c_str(), 1000}, {stranger_id.c_str(), 240}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    write_user_values(kUser);
    ASSERT_EQ(apply_proxy_settings(18118), 1);
    // The watchdog process has a flag of its own that stays clear.
    settings_applied.exchange(0);
    ULONGLONG started = GetTickCount64();
    EXPECT_EQ(run_restore_watchdog(c.argument), 0);
    EXPECT_LT(GetTickCount64() - started, c.limit_ms);
    EXPECT_EQ(read_user_values(), kUser);
    EXPECT_FALSE(backup_key_exists());
  }
  CloseHandle(stranger);
}

TEST_F(SafetyNet, WatchdogRestoresOnlyAfterTheLauncherEnded) {
  write_user_values(kUser);
  ASSERT_EQ(apply_proxy_settings(18118), 1);
  settings_applied.exchange(0);
  HANDLE launcher = start_self("SafetyNetChild.DISABLED_LivesOneSecond");
  ASSERT_NE(launcher, nullptr);
  record_backup_owner(launcher);
  SetEnvironmentVariableA("LUMARET_TEST_WATCHDOG_PID",
                          std::to_string(GetProcessId(launcher)).c_str());
  HANDLE watchdog = start_self("SafetyNetChild.DISABLED_RunsTheWatchdog");
  SetEnvironmentVariableA("LUMARET_TEST_WATCHDOG_PID", nullptr);
  ASSERT_NE(watchdog, nullptr);

  EXPECT_EQ(WaitForSingleObject(watchdog, 300), static_cast<DWORD>(WAIT_TIMEOUT));
  expect_launcher_values("http=127.0.0.1:18118;https=127.0.0.1:18118");
  WaitForSingleObject(launcher, 30000);
  ULONGLONG ended_at = GetTickCount64();
  CloseHandle(launcher);
  // The watchdog ends after its restore.
  ASSERT_EQ(WaitForSingleObject(watchdog, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 1;
  GetExitCodeProcess(watchdog, &code);
  CloseHandle(watchdog);
  EXPECT_EQ(code, 0u);
  EXPECT_GE(GetTickCount64() + 20, ended_at + 250);
  EXPECT_EQ(read_user_values(), kUser);
  EXPECT_FALSE(backup_key_exists());
}

// A restore outside the launcher that wrote the backup leaves it while that
// launcher runs, and writes again the logon command that the shell deleted
// before it ran it.
TEST_F(SafetyNet, BackupOfARunningLauncherStaysWithItsLogonCommand) {
  write_user_values(kUser);
  ASSERT_EQ(apply_proxy_settings(18118), 1);
  settings_applied.exchange(0);
  const RegValue command = read_registry_value(kRunOnceKeyPath, kRunOnceValueName);
  HANDLE launcher = start_self("SafetyNetChild.DISABLED_LivesOneSecond");
  ASSERT_NE(launcher, nullptr);
  record_backup_owner(launcher);
  write_registry_value(kRunOnceKeyPath, kRunOnceValueName, RegValue::absent());

  EXPECT_EQ(restore_proxy_settings(), 1);
  expect_launcher_values("http=127.0.0.1:18118;https=127.0.0.1:18118");
  EXPECT_EQ(read_registry_value(kRunOnceKeyPath, kRunOnceValueName), command);
  WaitForSingleObject(launcher, 30000);
  CloseHandle(launcher);
  EXPECT_EQ(restore_proxy_settings(), 1);
  EXPECT_EQ(read_user_values(), kUser);
  EXPECT_FALSE(read_registry_value(kRunOnceKeyPath, kRunOnceValueName).present);
}

TEST_F(SafetyNet, SessionEndWindowRestoresOnlyWhenTheSessionReallyEnds) {
  SKIP_WITHOUT_DISPLAY();
  ASSERT_EQ(start_session_end_window(), 1);
  HWND window = FindWindowA(kSessionEndWindowClass, nullptr);
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(SendMessageA(window, WM_QUERYENDSESSION, 0, 0), TRUE);

  write_user_values(kUser);
  ASSERT_EQ(apply_proxy_settings(18118), 1);
  SendMessageA(window, WM_ENDSESSION, FALSE, 0);
  EXPECT_TRUE(settings_are_applied());
  expect_launcher_values("http=127.0.0.1:18118;https=127.0.0.1:18118");

  // SendMessage returns after the window procedure: the restore is done by then.
  SendMessageA(window, WM_ENDSESSION, TRUE, 0);
  EXPECT_FALSE(settings_are_applied());
  EXPECT_EQ(read_user_values(), kUser);
  EXPECT_FALSE(backup_key_exists());
}

TEST_F(SafetyNet, SessionEndWithoutAppliedSettingsLeavesALeftoverBackupAlone) {
  SKIP_WITHOUT_DISPLAY();
  ASSERT_EQ(start_session_end_window(), 1);
  // A leftover written by hand: after a session end this process applies no more.
  write_backup("ProxyEnablePresent", RegValue::absent());
  write_backup("Active", RegValue::of(REG_DWORD, "\x01\0\0\0", 4));
  SendMessageA(FindWindowA(kSessionEndWindowClass, nullptr), WM_ENDSESSION, TRUE, 0);
  EXPECT_TRUE(backup_key_exists());
}

// Runs in a process of its own without a console, started by the end-to-end
// test of a real session end: applies, shows the session-end window and waits
// for the restore, at most 60 s.
TEST(SafetyNetChild, DISABLED_AppliesAndWaitsForTheSessionEnd) {
  ASSERT_EQ(start_session_end_window(), 1);
  ASSERT_EQ(apply_proxy_settings(18118), 1);
  for (int waited = 0; waited < 600 && settings_are_applied(); ++waited) Sleep(100);
}

// Another process of the session that restores without pause for two seconds.
TEST(SafetyNetChild, DISABLED_RestoresForTwoSeconds) {
  for (ULONGLONG end = GetTickCount64() + 2000; GetTickCount64() < end;) restore_proxy_settings();
}

// The logon's RunOnce restore may run while a launcher started at logon
// restores the same leftover. Without a lock of the session, one of them could
// open the backup just before the other deleted it and delete the user's values.
TEST_F(SafetyNet, RestoresInTwoProcessesAtOnceLeaveTheUsersValuesIntact) {
  HANDLE other = start_self("SafetyNetChild.DISABLED_RestoresForTwoSeconds");
  ASSERT_NE(other, nullptr);
  int rounds = 0;
  while (WaitForSingleObject(other, 0) == WAIT_TIMEOUT) {
    write_user_values(kUser);
    ASSERT_EQ(apply_proxy_settings(18118), 1);
    restore_proxy_settings();
    ASSERT_EQ(read_user_values(), kUser) << "round " << rounds;
    ++rounds;
  }
  CloseHandle(other);
  EXPECT_GT(rounds, 10);
}

// The registry is the user's, in every session: so are the launcher's mutexes.
TEST(LauncherInstance, SecondClaimOfTheUserIsRefused) {
  wchar_t name[160];
  ASSERT_EQ(settings_user_object_name(name, 160, L"MorvoProxyLauncher"), 1);
  EXPECT_EQ(std::wstring(name).rfind(L"Global\\MorvoProxyLauncher_S-1-", 0), 0u);
  EXPECT_EQ(claim_launcher_instance(), 1);
  EXPECT_EQ(claim_launcher_instance(), 0);
  EXPECT_EQ(claim_launcher_instance(), 0);
}

}  // namespace
