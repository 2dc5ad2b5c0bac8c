#include <windows.h>

#include "settings/connection_backup_win32.h"
#include "settings/proxy_settings.h"
#include "settings/proxy_settings_internal_win32.h"
#include "settings/registry_values_win32.h"

namespace {

// What a restore puts back for one value, read whole before anything changes.
struct RestorePlan {
  DWORD present;
  LONG saved_result;  // ERROR_SUCCESS: saved holds the value to write back
  StoredValue saved;
};

// Reads the presence flag and the saved copy of one value. Returns
// ERROR_SUCCESS, or the read's error, after which nothing may be restored: a
// presence flag that is missing or not a REG_DWORD of 0 or 1 (taken as absent,
// the user's value would be deleted), or a saved copy that cannot be read for
// any reason but its absence.
LONG plan_read(HKEY backup, const SavedValue& value, RestorePlan* plan) {
  plan->saved_result = ERROR_FILE_NOT_FOUND;
  LONG flag = registry_read_flag(backup, value.present_name, &plan->present);
  if (flag != ERROR_SUCCESS) return flag;
  if (plan->present == 0) return ERROR_SUCCESS;
  plan->saved_result = stored_value_read(backup, value.saved_name, &plan->saved);
  return plan->saved_result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : plan->saved_result;
}

// Puts one value back, or deletes the user's value when they had none. A saved
// string that is missing leaves the user's value as it is; a saved ProxyEnable
// that is missing turns the proxy off, which never cuts the user off the
// network. Returns 1 when the write or deletion succeeded.
int plan_apply(HKEY internet_settings, const SavedValue& value, const RestorePlan& plan,
               int disable_when_missing) {
  if (plan.present == 0) return registry_delete_value(internet_settings, value.user_name);
  if (plan.saved_result == ERROR_SUCCESS) {
    return stored_value_write(internet_settings, value.user_name, &plan.saved);
  }
  return disable_when_missing ? registry_write_dword(internet_settings, value.user_name, 0) : 1;
}

// Puts the saved values back, the backup still standing: the Connections
// values first (a backup of an earlier version has none), the three legacy
// values last, so that theirs are exactly the user's bytes whatever WinINet
// derives from the stores. Returns kRestoreDone when every write and deletion
// succeeded.
RestoreOutcome restore_values(HKEY backup) {
  ConnectionsHolder connections;
  if (connections.connections == nullptr) return kRestoreFailed;
  LONG connections_read_result = connections_read(backup, connections.connections);
  if (connections_read_result != ERROR_SUCCESS) return restore_stopped_by(connections_read_result);
  RestorePlan plans[3];
  for (int i = 0; i < 3; ++i) {
    LONG read = plan_read(backup, kSavedValues[i], &plans[i]);
    if (read != ERROR_SUCCESS) return restore_stopped_by(read);
  }
  RegistryKey internet_settings;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0, KEY_SET_VALUE,
                    &internet_settings.key) != ERROR_SUCCESS) {
    return kRestoreFailed;
  }
  // ProxyEnable last, so that a restore cut short never switches on a server
  // that is not yet the user's.
  constexpr int kOrder[3] = {1, 2, kProxyEnableIndex};
  int restored = connections_put_back(connections.connections);
  for (int i = 0; i < 3 && restored; ++i) {
    const int at = kOrder[i];
    restored =
        plan_apply(internet_settings.key, kSavedValues[at], plans[at], at == kProxyEnableIndex);
  }
  // Cut short, the launcher's server may still stand, in the legacy values and
  // in the stores that WinHTTP's readers follow, and its port dies with the
  // launcher: the proxy goes off everywhere until a later restore puts the
  // user's values back (off never cuts the user off the network).
  if (!restored) {
    connections_switch_off_launcher_proxy(connections.connections);
    registry_write_dword(internet_settings.key, L"ProxyEnable", 0);
  }
  // Even a restore cut short has written something WinINet must reread.
  notify_settings_changed();
  return restored ? kRestoreDone : kRestoreFailed;
}

// Reads Active from the open backup key. Only its absence or a 0 makes the
// backup incomplete: an Active of another type, size or number may have been
// written by another version and still guard the user's values.
BackupState backup_state_of(HKEY backup) {
  DWORD active = 0;
  LONG read = registry_read_flag(backup, kActiveValue, &active);
  if (read == ERROR_FILE_NOT_FOUND) return kBackupIncomplete;
  if (read != ERROR_SUCCESS) return kBackupUnreadable;
  return active == 1 ? kBackupComplete : kBackupIncomplete;
}

// Puts the user's values back from a complete backup that this process may
// act on, the backup still standing. Returns kRestoreDone when they are back.
RestoreOutcome restore_from_backup() {
  RegistryKey backup;
  LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, kBackupAccess, &backup.key);
  if (opened == ERROR_FILE_NOT_FOUND) return kRestoreNoBackup;
  if (opened != ERROR_SUCCESS) {
    // Not writable, yet perhaps readable: an incomplete backup needs no restore.
    const BackupState state = backup_state();
    return state == kBackupAbsent || state == kBackupIncomplete ? kRestoreNoBackup : kRestoreFailed;
  }
  switch (backup_state_of(backup.key)) {
    case kBackupAbsent:
    case kBackupIncomplete:
      return kRestoreNoBackup;
    case kBackupUnreadable:
      return kRestoreUnreadable;
    case kBackupComplete:
      break;
  }
  RestoreOutcome stop = kRestoreFailed;
  if (!owner_allows_restore(backup.key, &stop)) return stop;
  return restore_values(backup.key);
}

// The result of a restore for its caller: 0 while a complete backup that this
// process may restore still stands, worth another try; 1 otherwise.
int restore_result(RestoreOutcome outcome) { return outcome != kRestoreFailed; }

// The result of a restore that could not have the lock: the backup is looked
// at without it (a look, no change). A complete backup gets its logon command
// again, as after a failed restore.
int restore_result_without_lock() {
  if (backup_state() != kBackupComplete) return 1;
  write_restore_command();
  return 0;
}

}  // namespace

BackupState backup_state() {
  RegistryKey backup;
  LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, KEY_READ, &backup.key);
  if (opened == ERROR_FILE_NOT_FOUND) return kBackupAbsent;
  if (opened != ERROR_SUCCESS) return kBackupUnreadable;
  return backup_state_of(backup.key);
}

RestoreOutcome restore_locked() {
  // The backup key is closed again before it is deleted.
  RestoreOutcome outcome = restore_from_backup();
  if (outcome == kRestoreDone) {
    if (RegDeleteTreeW(HKEY_CURRENT_USER, kProxyBackupKey) != ERROR_SUCCESS) {
      outcome = kRestoreFailed;
    } else {
      // After the backup: a restore cut short between the two leaves a
      // command that finds nothing to restore, never a backup without its
      // command.
      delete_restore_command();
      settings_applied.exchange(0);
    }
  }
  // The shell deletes a RunOnce value before it runs the command, so the
  // command that runs now may be the only one there was: a complete backup
  // that stays must have it again for the next logon.
  if (outcome == kRestoreFailed || outcome == kRestoreOwnerRuns) write_restore_command();
  return outcome;
}

int settings_are_applied() {
  int32_t expected = 0;
  settings_applied.compare_exchange_strong(expected, 0);
  return expected != 0;
}

int restore_proxy_settings() {
  SettingsLock lock;
  if (!lock.held) return restore_result_without_lock();
  return restore_result(restore_locked());
}

int restore_proxy_settings_if_applied() {
  SettingsLock lock;
  if (!lock.held) return restore_result_without_lock();
  return !settings_are_applied() || restore_result(restore_locked());
}

void restore_proxy_settings_before_exit() {
  SettingsLock lock;
  // Set even without the lock: an apply that starts later must see it.
  process_ending.store(1);
  if (lock.held && settings_are_applied()) restore_locked();
}
