#include <windows.h>
#include <sddl.h>

#include <cwchar>

#include "settings/proxy_settings_internal_win32.h"
#include "settings/registry_values_win32.h"
#include "settings/settings_text.h"

std::atomic<int> process_ending{0};

namespace {

constexpr wchar_t kRunOnceKey[] = L"" LUMARET_RUN_ONCE_KEY;
constexpr wchar_t kRunOnceValue[] = L"" LUMARET_RUN_ONCE_VALUE;

// The launcher that wrote a backup: its process id and its creation time, so
// that a restore outside it can tell whether it still runs, and a process that
// was later given the same id is not taken for it.
constexpr wchar_t kOwnerIdValue[] = L"LauncherProcessId";
constexpr wchar_t kOwnerStartValue[] = L"LauncherStartTime";

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

// Reads the owner's start time, a REG_QWORD of 8 bytes. Returns as registry_read_dword.
LONG read_qword(HKEY key, const wchar_t* name, ULONGLONG* value) {
  return registry_read_fixed(key, name, REG_QWORD, value, sizeof(*value));
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

}  // namespace

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

int is_layout_error(LONG result) {
  return result == ERROR_FILE_NOT_FOUND || result == ERROR_MORE_DATA ||
         result == ERROR_INVALID_DATA;
}

RestoreOutcome restore_stopped_by(LONG read_result) {
  return is_layout_error(read_result) ? kRestoreUnreadable : kRestoreFailed;
}

int backup_write_owner(HKEY backup) {
  const LauncherIdentity self = current_launcher();
  if (!registry_write_dword(backup, kOwnerIdValue, self.process_id) ||
      registry_set_value(backup, kOwnerStartValue, REG_QWORD,
                         reinterpret_cast<const BYTE*>(&self.start_time),
                         sizeof(self.start_time)) != ERROR_SUCCESS) {
    return 0;
  }
  DWORD process_id = 0;
  ULONGLONG start_time = 0;
  if (registry_read_dword(backup, kOwnerIdValue, &process_id) != ERROR_SUCCESS ||
      process_id != self.process_id ||
      read_qword(backup, kOwnerStartValue, &start_time) != ERROR_SUCCESS ||
      start_time != self.start_time) {
    return 0;
  }
  return 1;
}

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

void notify_settings_changed() { connection_store_notify(); }

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
