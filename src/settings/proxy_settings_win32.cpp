#include "settings/proxy_settings.h"

#include <windows.h>
#include <sddl.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "proxy/proxy_context.h"
#include "settings/connection_backup_win32.h"
#include "settings/registry_fault.h"
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

constexpr DWORD kApplyInternetSettingsAccess = KEY_READ | KEY_SET_VALUE;  // 0x2001B
constexpr DWORD kBackupAccess = KEY_READ | KEY_WRITE;                     // 0x2001F
constexpr size_t kStackValueBytes = 2048;
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

// The three registry calls on values, each behind the tests' fault seam.
LONG query_value(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) {
  LONG fault = registry_fault(kRegistryQuery, name);
  if (fault != 0) return fault;
  return RegQueryValueExW(key, name, nullptr, type, data, size);
}

LONG set_value(HKEY key, const wchar_t* name, DWORD type, const BYTE* data, DWORD size) {
  LONG fault = registry_fault(kRegistrySet, name);
  if (fault != 0) return fault;
  return RegSetValueExW(key, name, 0, type, data, size);
}

// Deleting a value that is not there is no failure.
int delete_value(HKEY key, const wchar_t* name) {
  LONG result = registry_fault(kRegistryDelete, name);
  if (result == 0) result = RegDeleteValueW(key, name);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

int write_dword(HKEY key, const wchar_t* name, DWORD value) {
  return set_value(key, name, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
         ERROR_SUCCESS;
}

// Reads a 4-byte value into *value. Returns the registry's result: a value
// that is missing gives ERROR_FILE_NOT_FOUND, a longer one ERROR_MORE_DATA.
LONG read_dword(HKEY key, const wchar_t* name, DWORD* value) {
  *value = 0;
  DWORD size = sizeof(*value);
  LONG result = query_value(key, name, nullptr, reinterpret_cast<BYTE*>(value), &size);
  if (result == ERROR_SUCCESS && size != sizeof(*value)) return ERROR_INVALID_DATA;
  return result;
}

// One registry value as stored: its type and exactly its bytes, in the stack
// buffer when they fit, else on the heap. Not to be copied: data may point
// into it.
struct StoredValue {
  DWORD type;
  DWORD size;
  BYTE* data;
  BYTE stack_bytes[kStackValueBytes];
};

void stored_value_release(StoredValue* value) {
  if (value->data != nullptr && value->data != value->stack_bytes) free(value->data);
  value->data = nullptr;
}

// Reads name of key into *value, whatever its size. Returns ERROR_SUCCESS (the
// caller then releases *value) or the registry's error, ERROR_FILE_NOT_FOUND
// when there is no such value.
LONG stored_value_read(HKEY key, const wchar_t* name, StoredValue* value) {
  value->data = value->stack_bytes;
  value->size = sizeof(value->stack_bytes);
  LONG result = query_value(key, name, &value->type, value->data, &value->size);
  // A value changed by someone else between the size query and the read may
  // have grown; a few rounds settle it.
  for (int attempt = 0; attempt < 4 && result == ERROR_MORE_DATA; ++attempt) {
    stored_value_release(value);
    DWORD needed = 0;
    result = query_value(key, name, &value->type, nullptr, &needed);
    if (result != ERROR_SUCCESS) break;
    value->data = static_cast<BYTE*>(malloc(needed > 0 ? needed : 1));
    if (value->data == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    value->size = needed;
    result = query_value(key, name, &value->type, value->data, &value->size);
  }
  if (result != ERROR_SUCCESS) stored_value_release(value);
  return result;
}

int stored_value_write(HKEY key, const wchar_t* name, const StoredValue* value) {
  return set_value(key, name, value->type, value->data, value->size) == ERROR_SUCCESS;
}

// Returns 1 when name of key holds exactly the type and bytes of expected.
int stored_value_matches(HKEY key, const wchar_t* name, const StoredValue* expected) {
  StoredValue stored;
  if (stored_value_read(key, name, &stored) != ERROR_SUCCESS) return 0;
  int same = stored.type == expected->type && stored.size == expected->size &&
             memcmp(stored.data, expected->data, stored.size) == 0;
  stored_value_release(&stored);
  return same;
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
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                               owner.process_id);
  if (process == nullptr) return 0;
  ULONGLONG start_time = 0;
  // Windows keeps an ended process openable while someone holds a handle to it.
  int running = process_start_time(process, &start_time) && start_time == owner.start_time &&
                WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

// Decides whether a restore of this process may act on the backup: when this
// process wrote it, when its writer no longer runs, or when it names no writer
// (written by an earlier version: a leftover). Returns 1 to act, 0 to leave it,
// also when the record cannot be read.
int owner_allows_restore(HKEY backup) {
  DWORD process_id = 0;
  LONG id_result = read_dword(backup, kOwnerIdValue, &process_id);
  ULONGLONG start_time = 0;
  DWORD size = sizeof(start_time);
  LONG start_result =
      query_value(backup, kOwnerStartValue, nullptr, reinterpret_cast<BYTE*>(&start_time), &size);
  if (start_result == ERROR_SUCCESS && size != sizeof(start_time)) start_result = ERROR_INVALID_DATA;
  if (id_result == ERROR_FILE_NOT_FOUND || start_result == ERROR_FILE_NOT_FOUND) return 1;
  if (id_result != ERROR_SUCCESS || start_result != ERROR_SUCCESS) return 0;
  const LauncherIdentity owner = {process_id, start_time};
  const LauncherIdentity self = current_launcher();
  if (owner.process_id == self.process_id && owner.start_time == self.start_time) return 1;
  return !launcher_is_running(owner);
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
  HKEY run_once = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunOnceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, &run_once, nullptr) != ERROR_SUCCESS) {
    return;
  }
  set_value(run_once, kRunOnceValue, REG_SZ, reinterpret_cast<const BYTE*>(command_line),
            static_cast<DWORD>((wcslen(command_line) + 1) * sizeof(wchar_t)));
  RegCloseKey(run_once);
}

void delete_restore_command() {
  HKEY run_once = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunOnceKey, 0, KEY_SET_VALUE, &run_once) !=
      ERROR_SUCCESS) {
    return;
  }
  delete_value(run_once, kRunOnceValue);
  RegCloseKey(run_once);
}

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
  int saved = write_dword(backup, value.present_name, present) &&
              read_dword(backup, value.present_name, &flag) == ERROR_SUCCESS && flag == present;
  if (present) {
    saved = saved && stored_value_write(backup, value.saved_name, &user) &&
            stored_value_matches(backup, value.saved_name, &user);
    stored_value_release(&user);
  }
  return saved;
}

// Writes the whole backup and marks it complete, Active last, each value read
// back: the three legacy values, the Connections values named in connections
// and the owner. Returns 1 when the backup is complete and exact, 0 when not.
int save_backup(HKEY internet_settings, HKEY backup, ConnectionsBackup* connections) {
  for (const SavedValue& value : kSavedValues) {
    if (!save_user_value(internet_settings, backup, value)) return 0;
  }
  if (!connections_save(backup, connections)) return 0;
  const LauncherIdentity self = current_launcher();
  if (!write_dword(backup, kOwnerIdValue, self.process_id) ||
      set_value(backup, kOwnerStartValue, REG_QWORD, reinterpret_cast<const BYTE*>(&self.start_time),
                sizeof(self.start_time)) != ERROR_SUCCESS) {
    return 0;
  }
  // An exact owner record: a wrong one would let a restore outside this
  // launcher take its backup while it serves.
  DWORD process_id = 0;
  ULONGLONG start_time = 0;
  DWORD size = sizeof(start_time);
  if (read_dword(backup, kOwnerIdValue, &process_id) != ERROR_SUCCESS ||
      process_id != self.process_id ||
      query_value(backup, kOwnerStartValue, nullptr, reinterpret_cast<BYTE*>(&start_time), &size) !=
          ERROR_SUCCESS ||
      size != sizeof(start_time) || start_time != self.start_time) {
    return 0;
  }
  DWORD active = 0;
  return write_dword(backup, kActiveValue, 1) &&
         read_dword(backup, kActiveValue, &active) == ERROR_SUCCESS && active == 1;
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
         set_value(internet_settings, L"ProxyServer", REG_SZ,
                   reinterpret_cast<const BYTE*>(server_wide),
                   static_cast<DWORD>(server_bytes * sizeof(wchar_t))) == ERROR_SUCCESS &&
         set_value(internet_settings, L"ProxyOverride", REG_SZ,
                   reinterpret_cast<const BYTE*>(override_wide), sizeof(override_wide)) ==
             ERROR_SUCCESS &&
         write_dword(internet_settings, L"ProxyEnable", 1);
}

// What a restore puts back for one value, read whole before anything changes.
struct RestorePlan {
  DWORD present;
  LONG saved_result;  // ERROR_SUCCESS: saved holds the value to write back
  StoredValue saved;
};

// Reads the presence flag and the saved copy of one value. Returns 0 on any
// error but a missing value: then nothing may be restored.
int plan_read(HKEY backup, const SavedValue& value, RestorePlan* plan) {
  plan->saved_result = ERROR_FILE_NOT_FOUND;
  LONG flag = read_dword(backup, value.present_name, &plan->present);
  if (flag != ERROR_SUCCESS && flag != ERROR_FILE_NOT_FOUND) return 0;
  if (plan->present == 0) return 1;
  plan->saved_result = stored_value_read(backup, value.saved_name, &plan->saved);
  return plan->saved_result == ERROR_SUCCESS || plan->saved_result == ERROR_FILE_NOT_FOUND;
}

// Puts one value back, or deletes the user's value when they had none. A saved
// string that is missing leaves the user's value as it is; a saved ProxyEnable
// that is missing turns the proxy off, which never cuts the user off the
// network. Returns 1 when the write or deletion succeeded.
int plan_apply(HKEY internet_settings, const SavedValue& value, const RestorePlan& plan,
               int disable_when_missing) {
  if (plan.present == 0) return delete_value(internet_settings, value.user_name);
  if (plan.saved_result == ERROR_SUCCESS) {
    return stored_value_write(internet_settings, value.user_name, &plan.saved);
  }
  return disable_when_missing ? write_dword(internet_settings, value.user_name, 0) : 1;
}

// Puts the saved values back, the backup still standing: the Connections
// values first, the three legacy values last, so that theirs are exactly the
// user's bytes whatever WinINet derives from the store. Returns 1 when every
// write and deletion succeeded.
int restore_values(HKEY backup) {
  RestorePlan plans[3];
  int planned = 0;
  int restored = 0;
  ConnectionsBackup* connections = connections_new();
  int connections_planned = connections != nullptr && connections_read(backup, connections);
  while (connections_planned && planned < 3 &&
         plan_read(backup, kSavedValues[planned], &plans[planned])) {
    ++planned;
  }
  if (planned == 3) {
    HKEY internet_settings = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0, KEY_SET_VALUE,
                      &internet_settings) == ERROR_SUCCESS) {
      restored = connections_put_back(connections);
      for (int i = 0; i < 3 && restored; ++i) {
        restored = plan_apply(internet_settings, kSavedValues[i], plans[i], i == kProxyEnableIndex);
      }
      RegCloseKey(internet_settings);
      // Even a restore cut short has written something WinINet must reread.
      notify_settings_changed();
    }
  }
  // A plan whose read failed released its buffer already.
  for (int i = 0; i < planned; ++i) {
    if (plans[i].present != 0 && plans[i].saved_result == ERROR_SUCCESS) {
      stored_value_release(&plans[i].saved);
    }
  }
  connections_free(connections);
  return restored;
}

// Returns 1 when a complete backup (Active = 1) stands.
int backup_is_complete() {
  HKEY backup = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, KEY_READ, &backup) != ERROR_SUCCESS) {
    return 0;
  }
  DWORD active = 0;
  int complete = read_dword(backup, kActiveValue, &active) == ERROR_SUCCESS && active != 0;
  RegCloseKey(backup);
  return complete;
}

// The restore itself; the caller holds the locks. Whatever fails, the backup
// and the logon's restore command stay for a later restore: they are deleted
// only once the user's values are back in full.
void restore_locked() {
  HKEY backup = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, kBackupAccess, &backup) !=
      ERROR_SUCCESS) {
    return;
  }
  DWORD active = 0;
  // An incomplete backup: the user's values were never touched.
  int act = read_dword(backup, kActiveValue, &active) == ERROR_SUCCESS && active != 0 &&
            owner_allows_restore(backup) && restore_values(backup);
  RegCloseKey(backup);
  if (!act) return;
  if (RegDeleteTreeW(HKEY_CURRENT_USER, kProxyBackupKey) != ERROR_SUCCESS) return;
  // After the backup: a restore cut short between the two leaves a command
  // that finds nothing to restore, never a backup without its command.
  delete_restore_command();
  settings_applied.exchange(0);
}

// The launcher's values everywhere: each connection's store, then the three
// legacy values, then the notifications. Returns 1 when all were written.
int apply_values(HKEY internet_settings, const ConnectionsBackup* connections, uint16_t port) {
  char server[256];
  if (settings_format_proxy_server(server, sizeof(server), port) == 0) return 0;
  // Written after the stores: WinINet derives the legacy values from a store
  // it sets, and they must be exactly the launcher's.
  int written = connections_apply(connections, server, kProxyOverrideText) &&
                write_launcher_values(internet_settings, port);
  notify_settings_changed();
  return written;
}

int apply_locked(uint16_t port) {
  if (process_ending.load() != 0) return 0;
  // The user's settings are not the ones programs use: nothing to change.
  if (proxy_settings_are_per_machine()) return 0;
  // A leftover complete backup goes back first, so the backup below always
  // holds the user's own values and never the launcher's. One that stays (its
  // launcher still runs, or its restore failed) must never be overwritten.
  restore_locked();
  if (backup_is_complete()) return 0;
  HKEY internet_settings = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0, kApplyInternetSettingsAccess,
                    &internet_settings) != ERROR_SUCCESS) {
    return 0;
  }
  HKEY backup = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      kBackupAccess, nullptr, &backup, nullptr) != ERROR_SUCCESS) {
    RegCloseKey(internet_settings);
    return 0;
  }
  ConnectionsBackup* connections = connections_new();
  // The user's values change only after the backup stands complete and exact.
  if (connections == nullptr || !connections_list(connections) ||
      !save_backup(internet_settings, backup, connections)) {
    connections_free(connections);
    RegCloseKey(backup);
    RegCloseKey(internet_settings);
    RegDeleteTreeW(HKEY_CURRENT_USER, kProxyBackupKey);
    return 0;
  }
  write_restore_command();
  int written = apply_values(internet_settings, connections, port);
  RegCloseKey(backup);
  RegCloseKey(internet_settings);
  // An apply that programs cannot see is no success: every view an app may
  // read must report the launcher's proxy, with no detection or script first.
  if (!written || !connections_confirm(connections, port)) {
    connections_free(connections);
    // Some of the launcher's values may be in force: the user's go back now.
    restore_locked();
    return 0;
  }
  connections_free(connections);
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
  HANDLE mutex = nullptr;
  if (!settings_lock_acquire(&mutex)) return 0;
  int applied = apply_locked(port);
  settings_lock_release(mutex);
  return applied;
}

void restore_proxy_settings() {
  HANDLE mutex = nullptr;
  if (!settings_lock_acquire(&mutex)) return;
  restore_locked();
  settings_lock_release(mutex);
}

void restore_proxy_settings_if_applied() {
  HANDLE mutex = nullptr;
  if (!settings_lock_acquire(&mutex)) return;
  if (settings_are_applied()) restore_locked();
  settings_lock_release(mutex);
}

void restore_proxy_settings_before_exit() {
  HANDLE mutex = nullptr;
  int locked = settings_lock_acquire(&mutex);
  // Set even without the lock: an apply that starts later must see it.
  process_ending.store(1);
  if (!locked) return;
  if (settings_are_applied()) restore_locked();
  settings_lock_release(mutex);
}
