#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "platform/net.h"
#include "platform/run_log.h"
#include "settings/connection_backup_win32.h"
#include "settings/proxy_settings.h"
#include "settings/proxy_settings_internal_win32.h"
#include "settings/registry_values_win32.h"
#include "settings/settings_text.h"

namespace {

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

// Returns 1 when the backup holds a presence flag of 1 for a value but lost
// its saved copy (a cleaner, a hand edit).
int plan_copy_missing(const RestorePlan& plan) {
  return plan.present != 0 && plan.saved_result != ERROR_SUCCESS;
}

// Puts one value back, or deletes the user's value when they had none. A saved
// copy that is missing leaves the value as it is. Returns 1 when the write or
// deletion succeeded.
int plan_apply(HKEY internet_settings, const SavedValue& value, const RestorePlan& plan) {
  if (plan.present == 0) return registry_delete_value(internet_settings, value.user_name);
  if (plan_copy_missing(plan)) return 1;
  return stored_value_write(internet_settings, value.user_name, &plan.saved);
}

// Puts the legacy values back, each on its own, ProxyEnable last, so that a
// restore cut short never switches on a server that is not yet the user's.
// Where the user's server cannot come back (its write failed, or its copy is
// missing), or ProxyEnable's copy is missing, ProxyEnable goes to 0: off never
// cuts the user off the network, while the launcher's server dies with it.
// With written (what apply left there, from a backup that records it), the
// values another program changed since stay as they stand, and ProxyEnable
// with them (keep_changed_values); their names go to kept. Returns 1 when
// every value is back (or switched off, its copy missing); sets *untouched
// when the key could not be opened, so that all of the launcher's legacy
// values still stand.
int legacy_put_back(const RestorePlan* plans, int count, const WrittenValue* written,
                    int* untouched, char* kept, size_t kept_capacity, HKEY record) {
  RegistryKey internet_settings;
  *untouched = RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0,
                             KEY_QUERY_VALUE | KEY_SET_VALUE,
                             &internet_settings.key) != ERROR_SUCCESS;
  if (*untouched) return 0;
  const uint32_t changed =
      written != nullptr ? legacy_changes(internet_settings.key, written, plans) : 0;
  legacy_names_add(kept, kept_capacity, changed);
  const uint32_t keep = keep_changed_values(changed);
  int restored = 1;
  int server_back = 1;
  for (int at = 0; at < count; ++at) {
    if (at == kProxyEnableIndex || (keep & kSavedValues[at].change_bit) != 0) continue;
    const int put = plan_apply(internet_settings.key, kSavedValues[at], plans[at]);
    if (!put) restored = 0;
    if (at == kProxyServerIndex && (!put || plan_copy_missing(plans[at]))) server_back = 0;
  }
  // The launcher's server may still stand: off, whatever another program set.
  const RestorePlan& enable = plans[kProxyEnableIndex];
  if (server_back && (keep & kLegacyProxyEnable) != 0) return restored;
  int switched_off = 0;
  if (server_back && !plan_copy_missing(enable)) {
    if (!plan_apply(internet_settings.key, kSavedValues[kProxyEnableIndex], enable)) {
      restored = 0;
      switched_off = registry_write_dword(internet_settings.key, L"ProxyEnable", 0);
    }
  } else if (!registry_write_dword(internet_settings.key, L"ProxyEnable", 0)) {
    restored = 0;
  } else {
    switched_off = 1;
  }
  // A switch-off of a try that failed is the launcher's write: the next try
  // must not take it for the user's proxy switched off by another program.
  if (switched_off && !restored && written != nullptr && record != nullptr) {
    const SavedValue& saved = kSavedValues[kProxyEnableIndex];
    if (registry_write_dword(record, saved.written_name, 0)) {
      registry_write_dword(record, saved.written_present_name, 1);
    }
  }
  return restored;
}

// Says on the console, and in the log, which values could not come back
// because the backup lost their saved copies; says nothing when none did.
void report_lost_copies(const RestorePlan* plans, int count, const ConnectionsBackup* connections) {
  char names[1024] = "";
  for (int at = 0; at < count; ++at) {
    if (plan_copy_missing(plans[at]))
      place_names_add(names, sizeof(names), kSavedValues[at].user_name);
  }
  for (int i = 0; i < connections->count; ++i) {
    const SavedConnection& connection = connections->connections[i];
    if (connection.present && connection.saved_missing) {
      place_names_add(names, sizeof(names), connection.name);
    }
  }
  if (names[0] == '\0') return;
  console_printf("%s%s\n", kLostCopiesLine, names);
  // The watchdog and the logon command have no console: the log says it for them.
  run_log_printf("%s%s", kLostCopiesLine, names);
}

// Puts the saved values back, the backup still standing, each place on its
// own so that one that cannot be written does not keep the launcher's proxy
// in the others: the legacy values first (ProxyEnable last of them), then
// SavedLegacySettings, then the LAN's and every entry's store. In that order
// no WinINet reader in between sees the launcher's legacy values beside the
// user's copy of them, which it would take for an edit and fold into the
// stores. While the launcher's legacy values all stand (their key refuses
// writing), their copy stays the launcher's too, for the same reason. Returns
// kRestoreDone when every value is back, or switched off where the backup lost
// its copy (the console names those).
RestoreOutcome restore_values(HKEY backup) {
  ConnectionsHolder connections;
  if (connections.connections == nullptr) return kRestoreFailed;
  LONG connections_read_result = connections_read(backup, connections.connections);
  if (connections_read_result != ERROR_SUCCESS) return restore_stopped_by(connections_read_result);
  // An earlier format did not save the setup-script URL: it stays as it is.
  const int count = connections.connections->format >= kBackupFormatWithScriptUrl
                        ? kSavedValueCount
                        : kEarlierFormatSavedValueCount;
  RestorePlan plans[kSavedValueCount];
  for (int i = 0; i < count; ++i) {
    LONG read = plan_read(backup, kSavedValues[i], &plans[i]);
    if (read != ERROR_SUCCESS) return restore_stopped_by(read);
  }
  // What the launcher wrote, when the backup records it whole: without it,
  // everything comes back from the backup, as from an earlier format.
  WrittenValue written[kSavedValueCount];
  ConnectionsBackup* record = connections.connections;
  for (int i = 0; i < kSavedValueCount && record->with_written; ++i) {
    if (written_value_read(backup, kSavedValues[i], &written[i]) != ERROR_SUCCESS) {
      record->with_written = 0;
    }
  }
  // Where a try switches the launcher's proxy off, that is recorded too; a
  // backup that refuses it only keeps the record it has.
  RegistryKey record_key;
  if (record->with_written && RegOpenKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, KEY_SET_VALUE,
                                            &record_key.key) != ERROR_SUCCESS) {
    record_key.key = nullptr;
  }
  char kept[1024] = "";
  int legacy_untouched = 0;
  int restored = legacy_put_back(plans, count, record->with_written ? written : nullptr,
                                 &legacy_untouched, kept, sizeof(kept), record_key.key);
  restored = connections_put_back(record, legacy_untouched, kept, sizeof(kept), record_key.key) &&
             restored;
  // Even a restore cut short has written something WinINet must reread.
  notify_settings_changed();
  if (!restored) return kRestoreFailed;
  report_lost_copies(plans, count, record);
  if (kept[0] != '\0') {
    char line[sizeof(kKeptOtherProgramFormat) + sizeof(kept)];
    snprintf(line, sizeof(line), kKeptOtherProgramFormat, kept);
    console_write_line(line);
    run_log_printf("%s", line);
  }
  return kRestoreDone;
}

// Reads Active from the open backup key. Only its absence or a 0 makes the
// backup incomplete: an Active of another type, size or number may have been
// written by another version and still guard the user's values. Any other
// error is a read that failed now and may succeed later.
BackupState backup_state_of(HKEY backup) {
  DWORD active = 0;
  LONG read = registry_read_flag(backup, kActiveValue, &active);
  if (read == ERROR_FILE_NOT_FOUND) return kBackupIncomplete;
  if (is_layout_error(read)) return kBackupUnreadable;
  if (read != ERROR_SUCCESS) return kBackupReadFailed;
  return active == 1 ? kBackupComplete : kBackupIncomplete;
}

// Puts the user's values back from a complete backup that this process may
// act on, the backup still standing. Returns kRestoreDone when they are back.
RestoreOutcome restore_from_backup() {
  // Read only: the backup is deleted as a whole, never written here, so a
  // key that refuses writing still restores.
  RegistryKey backup;
  LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, KEY_READ, &backup.key);
  if (opened == ERROR_FILE_NOT_FOUND) return kRestoreNoBackup;
  if (opened != ERROR_SUCCESS) return kRestoreFailed;
  switch (backup_state_of(backup.key)) {
    case kBackupAbsent:
    case kBackupIncomplete:
      return kRestoreNoBackup;
    case kBackupUnreadable:
      return kRestoreUnreadable;
    case kBackupReadFailed:
      return kRestoreFailed;
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
  const BackupState state = backup_state();
  if (state != kBackupComplete && state != kBackupReadFailed) return 1;
  write_restore_command();
  return 0;
}

// Returns 1 while something accepts a connection at port on the loopback
// address. When networking cannot be used it cannot tell, and answers 1: the
// proxy there is left alone.
int loopback_port_listens(uint16_t port) {
  if (!net_startup()) return 1;
  char port_text[8];
  snprintf(port_text, sizeof(port_text), "%u", static_cast<unsigned>(port));
  NetSocket socket = net_connect_first(LUMARET_LOOPBACK_ADDRESS, port_text);
  net_close(socket);
  net_cleanup();
  return socket != kInvalidSocket;
}

// Sets ProxyEnable to 0 where ProxyServer is the launcher's server text at a
// port that filter takes; appends "ProxyEnable" to names when it did. Returns
// 1 when the launcher's server is not left switched on there.
int legacy_switch_off(LocalProxyFilter* filter, char* names, size_t capacity) {
  RegistryKey internet_settings;
  LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, &internet_settings.key);
  if (opened == ERROR_FILE_NOT_FOUND) return 1;
  if (opened != ERROR_SUCCESS) return 0;
  StoredValue server;
  LONG read = stored_value_read(internet_settings.key, L"ProxyServer", &server);
  if (read == ERROR_FILE_NOT_FOUND) return 1;
  if (read != ERROR_SUCCESS) return 0;
  if (server.type != REG_SZ && server.type != REG_EXPAND_SZ) return 1;
  // The launcher's text is ASCII, at most 42 characters: narrowed here
  // without its terminator, and any other character makes it not ours.
  char text[64];
  size_t length = 0;
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(server.data);
  size_t count = server.size / sizeof(wchar_t);
  while (count > 0 && wide[count - 1] == L'\0') --count;
  if (count >= sizeof(text)) return 1;
  for (; length < count; ++length) {
    if (wide[length] == L'\0' || wide[length] >= 0x80) return 1;
    text[length] = static_cast<char>(wide[length]);
  }
  // Off already: the port is not looked at (a refused connection can take
  // a second on Windows).
  DWORD enable = 0;
  uint16_t port = 0;
  if ((registry_read_dword(internet_settings.key, L"ProxyEnable", &enable) == ERROR_SUCCESS &&
       enable == 0) ||
      !settings_parse_proxy_server(text, length, &port) ||
      !local_proxy_filter_takes(filter, port)) {
    return 1;
  }
  if (!registry_write_dword(internet_settings.key, L"ProxyEnable", 0)) return 0;
  place_names_add(names, capacity, L"ProxyEnable");
  return 1;
}

// Switches the launcher's proxy off wherever filter takes it, in the legacy
// values first and then in every store, so that no WinINet reader in between
// sees a store switched off beside legacy values still on. Notifies WinINet
// when anything changed. Returns 1 when nothing of it is left on.
int switch_off_local_proxy(LocalProxyFilter* filter, char* names, size_t capacity) {
  int off = legacy_switch_off(filter, names, capacity);
  off = connections_switch_off(filter, names, capacity) && off;
  if (names[0] != '\0') notify_settings_changed();
  return off;
}

// The launcher's own restore while its values are applied, when the backup it
// wrote is gone or cannot be read: the user's values cannot come back, so its
// proxy, which stops with it, is switched off wherever it still stands.
RestoreOutcome restore_without_backup() {
  LocalProxyFilter filter = {applied_port, 0, 0};
  char names[1024] = "";
  const int off = applied_port != 0 && switch_off_local_proxy(&filter, names, sizeof(names));
  run_log_printf("Restore: the backup is gone or unreadable; switched off: %s%s",
                 names[0] != '\0' ? names : "nothing", off ? "" : "; a place FAILED");
  if (!off) return kRestoreFailed;
  console_write_line(kBackupRemovedLine);
  run_log_printf("%s", kBackupRemovedLine);
  // Nothing is left for the logon to restore.
  delete_restore_command();
  settings_applied.exchange(0);
  return kRestoreSwitchedOff;
}

const char* restore_outcome_text(RestoreOutcome outcome) {
  switch (outcome) {
    case kRestoreNoBackup:
      return "no complete backup, nothing to put back";
    case kRestoreDone:
      return "the user's proxy settings were put back and the backup deleted";
    case kRestoreOwnerRuns:
      return "the backup's launcher still runs; it is left to that launcher";
    case kRestoreUnreadable:
      return "the backup is not in the layout this program writes; left alone";
    case kRestoreSwitchedOff:
      return "the backup was gone or unreadable; the launcher's proxy was switched off instead";
    case kRestoreFailed:
      break;
  }
  return "a registry call FAILED; the backup stays for a later restore";
}

}  // namespace

BackupState backup_state() {
  RegistryKey backup;
  LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, KEY_READ, &backup.key);
  if (opened == ERROR_FILE_NOT_FOUND) return kBackupAbsent;
  if (opened != ERROR_SUCCESS) return kBackupReadFailed;
  return backup_state_of(backup.key);
}

int local_proxy_filter_takes(LocalProxyFilter* filter, uint16_t port) {
  if (filter->own_port != 0) return port == filter->own_port;
  if (filter->looked_at_port != port) {
    filter->looked_at_port = port;
    filter->looked_at_is_dead = !loopback_port_listens(port);
  }
  return filter->looked_at_is_dead;
}

void place_names_add(char* text, size_t capacity, const wchar_t* name) {
  size_t used = strlen(text);
  if (used > 0 && used + 2 < capacity) {
    text[used++] = ',';
    text[used++] = ' ';
  }
  for (; *name != L'\0' && used + 1 < capacity; ++name) {
    text[used++] = *name < 0x80 ? static_cast<char>(*name) : '?';
  }
  text[used] = '\0';
}

namespace {

// Deletes the backup's parent key, Software\<identity token>, once the backup
// was all it held: no value and no other subkey, so that data of another
// version stays, and so does the key. Nothing is reported: a key left behind
// harms no one.
void backup_parent_delete_if_empty() {
  static const wchar_t kParentKey[] = L"Software\\" LUMARET_IDENTITY_TOKEN;
  RegistryKey parent;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kParentKey, 0, KEY_QUERY_VALUE, &parent.key) !=
      ERROR_SUCCESS) {
    return;
  }
  DWORD subkeys = 1;
  DWORD values = 1;
  if (RegQueryInfoKeyW(parent.key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
      subkeys != 0 || values != 0) {
    return;
  }
  // RegDeleteKeyW itself refuses a key that gained a subkey meanwhile.
  RegDeleteKeyW(HKEY_CURRENT_USER, kParentKey);
}

}  // namespace

int backup_delete() {
  RegistryKey backup;
  LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, KEY_SET_VALUE, &backup.key);
  if (opened == ERROR_FILE_NOT_FOUND) return 1;
  if (opened != ERROR_SUCCESS || !registry_delete_value(backup.key, kActiveValue)) return 0;
  // The key is closed before its tree goes.
  RegCloseKey(backup.key);
  backup.key = nullptr;
  const LONG deleted = registry_delete_tree(HKEY_CURRENT_USER, kProxyBackupKey);
  if (deleted != ERROR_SUCCESS) {
    run_log_printf("Backup key not deleted (error %ld); it stays without Active",
                   static_cast<long>(deleted));
  }
  backup_parent_delete_if_empty();
  return 1;
}

RestoreOutcome restore_locked() {
  // The backup key is closed again before it is deleted.
  RestoreOutcome outcome = restore_from_backup();
  // This process's values are in force, and the backup it wrote is gone or
  // damaged (a cleaner, a hand): what it held cannot come back.
  if ((outcome == kRestoreNoBackup || outcome == kRestoreUnreadable) && settings_are_applied()) {
    outcome = restore_without_backup();
  }
  if (outcome == kRestoreDone) {
    if (!backup_delete()) {
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
  if (run_log_enabled) run_log_printf("Restore: %s", restore_outcome_text(outcome));
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
  // Without the lock the flag is read as it is: a run that never applied has
  // nothing pending, whatever backup another run left.
  if (!lock.held) return !settings_are_applied() || restore_result_without_lock();
  return !settings_are_applied() || restore_result(restore_locked());
}

void restore_proxy_settings_before_exit() {
  SettingsLock lock;
  // Set even without the lock: an apply that starts later must see it.
  process_ending.store(1);
  if (lock.held && settings_are_applied()) restore_locked();
}

int switch_off_dead_local_proxy() {
  SettingsLock lock;
  if (!lock.held) return 0;
  // A complete backup is restored by whoever may restore it, never switched off.
  const BackupState state = backup_state();
  if (state != kBackupAbsent && state != kBackupIncomplete) return 1;
  LocalProxyFilter filter = {0, 0, 0};
  char names[1024] = "";
  const int off = switch_off_local_proxy(&filter, names, sizeof(names));
  if (names[0] != '\0' || !off) {
    run_log_printf(
        "No backup stands; the launcher's proxy where nothing listens, switched off: %s%s",
        names[0] != '\0' ? names : "nothing", off ? "" : "; a place FAILED");
  }
  // No backup stands, so a restore command left is for what failed here alone.
  if (off) {
    delete_restore_command();
  } else {
    write_restore_command();
  }
  return off;
}
