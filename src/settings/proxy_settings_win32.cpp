#include "settings/proxy_settings.h"

#include <windows.h>

#include <cstring>

#include "platform/run_log.h"
#include "proxy/proxy_context.h"
#include "settings/connection_backup_win32.h"
#include "settings/connection_store.h"
#include "settings/proxy_settings_internal_win32.h"
#include "settings/registry_values_win32.h"
#include "settings/settings_text.h"

std::atomic<int32_t> settings_applied{0};
uint16_t applied_port = 0;

namespace {

constexpr DWORD kApplyInternetSettingsAccess = KEY_READ | KEY_SET_VALUE;  // 0x2001B
static_assert(kConnectionBypassCapacity == kProxyBypassMax + 1,
              "every store and reader holds the longest bypass list");

// Saves what one legacy value holds now into the backup, as present_name (its
// presence flag) and, when present, copy_name; both are read back. Returns 1
// when the backup holds them exactly, 0 when a read, write or read-back
// failed. A value that cannot be read for any reason but its absence fails
// the backup: recorded as absent, it would be deleted by the restore.
int save_value_copy(HKEY internet_settings, HKEY backup, const wchar_t* name,
                    const wchar_t* present_name, const wchar_t* copy_name) {
  StoredValue now;
  LONG read = stored_value_read(internet_settings, name, &now);
  if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) return 0;
  const DWORD present = read == ERROR_SUCCESS ? 1 : 0;
  DWORD flag = 0;
  int saved = registry_write_dword(backup, present_name, present) &&
              registry_read_flag(backup, present_name, &flag) == ERROR_SUCCESS && flag == present;
  if (present) {
    saved = saved && stored_value_write(backup, copy_name, &now) &&
            stored_value_matches(backup, copy_name, &now);
  }
  return saved;
}

// Records in the backup what stands now in every place that apply wrote: the
// legacy values, then every store (connections_save_written, which raises
// the format last). Returns 1 when the record is whole.
int written_record_save(HKEY backup, const ConnectionsBackup* connections) {
  RegistryKey internet_settings;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0, KEY_QUERY_VALUE,
                    &internet_settings.key) != ERROR_SUCCESS) {
    return 0;
  }
  for (const SavedValue& value : kSavedValues) {
    if (!save_value_copy(internet_settings.key, backup, value.user_name, value.written_present_name,
                         value.written_name)) {
      return 0;
    }
  }
  return connections_save_written(backup, connections);
}

// Writes the whole backup and marks it complete, Active last, each value read
// back: the three legacy values, the Connections values named in connections
// (with the format number) and the owner. Returns 1 when the backup is
// complete and exact, 0 when not.
int save_backup(HKEY internet_settings, HKEY backup, ConnectionsBackup* connections) {
  for (const SavedValue& value : kSavedValues) {
    if (!save_value_copy(internet_settings, backup, value.user_name, value.present_name,
                         value.saved_name)) {
      return 0;
    }
  }
  if (!connections_save(backup, connections)) return 0;
  // An exact owner record: a wrong one would let a restore outside this
  // launcher take its backup while it serves.
  if (!backup_write_owner(backup)) return 0;
  DWORD active = 0;
  return registry_write_dword(backup, kActiveValue, 1) &&
         registry_read_flag(backup, kActiveValue, &active) == ERROR_SUCCESS && active == 1;
}

// Writes the launcher's three values. Returns 1 when all three went in.
int write_launcher_values(HKEY internet_settings, uint16_t port, const char* bypass) {
  char server[256];
  size_t server_bytes = settings_format_proxy_server(server, sizeof(server), port);
  wchar_t server_wide[256];
  wchar_t override_wide[kProxyBypassMax + 1];
  const size_t override_chars = strnlen(bypass, kProxyBypassMax + 1) + 1;
  if (override_chars > kProxyBypassMax + 1) return 0;
  // Both texts are ASCII; their byte counts as REG_SZ are those of the
  // 8-bit text widened.
  for (size_t i = 0; i < server_bytes; ++i) server_wide[i] = static_cast<unsigned char>(server[i]);
  for (size_t i = 0; i < override_chars; ++i) {
    override_wide[i] = static_cast<unsigned char>(bypass[i]);
  }
  return server_bytes != 0 &&
         registry_set_value(internet_settings, L"ProxyServer", REG_SZ,
                            reinterpret_cast<const BYTE*>(server_wide),
                            static_cast<DWORD>(server_bytes * sizeof(wchar_t))) == ERROR_SUCCESS &&
         registry_set_value(internet_settings, L"ProxyOverride", REG_SZ,
                            reinterpret_cast<const BYTE*>(override_wide),
                            static_cast<DWORD>(override_chars * sizeof(wchar_t))) ==
             ERROR_SUCCESS &&
         registry_write_dword(internet_settings, L"ProxyEnable", 1);
}

// How far backup_and_write got.
enum ApplyOutcome {
  kApplyUntouched,     // a key could not be opened: nothing was written
  kApplyBackupFailed,  // a partial backup may stand; the user's values untouched
  kApplyValuesFailed,  // complete backup; some of the launcher's values may stand
  kApplyWritten,       // complete backup, restore command and the launcher's values
};

// The launcher's values everywhere: each connection's store, then the three
// legacy values. Returns 1 when all were written.
int write_all_launcher_values(HKEY internet_settings, const ConnectionsBackup* connections,
                              uint16_t port, const char* bypass) {
  char server[256];
  if (settings_format_proxy_server(server, sizeof(server), port) == 0) return 0;
  // The legacy values after the stores: WinINet derives them from a store it
  // sets (Wine's drops ProxyOverride), and they must be exactly the launcher's.
  return connections_apply(connections, server, bypass) &&
         write_launcher_values(internet_settings, port, bypass);
}

// The user's values change only after the backup stands complete and exact.
ApplyOutcome backup_and_write(uint16_t port, const char* bypass, ConnectionsBackup* connections) {
  RegistryKey internet_settings;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0, kApplyInternetSettingsAccess,
                    &internet_settings.key) != ERROR_SUCCESS) {
    return kApplyUntouched;
  }
  RegistryKey backup;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      kBackupAccess, nullptr, &backup.key, nullptr) != ERROR_SUCCESS) {
    return kApplyUntouched;
  }
  if (!connections_list(connections) ||
      !save_backup(internet_settings.key, backup.key, connections)) {
    run_log_printf("Backup of the user's proxy settings: FAILED; nothing was changed");
    return kApplyBackupFailed;
  }
  run_log_printf("Backup of the user's proxy settings: complete (%d Connections values)",
                 connections->count);
  backup_write_log_path(backup.key);
  write_restore_command();
  // From the first write on, the launcher's values may be in force: every
  // ending of this process restores them, also when apply fails below and its
  // own restore fails too.
  applied_port = port;
  settings_applied.exchange(1);
  if (!write_all_launcher_values(internet_settings.key, connections, port, bypass)) {
    run_log_printf("Settings written: ProxyServer, ProxyOverride, ProxyEnable: FAILED");
    return kApplyValuesFailed;
  }
  run_log_printf("Settings written: ProxyServer, ProxyOverride, ProxyEnable: ok");
  return kApplyWritten;
}

// A restore that apply makes itself, logged as every other restore: who made
// it, its result and its duration (a check that finds no backup says nothing).
void restore_in_apply(const char* why) {
  const uint64_t started = run_log_enabled ? run_log_clock_ms() : 0;
  const RestoreOutcome outcome = restore_locked();
  if (run_log_enabled && outcome != kRestoreNoBackup) {
    run_log_printf("Restore by the launcher (%s): %s, %llu ms", why,
                   outcome == kRestoreDone     ? "done"
                   : outcome == kRestoreFailed ? "FAILED, the backup stays for a later restore"
                   : outcome == kRestoreSwitchedOff
                       ? "the backup was gone, the local proxy switched off instead"
                       : "not done, the backup is left as it is",
                   static_cast<unsigned long long>(run_log_clock_ms() - started));
  }
}

int apply_locked(uint16_t port, const char* bypass) {
  if (process_ending.load() != 0) return 0;
  // A leftover complete backup goes back first, so the backup below always
  // holds the user's own values and never the launcher's. One that stays (its
  // launcher still runs, or its restore failed) must never be overwritten, nor
  // must one that cannot be read as written: only a key that is not there, or
  // one that never became complete, may take this launcher's backup.
  restore_in_apply("a backup left by an earlier run");
  const BackupState state = backup_state();
  if (state != kBackupAbsent && state != kBackupIncomplete) return 0;
  // The user's settings are not the ones programs use: nothing to change.
  if (proxy_settings_are_per_machine()) return 0;
  ConnectionsHolder connections;
  if (connections.connections == nullptr) return 0;
  // Both keys are closed again before the cleanup below opens them anew.
  switch (backup_and_write(port, bypass, connections.connections)) {
    case kApplyUntouched:
      return 0;
    case kApplyBackupFailed:
      backup_delete();
      return 0;
    case kApplyValuesFailed:
      // Some of the launcher's values may be in force: the user's go back now.
      restore_in_apply("undoing a failed apply");
      return 0;
    case kApplyWritten:
      break;
  }
  notify_settings_changed();
  // An apply that programs cannot see is no success: WinINet for every
  // connection and WinHTTP must report the launcher's proxy, with neither
  // automatic detection nor a setup script ahead of it, and WinHTTP the
  // bypass list as written.
  if (!connections_confirm(connections.connections, port, bypass)) {
    run_log_printf("Read-back: the launcher's proxy is not in force everywhere; undoing");
    restore_in_apply("undoing a failed apply");
    return 0;
  }
  // What stands now, WinINet's copies included, is the launcher's: the watch
  // and every restore tell another program's values by it.
  RegistryKey backup;
  const int recorded = RegOpenKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, kBackupAccess,
                                     &backup.key) == ERROR_SUCCESS &&
                       written_record_save(backup.key, connections.connections);
  run_log_printf("Backup: what the launcher wrote, recorded: %s",
                 recorded ? "ok" : "FAILED; a restore puts back all of the user's values");
  settings_applied.exchange(1);
  return 1;
}

}  // namespace

void backup_write_log_path(HKEY backup) {
  const wchar_t* path = run_log_full_path();
  if (path == nullptr) return;
  // Not through the registry fault seam: the path is no setting of the user's.
  RegSetValueExW(backup, kLogFileValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                 static_cast<DWORD>((wcslen(path) + 1) * sizeof(wchar_t)));
}

int proxy_backup_log_path(char* path, size_t capacity) {
  RegistryKey backup;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, KEY_QUERY_VALUE, &backup.key) !=
      ERROR_SUCCESS) {
    return 0;
  }
  static wchar_t wide[32768];
  DWORD type = 0;
  DWORD size = sizeof(wide) - sizeof(wchar_t);
  if (RegQueryValueExW(backup.key, kLogFileValue, nullptr, &type, reinterpret_cast<BYTE*>(wide),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ || size < sizeof(wchar_t)) {
    return 0;
  }
  wide[size / sizeof(wchar_t)] = L'\0';
  return WideCharToMultiByte(CP_UTF8, 0, wide, -1, path, static_cast<int>(capacity), nullptr,
                             nullptr) > 0;
}

int apply_proxy_settings(uint16_t port, const char* bypass) {
  SettingsLock lock;
  return lock.held && apply_locked(port, bypass);
}
