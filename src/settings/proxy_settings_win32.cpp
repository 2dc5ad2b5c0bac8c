#include "settings/proxy_settings.h"

#include <windows.h>
#include <sddl.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "proxy/proxy_context.h"
#include "settings/connection_backup_win32.h"
#include "settings/registry_values_win32.h"
#include "settings/settings_text.h"

std::atomic<int32_t> settings_applied{0};

namespace {

// The key paths of proxy_settings.h for the wide calls: values are copied as
// their stored bytes, which the 8-bit calls would pass through the code page.
constexpr wchar_t kInternetSettingsKey[] = L"" LUMARET_INTERNET_SETTINGS_KEY;
constexpr wchar_t kProxyBackupKey[] = L"" LUMARET_PROXY_BACKUP_KEY;
constexpr wchar_t kRunOnceKey[] = L"" LUMARET_RUN_ONCE_KEY;
constexpr wchar_t kRunOnceValue[] = L"" LUMARET_RUN_ONCE_VALUE;

// The launcher that wrote a backup: its process id and its creation time, so
// that a restore outside it can tell whether it still runs, and a process that
// was later given the same id is not taken for it.
constexpr wchar_t kOwnerIdValue[] = L"LauncherProcessId";
constexpr wchar_t kOwnerStartValue[] = L"LauncherStartTime";
constexpr wchar_t kActiveValue[] = L"Active";

// Holds apply and every restore of this process apart: the console handler's
// and the session-end window's threads may restore while the main thread
// applies or restores.
SRWLOCK settings_lock = SRWLOCK_INIT;

// Holds them apart across the user's processes too, in every session: a
// restore that opened the backup just before another deleted it would find its
// values gone. A holder keeps it for a few registry calls; a restore that
// cannot have it within the limit leaves the backup for the next restore.
constexpr wchar_t kSettingsMutexBase[] = L"" LUMARET_IDENTITY_TOKEN "Settings";
constexpr DWORD kSettingsMutexWaitMs = 5000;

// Set when a console event or the session's end is about to end this process:
// no apply may start after it, since nothing would restore what it writes.
std::atomic<int> process_ending{0};

// Takes settings_lock and the user's mutex. Returns 1 with both held (the mutex
// handle in *mutex, for settings_lock_release), 0 with neither.
int settings_lock_acquire(HANDLE* mutex) {
  AcquireSRWLockExclusive(&settings_lock);
  wchar_t name[160];
  settings_user_object_name(name, 160, kSettingsMutexBase);
  *mutex = CreateMutexW(nullptr, FALSE, name);
  if (*mutex != nullptr) {
    // WAIT_ABANDONED: its holder died on the way; a complete backup is only
    // ever written whole, and a restore cut short is repeated from it.
    DWORD waited = WaitForSingleObject(*mutex, kSettingsMutexWaitMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return 1;
    CloseHandle(*mutex);
    *mutex = nullptr;
  }
  ReleaseSRWLockExclusive(&settings_lock);
  return 0;
}

void settings_lock_release(HANDLE mutex) {
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  ReleaseSRWLockExclusive(&settings_lock);
}

// Holds settings_lock and the user's mutex for its own lifetime when held is
// 1; with held 0 it holds neither. One release, on every way out.
struct SettingsLock {
  HANDLE mutex = nullptr;
  int held = 0;
  SettingsLock() { held = settings_lock_acquire(&mutex); }
  ~SettingsLock() {
    if (held) settings_lock_release(mutex);
  }
  SettingsLock(const SettingsLock&) = delete;
  SettingsLock& operator=(const SettingsLock&) = delete;
};

// Owns the record of the Connections values (connections, nullptr when it
// could not be had): freed once, when the holder goes out of scope.
struct ConnectionsHolder {
  ConnectionsBackup* connections = connections_new();
  ConnectionsHolder() = default;
  ~ConnectionsHolder() { connections_free(connections); }
  ConnectionsHolder(const ConnectionsHolder&) = delete;
  ConnectionsHolder& operator=(const ConnectionsHolder&) = delete;
};

constexpr DWORD kApplyInternetSettingsAccess = KEY_READ | KEY_SET_VALUE;  // 0x2001B
constexpr DWORD kBackupAccess = KEY_READ | KEY_WRITE;                     // 0x2001F
constexpr char kProxyOverrideText[] = "<local>;localhost;" LUMARET_LOOPBACK_ADDRESS;

struct SavedValue {
  const wchar_t* user_name;     // in the Internet Settings key
  const wchar_t* present_name;  // presence flag in the backup key
  const wchar_t* saved_name;    // saved copy in the backup key
};

constexpr SavedValue kSavedValues[] = {
    {L"ProxyEnable", L"ProxyEnablePresent", L"ProxyEnableValue"},
    {L"ProxyServer", L"ProxyServerPresent", L"ProxyServerValue"},
    {L"ProxyOverride", L"ProxyOverridePresent", L"ProxyOverrideValue"},
};
constexpr int kProxyEnableIndex = 0;

// Reads the owner's start time, a REG_QWORD of 8 bytes. Returns as registry_read_dword.
LONG read_qword(HKEY key, const wchar_t* name, ULONGLONG* value) {
  return registry_read_fixed(key, name, REG_QWORD, value, sizeof(*value));
}

// Returns 1 for a read result that says the backup does not hold the layout
// this program writes (a value missing, or of another type, size or number):
// reading it again cannot help, so the backup is left alone for good.
int is_layout_error(LONG result) {
  return result == ERROR_FILE_NOT_FOUND || result == ERROR_MORE_DATA ||
         result == ERROR_INVALID_DATA;
}

// This process as a backup's owner sees it.
struct LauncherIdentity {
  DWORD process_id;
  ULONGLONG start_time;  // the process's creation time, FILETIME units
};

int process_start_time(HANDLE process, ULONGLONG* start_time) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  *start_time = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  return 1;
}

LauncherIdentity current_launcher() {
  LauncherIdentity identity = {GetCurrentProcessId(), 0};
  process_start_time(GetCurrentProcess(), &identity.start_time);
  return identity;
}

// Returns 1 while the launcher with this identity runs. A process that cannot
// be opened is not it: the owner is a process of this user, which the user can
// always open; so the id is free, or another user's process has it now.
int launcher_is_running(const LauncherIdentity& owner) {
  HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, owner.process_id);
  if (process == nullptr) return 0;
  ULONGLONG start_time = 0;
  // Windows keeps an ended process openable while someone holds a handle to it.
  int running = process_start_time(process, &start_time) && start_time == owner.start_time &&
                WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

// What a restore made of the backup.
enum RestoreOutcome {
  kRestoreNoBackup,    // none, or an incomplete one: the user's values were never touched
  kRestoreDone,        // the user's values are back; backup and command deleted
  kRestoreOwnerRuns,   // the launcher that wrote it still runs: it is that launcher's
  kRestoreUnreadable,  // not the layout this program writes: left alone for good
  kRestoreFailed,      // a registry call failed: the backup stands for a later restore
};

// The outcome of a restore stopped by a failed read of the backup.
RestoreOutcome restore_stopped_by(LONG read_result) {
  return is_layout_error(read_result) ? kRestoreUnreadable : kRestoreFailed;
}

// Decides whether a restore of this process may act on the backup: when this
// process wrote it, when its writer no longer runs, or when it names no writer
// (written by an earlier version: a leftover). Returns 1 to act; 0 to leave
// it, with the reason in *stop (kRestoreOwnerRuns, or the record unreadable).
int owner_allows_restore(HKEY backup, RestoreOutcome* stop) {
  DWORD process_id = 0;
  LONG id_result = registry_read_dword(backup, kOwnerIdValue, &process_id);
  ULONGLONG start_time = 0;
  LONG start_result = read_qword(backup, kOwnerStartValue, &start_time);
  if (id_result == ERROR_FILE_NOT_FOUND || start_result == ERROR_FILE_NOT_FOUND) return 1;
  if (id_result != ERROR_SUCCESS || start_result != ERROR_SUCCESS) {
    *stop = restore_stopped_by(id_result != ERROR_SUCCESS ? id_result : start_result);
    return 0;
  }
  const LauncherIdentity owner = {process_id, start_time};
  const LauncherIdentity self = current_launcher();
  if (owner.process_id == self.process_id && owner.start_time == self.start_time) return 1;
  if (!launcher_is_running(owner)) return 1;
  *stop = kRestoreOwnerRuns;
  return 0;
}

// Has the next logon run "\"<program path>\" --restore-watchdog 0": the
// watchdog mode with no process to wait for restores at once. Without the
// program's full path, or when the command is too long to be run, there is no
// entry and the next launch is the one that restores.
void write_restore_command() {
  wchar_t path[kProgramPathCapacity];
  DWORD length = GetModuleFileNameW(nullptr, path, kProgramPathCapacity);
  if (length == 0 || length >= kProgramPathCapacity) return;
  wchar_t command_line[kRunOnceCommandCapacity];
  if (!watchdog_format_command_line(command_line, kRunOnceCommandCapacity, path, 0)) return;
  RegistryKey run_once;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunOnceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, &run_once.key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  registry_set_value(run_once.key, kRunOnceValue, REG_SZ,
                     reinterpret_cast<const BYTE*>(command_line),
                     static_cast<DWORD>((wcslen(command_line) + 1) * sizeof(wchar_t)));
}

void delete_restore_command() {
  RegistryKey run_once;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunOnceKey, 0, KEY_SET_VALUE, &run_once.key) ==
      ERROR_SUCCESS) {
    registry_delete_value(run_once.key, kRunOnceValue);
  }
}

// WinINet, and the programs that use it, reread the settings: proxy settings
// changed (95), settings changed (39), refresh (37).
void notify_settings_changed() { connection_store_notify(); }

// Saves one of the user's values into the backup: its presence flag and, when
// present, its copy; both are read back. Returns 1 when the backup holds them
// exactly, 0 when a read, write or read-back failed. A value that cannot be
// read for any reason but its absence fails the backup: recorded as absent, it
// would be deleted by the restore.
int save_user_value(HKEY internet_settings, HKEY backup, const SavedValue& value) {
  StoredValue user;
  LONG read = stored_value_read(internet_settings, value.user_name, &user);
  if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) return 0;
  const DWORD present = read == ERROR_SUCCESS ? 1 : 0;
  DWORD flag = 0;
  int saved = registry_write_dword(backup, value.present_name, present) &&
              registry_read_flag(backup, value.present_name, &flag) == ERROR_SUCCESS &&
              flag == present;
  if (present) {
    saved = saved && stored_value_write(backup, value.saved_name, &user) &&
            stored_value_matches(backup, value.saved_name, &user);
  }
  return saved;
}

// Writes the whole backup and marks it complete, Active last, each value read
// back: the three legacy values, the Connections values named in connections
// (with the format number) and the owner. Returns 1 when the backup is
// complete and exact, 0 when not.
int save_backup(HKEY internet_settings, HKEY backup, ConnectionsBackup* connections) {
  for (const SavedValue& value : kSavedValues) {
    if (!save_user_value(internet_settings, backup, value)) return 0;
  }
  if (!connections_save(backup, connections)) return 0;
  const LauncherIdentity self = current_launcher();
  if (!registry_write_dword(backup, kOwnerIdValue, self.process_id) ||
      registry_set_value(backup, kOwnerStartValue, REG_QWORD,
                         reinterpret_cast<const BYTE*>(&self.start_time),
                         sizeof(self.start_time)) != ERROR_SUCCESS) {
    return 0;
  }
  // An exact owner record: a wrong one would let a restore outside this
  // launcher take its backup while it serves.
  DWORD process_id = 0;
  ULONGLONG start_time = 0;
  if (registry_read_dword(backup, kOwnerIdValue, &process_id) != ERROR_SUCCESS ||
      process_id != self.process_id ||
      read_qword(backup, kOwnerStartValue, &start_time) != ERROR_SUCCESS ||
      start_time != self.start_time) {
    return 0;
  }
  DWORD active = 0;
  return registry_write_dword(backup, kActiveValue, 1) &&
         registry_read_flag(backup, kActiveValue, &active) == ERROR_SUCCESS && active == 1;
}

// Writes the launcher's three values. Returns 1 when all three went in.
int write_launcher_values(HKEY internet_settings, uint16_t port) {
  char server[256];
  size_t server_bytes = settings_format_proxy_server(server, sizeof(server), port);
  wchar_t server_wide[256];
  wchar_t override_wide[sizeof(kProxyOverrideText)];
  // Both texts are ASCII; their byte counts as REG_SZ are those of the
  // 8-bit text widened.
  for (size_t i = 0; i < server_bytes; ++i) server_wide[i] = static_cast<unsigned char>(server[i]);
  for (size_t i = 0; i < sizeof(kProxyOverrideText); ++i) {
    override_wide[i] = static_cast<unsigned char>(kProxyOverrideText[i]);
  }
  return server_bytes != 0 &&
         registry_set_value(internet_settings, L"ProxyServer", REG_SZ,
                            reinterpret_cast<const BYTE*>(server_wide),
                            static_cast<DWORD>(server_bytes * sizeof(wchar_t))) == ERROR_SUCCESS &&
         registry_set_value(internet_settings, L"ProxyOverride", REG_SZ,
                            reinterpret_cast<const BYTE*>(override_wide),
                            sizeof(override_wide)) == ERROR_SUCCESS &&
         registry_write_dword(internet_settings, L"ProxyEnable", 1);
}

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

// What the backup key holds, as apply and the restores see it.
enum BackupState {
  kBackupAbsent,      // there is no backup key
  kBackupIncomplete,  // Active missing or 0: the user's values were never touched
  kBackupComplete,    // Active 1
  kBackupUnreadable,  // the key or its Active cannot be read as this program writes them
};

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

// Opens the backup key and reads its state; only a key that is not found is
// no backup.
BackupState backup_state() {
  RegistryKey backup;
  LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, KEY_READ, &backup.key);
  if (opened == ERROR_FILE_NOT_FOUND) return kBackupAbsent;
  if (opened != ERROR_SUCCESS) return kBackupUnreadable;
  return backup_state_of(backup.key);
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

// The restore itself; the caller holds the locks. Whatever fails, the backup
// and the logon's restore command stay for a later restore: they are deleted
// only once the user's values are back in full.
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
                              uint16_t port) {
  char server[256];
  if (settings_format_proxy_server(server, sizeof(server), port) == 0) return 0;
  // The legacy values after the stores: WinINet derives them from a store it
  // sets (Wine's drops ProxyOverride), and they must be exactly the launcher's.
  return connections_apply(connections, server, kProxyOverrideText) &&
         write_launcher_values(internet_settings, port);
}

// The user's values change only after the backup stands complete and exact.
ApplyOutcome backup_and_write(uint16_t port, ConnectionsBackup* connections) {
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
    return kApplyBackupFailed;
  }
  write_restore_command();
  return write_all_launcher_values(internet_settings.key, connections, port) ? kApplyWritten
                                                                             : kApplyValuesFailed;
}

int apply_locked(uint16_t port) {
  if (process_ending.load() != 0) return 0;
  // A leftover complete backup goes back first, so the backup below always
  // holds the user's own values and never the launcher's. One that stays (its
  // launcher still runs, or its restore failed) must never be overwritten, nor
  // must one that cannot be read as written: only a key that is not there, or
  // one that never became complete, may take this launcher's backup.
  restore_locked();
  const BackupState state = backup_state();
  if (state != kBackupAbsent && state != kBackupIncomplete) return 0;
  // The user's settings are not the ones programs use: nothing to change.
  if (proxy_settings_are_per_machine()) return 0;
  ConnectionsHolder connections;
  if (connections.connections == nullptr) return 0;
  // Both keys are closed again before the cleanup below opens them anew.
  switch (backup_and_write(port, connections.connections)) {
    case kApplyUntouched:
      return 0;
    case kApplyBackupFailed:
      RegDeleteTreeW(HKEY_CURRENT_USER, kProxyBackupKey);
      return 0;
    case kApplyValuesFailed:
      // Some of the launcher's values may be in force: the user's go back now.
      restore_locked();
      return 0;
    case kApplyWritten:
      break;
  }
  notify_settings_changed();
  // An apply that programs cannot see is no success: WinINet for every
  // connection and WinHTTP must report the launcher's proxy, with neither
  // automatic detection nor a setup script ahead of it.
  if (!connections_confirm(connections.connections, port)) {
    restore_locked();
    return 0;
  }
  settings_applied.exchange(1);
  return 1;
}

}  // namespace

int settings_user_object_name(wchar_t* buffer, size_t capacity, const wchar_t* base) {
  int named = 0;
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    // A TOKEN_USER with its SID; SIDs are at most 68 bytes.
    alignas(8) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    wchar_t* sid_text = nullptr;
    if (GetTokenInformation(token, TokenUser, user, sizeof(user), &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid_text)) {
      named = swprintf(buffer, capacity, L"Global\\%ls_%ls", base, sid_text) > 0;
      LocalFree(sid_text);
    }
    CloseHandle(token);
  }
  if (!named) swprintf(buffer, capacity, L"Local\\%ls", base);
  return named;
}

int settings_are_applied() {
  int32_t expected = 0;
  settings_applied.compare_exchange_strong(expected, 0);
  return expected != 0;
}

int apply_proxy_settings(uint16_t port) {
  SettingsLock lock;
  return lock.held && apply_locked(port);
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
