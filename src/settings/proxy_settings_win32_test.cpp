// Backup, apply and restore against the real registry of the test prefix.
#include "settings/proxy_settings.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "settings/restore_safety_net.h"
#include "support/settings_test_registry.h"

namespace {

class ProxySettings : public RegistryTest {};

RegValue dword_value(DWORD value) {
  return RegValue::of(REG_DWORD, reinterpret_cast<const char*>(&value), sizeof(value));
}

TEST_F(ProxySettings, ApplyThenRestoreBringsBackEveryValueByteForByte) {
  const std::string long_server = "http=" + std::string(4990, 's') + ":8080";
  const std::string long_override = std::string(2999, 'o');
  const unsigned char wide_enable[8] = {1, 0, 0, 0, 0, 0, 0, 9};
  struct Case {
    const char* name;
    UserValues user;
  };
  const Case cases[] = {
      {"none of the three", {RegValue::absent(), RegValue::absent(), RegValue::absent()}},
      {"disabled with a server of the user's",
       {dword_value(0), RegValue::text(REG_SZ, "proxy.corp.example:8080"), RegValue::absent()}},
      {"all three set",
       {dword_value(1), RegValue::text(REG_SZ, "corp:3128"),
        RegValue::text(REG_SZ, "*.corp.example;<local>")}},
      {"expandable server",
       {RegValue::absent(), RegValue::text(REG_EXPAND_SZ, "%PROXY_HOST%:3128"),
        RegValue::absent()}},
      {"strings longer than 2048 bytes",
       {dword_value(1), RegValue::text(REG_SZ, long_server),
        RegValue::text(REG_SZ, long_override)}},
      {"string of exactly 2048 bytes and of 2049",
       {dword_value(1), RegValue::text(REG_SZ, std::string(2047, 'a')),
        RegValue::text(REG_SZ, std::string(2048, 'b'))}},
      {"binary enable",
       {RegValue::of(REG_BINARY, "\x01", 1), RegValue::absent(), RegValue::absent()}},
      {"eight-byte binary enable",
       {RegValue::of(REG_BINARY, reinterpret_cast<const char*>(wide_enable), 8), RegValue::absent(),
        RegValue::absent()}},
      {"text enable", {RegValue::text(REG_SZ, "1"), RegValue::absent(), RegValue::absent()}},
      {"empty binary server",
       {dword_value(0), RegValue::of(REG_BINARY, "", 0), RegValue::absent()}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_user_values(c.user);
    ASSERT_EQ(apply_proxy_settings(18118), 1);
    EXPECT_TRUE(settings_are_applied());
    expect_launcher_values("http=127.0.0.1:18118;https=127.0.0.1:18118");
    EXPECT_EQ(read_backup("Active"), dword_value(1));

    restore_proxy_settings();
    EXPECT_EQ(read_user_values(), c.user);
    EXPECT_FALSE(backup_key_exists());
    EXPECT_FALSE(settings_are_applied());
  }
}

// The Connections values may be of any type and size: they come back whole,
// and those the user did not have are removed again.
TEST_F(ProxySettings, ConnectionsValuesComeBackWholeAndAbsentOnesGoAgain) {
  const char connections[] = LUMARET_INTERNET_SETTINGS_KEY "\\Connections";
  const std::string large(5000, '\x46');
  const RegValue cases[][2] = {
      {RegValue::of(REG_BINARY, large.data(), large.size()), RegValue::text(REG_SZ, "not a store")},
      {RegValue::absent(), RegValue::absent()},
  };
  for (const RegValue* user : cases) {
    write_registry_value(connections, "DefaultConnectionSettings", user[0]);
    write_registry_value(connections, "SavedLegacySettings", user[1]);
    ASSERT_EQ(apply_proxy_settings(18118), 1);
    EXPECT_TRUE(read_registry_value(connections, "DefaultConnectionSettings").present);
    EXPECT_EQ(read_backup("Format"), dword_value(4));

    restore_proxy_settings();
    EXPECT_EQ(read_registry_value(connections, "DefaultConnectionSettings"), user[0]);
    EXPECT_EQ(read_registry_value(connections, "SavedLegacySettings"), user[1]);
  }
}

TEST_F(ProxySettings, BackupRecordsPresenceFlagsAndSavedValues) {
  write_user_values({dword_value(0), RegValue::text(REG_EXPAND_SZ, "%H%:1"), RegValue::absent()});
  ASSERT_EQ(apply_proxy_settings(18118), 1);
  EXPECT_EQ(read_backup("ProxyEnablePresent"), dword_value(1));
  EXPECT_EQ(read_backup("ProxyEnableValue"), dword_value(0));
  EXPECT_EQ(read_backup("ProxyServerPresent"), dword_value(1));
  EXPECT_EQ(read_backup("ProxyServerValue"), RegValue::text(REG_EXPAND_SZ, "%H%:1"));
  EXPECT_EQ(read_backup("ProxyOverridePresent"), dword_value(0));
  EXPECT_FALSE(read_backup("ProxyOverrideValue").present);
  // What the launcher left in each place, for the keeping at restore.
  EXPECT_EQ(read_backup("ProxyEnableWrittenValue"), dword_value(1));
  EXPECT_EQ(read_backup("ProxyServerWrittenValue"),
            RegValue::text(REG_SZ, "http=127.0.0.1:18118;https=127.0.0.1:18118"));
  EXPECT_EQ(read_backup("ProxyOverrideWrittenValue"),
            RegValue::text(REG_SZ, "<local>;localhost;127.0.0.1"));
  // Wine's WinINet leaves the setup-script URL as the user had it.
  EXPECT_EQ(read_backup("AutoConfigURLWrittenPresent"), read_backup("AutoConfigURLPresent"));
  EXPECT_EQ(read_backup("Connection1WrittenPresent"), dword_value(1));
}

// Launcher and watchdog may die together (power loss): while applied, the
// next logon has the program's own restore command to run.
TEST_F(ProxySettings, RunOnceRestoreCommandStandsExactlyWhileABackupIsComplete) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof(path));
  const RegValue command =
      RegValue::text(REG_SZ, std::string("\"") + path + "\" --restore-watchdog 0");
  write_user_values({dword_value(0), RegValue::absent(), RegValue::absent()});
  ASSERT_EQ(apply_proxy_settings(18118), 1);
  EXPECT_EQ(read_registry_value(kRunOnceKeyPath, kRunOnceValueName), command);

  // A restore that finds no complete backup leaves the command alone (one
  // outside the launcher: this process's own switches its proxy off then).
  settings_applied.exchange(0);
  write_backup("Active", dword_value(0));
  restore_proxy_settings();
  EXPECT_EQ(read_registry_value(kRunOnceKeyPath, kRunOnceValueName), command);
  write_backup("Active", dword_value(1));
  restore_proxy_settings();
  EXPECT_FALSE(read_registry_value(kRunOnceKeyPath, kRunOnceValueName).present);
  EXPECT_FALSE(backup_key_exists());
}

TEST_F(ProxySettings, PortOneGivesTheShortestServerText) {
  ASSERT_EQ(apply_proxy_settings(1), 1);
  RegValue server = read_user("ProxyServer");
  EXPECT_EQ(server, RegValue::text(REG_SZ, "http=127.0.0.1:1;https=127.0.0.1:1"));
  EXPECT_EQ(server.bytes.size(), 35u);
}

TEST_F(ProxySettings, IncompleteBackupIsIgnoredByRestoreAndReusedByApply) {
  const char* const cases[] = {"Active missing", "Active 0",
                               "a finished restore whose tree deletion failed part of the way"};
  for (const char* name : cases) {
    SCOPED_TRACE(name);
    UserValues user = {dword_value(1), RegValue::text(REG_SZ, "mine:80"), RegValue::absent()};
    write_user_values(user);
    if (name == cases[2]) {
      // Presence flags without their copies: with Active left beside them,
      // a later restore would take the user's values for lost and switch
      // their proxy off.
      registry_fault_arm(L"delete:ProxyBackup:5");
      ASSERT_EQ(apply_proxy_settings(18118), 1);
      EXPECT_EQ(restore_proxy_settings(), 1);
      EXPECT_FALSE(read_backup("Active").present);
      write_backup("ProxyEnableValue", RegValue::absent());
      write_backup("ProxyServerValue", RegValue::absent());
    } else {
      // A stale saved value beside a flag of 1, as a run that died mid-backup leaves.
      write_backup("ProxyOverridePresent", dword_value(1));
      write_backup("ProxyOverrideValue", RegValue::text(REG_SZ, "stale"));
      if (name == cases[1]) write_backup("Active", dword_value(0));
    }

    restore_proxy_settings();
    EXPECT_EQ(read_user_values(), user);
    EXPECT_TRUE(backup_key_exists());

    ASSERT_EQ(apply_proxy_settings(18118), 1);
    EXPECT_EQ(read_backup("Active"), dword_value(1));
    EXPECT_EQ(read_backup("ProxyOverridePresent"), dword_value(0));
    restore_proxy_settings();
    EXPECT_EQ(read_user_values(), user);
    EXPECT_FALSE(backup_key_exists());
  }
}

// A run that died with its values applied: a complete backup of the user's
// values and the launcher's values in force.
UserValues leave_complete_backup() {
  UserValues user = {dword_value(1), RegValue::text(REG_SZ, "users-own:8080"),
                     RegValue::text(REG_SZ, "<local>")};
  write_user_values(user);
  EXPECT_EQ(apply_proxy_settings(9999), 1);
  settings_applied.exchange(0);
  return user;
}

TEST_F(ProxySettings, LeftoverCompleteBackupIsRestoredAtStart) {
  UserValues user = leave_complete_backup();
  restore_proxy_settings();
  EXPECT_EQ(read_user_values(), user);
  EXPECT_FALSE(backup_key_exists());
}

// A backup that another version, or a hand, left in a layout this program
// does not write may still guard the user's values: no restore uses it, no
// apply overwrites it, and it stays byte for byte.
TEST_F(ProxySettings, BackupNotInTheWrittenLayoutIsLeftAloneAndRefusesApply) {
  const ULONGLONG one = 1;
  const RegValue qword_one = RegValue::of(REG_QWORD, reinterpret_cast<const char*>(&one), 8);
  struct Case {
    const char* name;
    const char* value;
    RegValue replacement;
  };
  const Case cases[] = {
      {"Active as a QWORD", "Active", qword_one},
      {"Active of 2", "Active", dword_value(2)},
      {"presence flag missing", "ProxyServerPresent", RegValue::absent()},
      {"presence flag as binary", "ProxyEnablePresent", RegValue::of(REG_BINARY, "\1\0\0\0", 4)},
      {"owner start time as a DWORD", "LauncherStartTime", dword_value(7)},
  };
  const char* names[] = {
      "Active",           "ProxyEnablePresent",   "ProxyEnableValue",  "ProxyServerPresent",
      "ProxyServerValue", "ProxyOverridePresent", "LauncherProcessId", "LauncherStartTime"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    leave_complete_backup();
    write_backup(c.value, c.replacement);
    std::vector<RegValue> backup;
    for (const char* name : names) backup.push_back(read_backup(name));
    // No try can use it: not retried, and no restore command written again.
    write_registry_value(kRunOnceKeyPath, kRunOnceValueName, RegValue::absent());
    EXPECT_EQ(restore_proxy_settings(), 1);
    EXPECT_FALSE(read_registry_value(kRunOnceKeyPath, kRunOnceValueName).present);
    EXPECT_EQ(apply_proxy_settings(18118), 0);
    expect_launcher_values("http=127.0.0.1:9999;https=127.0.0.1:9999");
    for (size_t i = 0; i < backup.size(); ++i) {
      EXPECT_EQ(read_backup(names[i]), backup[i]) << names[i];
    }
    clean();
  }
}

TEST_F(ProxySettings, ApplyRestoresALeftoverBackupBeforeTakingItsOwn) {
  UserValues user = leave_complete_backup();
  ASSERT_EQ(apply_proxy_settings(18118), 1);
  EXPECT_EQ(read_backup("ProxyServerValue"), user.server);
  expect_launcher_values("http=127.0.0.1:18118;https=127.0.0.1:18118");
  restore_proxy_settings();
  EXPECT_EQ(read_user_values(), user);
}

// A try that fails, then one that works. After each failed try the backup and
// the logon's restore command stand (the shell deleted the command before it
// ran it), the stores come back even where the legacy values cannot, and the
// launcher's server is not left switched on; a later ending restores all.
TEST_F(ProxySettings, FailedTriesKeepTheBackupAndALaterEndingRestores) {
  const char connections[] = LUMARET_INTERNET_SETTINGS_KEY "\\Connections";
  const RegValue lan = RegValue::of(REG_BINARY, "the user's store", 16);
  struct Case {
    const char* name;
    const wchar_t* fault;
    int in_apply;      // the fault hits apply and its own clean-up
    int failed_tries;  // restores that fail before one succeeds
    RegValue enable_while_failing;
  };
  const Case cases[] = {
      // A passing read error on Active is a failed try, not a damaged backup.
      {"Active unreadable once", L"query:Active:1018", 0, 1, dword_value(1)},
      {"ProxyServer not writable twice", L"set:ProxyServer:5*2", 0, 2, dword_value(0)},
      // The settings count as applied from apply's first write.
      {"apply whose clean-up fails once", L"set:ProxyEnable:5*2", 1, 0, RegValue::absent()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const UserValues user = {dword_value(1), RegValue::text(REG_SZ, "corp:3128"),
                             RegValue::text(REG_SZ, "<local>")};
    write_user_values(user);
    write_registry_value(connections, "DefaultConnectionSettings", lan);
    if (c.in_apply) registry_fault_arm(c.fault);
    ASSERT_EQ(apply_proxy_settings(18118), c.in_apply ? 0 : 1);
    EXPECT_TRUE(settings_are_applied());
    EXPECT_TRUE(backup_key_exists());
    if (!c.in_apply) registry_fault_arm(c.fault);
    for (int i = 0; i < c.failed_tries; ++i) {
      write_registry_value(kRunOnceKeyPath, kRunOnceValueName, RegValue::absent());
      EXPECT_EQ(restore_proxy_settings(), 0);
      EXPECT_TRUE(backup_key_exists());
      EXPECT_TRUE(read_registry_value(kRunOnceKeyPath, kRunOnceValueName).present);
      EXPECT_EQ(read_user("ProxyEnable"), c.enable_while_failing);
      if (c.enable_while_failing == dword_value(0)) {
        EXPECT_EQ(read_registry_value(connections, "DefaultConnectionSettings"), lan);
        EXPECT_EQ(read_user("ProxyOverride"), user.override_list);
      }
    }
    EXPECT_EQ(restore_proxy_settings_if_applied(), 1);
    EXPECT_EQ(read_user_values(), user);
    EXPECT_EQ(read_registry_value(connections, "DefaultConnectionSettings"), lan);
    EXPECT_FALSE(backup_key_exists());
    EXPECT_FALSE(read_registry_value(kRunOnceKeyPath, kRunOnceValueName).present);
    EXPECT_FALSE(settings_are_applied());
    write_registry_value(connections, "DefaultConnectionSettings", RegValue::absent());
  }
}

TEST_F(ProxySettings, SecondRestoreInARowChangesNothing) {
  write_user_values({dword_value(1), RegValue::text(REG_SZ, "a:1"), RegValue::absent()});
  ASSERT_EQ(apply_proxy_settings(18118), 1);
  restore_proxy_settings();
  // The user changes their settings afterwards; a late restore must not touch them.
  UserValues changed = {dword_value(0), RegValue::text(REG_SZ, "b:2"), RegValue::absent()};
  write_user_values(changed);
  restore_proxy_settings();
  restore_proxy_settings_if_applied();
  EXPECT_EQ(read_user_values(), changed);
}

TEST_F(ProxySettings, RestoreWhileAppliedDoesNothingWhenTheFlagIsClear) {
  UserValues user = leave_complete_backup();
  restore_proxy_settings_if_applied();
  EXPECT_TRUE(backup_key_exists());
  // Nor while another process holds the user's mutex past the wait: a run
  // that never applied has nothing pending, whatever backup stands.
  wchar_t name[160];
  settings_user_object_name(name, 160, L"" LUMARET_IDENTITY_TOKEN "Settings");
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread holder([&] {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name);
    SetEvent(held);
    WaitForSingleObject(release, INFINITE);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  });
  WaitForSingleObject(held, INFINITE);
  EXPECT_EQ(restore_proxy_settings_if_applied(), 1);
  SetEvent(release);
  holder.join();
  CloseHandle(held);
  CloseHandle(release);
  EXPECT_TRUE(backup_key_exists());
  restore_proxy_settings();
  EXPECT_EQ(read_user_values(), user);
}

// Without the lock, a restore that opened the backup just before another
// deleted it reads its presence flags as 0 and deletes the user's values.
TEST_F(ProxySettings, ConcurrentRestoresLeaveTheUsersValuesIntact) {
  UserValues user = {dword_value(1), RegValue::text(REG_SZ, "corp:3128"),
                     RegValue::text(REG_SZ, "<local>")};
  for (int round = 0; round < 60; ++round) {
    write_user_values(user);
    ASSERT_EQ(apply_proxy_settings(18118), 1);
    std::atomic<int> go{0};
    std::thread handler([&go] {
      while (go.load() == 0) {
      }
      restore_proxy_settings_if_applied();
    });
    std::thread shutdown([&go] {
      while (go.load() == 0) {
      }
      restore_proxy_settings();
    });
    go.store(1);
    handler.join();
    shutdown.join();
    ASSERT_EQ(read_user_values(), user) << "round " << round;
    ASSERT_FALSE(backup_key_exists());
    ASSERT_FALSE(settings_are_applied());
  }
}

}  // namespace
