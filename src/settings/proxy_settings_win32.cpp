#include "settings/proxy_settings.h"

// wininet.h is only for the change notifications; it must not meet winhttp.h
// in one translation unit.
#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <cstring>

#include "settings/settings_text.h"

std::atomic<int32_t> settings_applied{0};

namespace {

// Holds apply and every restore of this process apart: the console handler's
// and the session-end window's threads may restore while the main thread
// applies or restores.
SRWLOCK settings_lock = SRWLOCK_INIT;

// Holds them apart across the processes of the session too: the logon's
// RunOnce restore may run while a launcher started at logon restores the same
// leftover, and a restore that opened the backup just before another deleted
// it would read its presence flags as 0 and delete the user's values.
constexpr char kSettingsMutexName[] = "Local\\MorvoProxyLauncherSettings";
// A holder keeps the mutex for a few registry calls; one that hangs must not
// keep a restore from happening, so a waiter goes on after this limit.
constexpr DWORD kSettingsMutexWaitMs = 5000;

// Takes settings_lock and the session's mutex. Returns the mutex handle when
// it is owned (for settings_lock_release), nullptr when it could not be had.
HANDLE settings_lock_acquire() {
  AcquireSRWLockExclusive(&settings_lock);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kSettingsMutexName);
  if (mutex == nullptr) return nullptr;
  // WAIT_ABANDONED: its holder died inside a restore, which the next restore
  // repeats from the backup; the mutex is owned all the same.
  DWORD waited = WaitForSingleObject(mutex, kSettingsMutexWaitMs);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return nullptr;
  }
  return mutex;
}

void settings_lock_release(HANDLE mutex) {
  if (mutex != nullptr) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  }
  ReleaseSRWLockExclusive(&settings_lock);
}

constexpr DWORD kApplyInternetSettingsAccess = KEY_READ | KEY_SET_VALUE;  // 0x2001B
constexpr DWORD kBackupAccess = KEY_READ | KEY_WRITE;                     // 0x2001F
constexpr size_t kStackValueBytes = 2048;
constexpr char kProxyOverrideText[] = "<local>;localhost;127.0.0.1";

struct SavedValue {
  const char* user_name;      // in the Internet Settings key
  const char* present_name;   // presence flag in the backup key
  const char* saved_name;     // saved copy in the backup key
};

constexpr SavedValue kProxyEnable = {"ProxyEnable", "ProxyEnablePresent", "ProxyEnableValue"};
constexpr SavedValue kProxyServer = {"ProxyServer", "ProxyServerPresent", "ProxyServerValue"};
constexpr SavedValue kProxyOverride = {"ProxyOverride", "ProxyOverridePresent",
                                       "ProxyOverrideValue"};

void write_dword(HKEY key, const char* name, DWORD value) {
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

DWORD read_dword_or_zero(HKEY key, const char* name) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
  return value;
}

// Copies the value from_name of from to to_name of to with its registry type
// and exactly its bytes, whatever their count: a value that fits the stack
// buffer is read there, a larger one into a heap buffer of the size the
// registry reports. Returns 1 when the value was read (the write is not
// examined), 0 when it is missing or cannot be read.
int copy_registry_value(HKEY from, const char* from_name, HKEY to, const char* to_name) {
  BYTE stack_buffer[kStackValueBytes];
  DWORD type = 0;
  DWORD size = sizeof(stack_buffer);
  LONG result = RegQueryValueExA(from, from_name, nullptr, &type, stack_buffer, &size);
  if (result == ERROR_SUCCESS) {
    RegSetValueExA(to, to_name, 0, type, stack_buffer, size);
    return 1;
  }
  // A value changed by someone else between the size query and the read may
  // have grown; a few rounds settle it.
  for (int attempt = 0; attempt < 4 && result == ERROR_MORE_DATA; ++attempt) {
    DWORD needed = 0;
    result = RegQueryValueExA(from, from_name, nullptr, &type, nullptr, &needed);
    if (result != ERROR_SUCCESS) return 0;
    BYTE* heap_buffer = static_cast<BYTE*>(malloc(needed > 0 ? needed : 1));
    if (heap_buffer == nullptr) return 0;
    size = needed;
    result = RegQueryValueExA(from, from_name, nullptr, &type, heap_buffer, &size);
    if (result == ERROR_SUCCESS) RegSetValueExA(to, to_name, 0, type, heap_buffer, size);
    free(heap_buffer);
    if (result == ERROR_SUCCESS) return 1;
  }
  return 0;
}

// Windows runs RunOnce command lines of at most 260 characters.
constexpr size_t kRunOnceCommandCapacity = 261;

// Has the next logon run "\"<program path>\" --restore-watchdog 0": the
// watchdog mode with no process to wait for restores at once. Without the
// program's full path, or when the command is too long to be run, there is no
// entry and the next launch is the one that restores.
void write_restore_command() {
  char path[260];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
  if (length == 0 || length >= sizeof(path)) return;
  char command_line[kRunOnceCommandCapacity];
  if (!watchdog_format_command_line(command_line, sizeof(command_line), path, 0)) return;
  HKEY run_once = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kRunOnceKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, &run_once, nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExA(run_once, kRunOnceValueName, 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(command_line),
                 static_cast<DWORD>(strlen(command_line) + 1));
  RegCloseKey(run_once);
}

void delete_restore_command() {
  HKEY run_once = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunOnceKeyPath, 0, KEY_SET_VALUE, &run_once) !=
      ERROR_SUCCESS) {
    return;
  }
  RegDeleteValueA(run_once, kRunOnceValueName);
  RegCloseKey(run_once);
}

void notify_settings_changed() {
  InternetSetOptionA(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
  InternetSetOptionA(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
}

void save_user_value(HKEY internet_settings, HKEY backup, const SavedValue& value) {
  int present = copy_registry_value(internet_settings, value.user_name, backup, value.saved_name);
  write_dword(backup, value.present_name, present ? 1 : 0);
}

// Puts one saved value back, or deletes the user's value when they had none.
// A saved string that cannot be read leaves the user's value as it is; a saved
// ProxyEnable that cannot be read turns the proxy off, which never cuts the
// user off the network.
void restore_user_value(HKEY backup, HKEY internet_settings, const SavedValue& value,
                        int disable_when_unreadable) {
  if (read_dword_or_zero(backup, value.present_name) == 0) {
    RegDeleteValueA(internet_settings, value.user_name);
    return;
  }
  if (!copy_registry_value(backup, value.saved_name, internet_settings, value.user_name) &&
      disable_when_unreadable) {
    write_dword(internet_settings, value.user_name, 0);
  }
}

// The restore itself; the caller holds the locks.
void restore_locked() {
  HKEY backup = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kProxyBackupKeyPath, 0, kBackupAccess, &backup) !=
      ERROR_SUCCESS) {
    return;
  }
  DWORD active = 0;
  DWORD size = sizeof(active);
  if (RegQueryValueExA(backup, "Active", nullptr, nullptr, reinterpret_cast<BYTE*>(&active),
                       &size) != ERROR_SUCCESS ||
      active == 0) {
    // An incomplete backup: the user's values were never touched.
    RegCloseKey(backup);
    return;
  }
  HKEY internet_settings = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettingsKeyPath, 0, KEY_SET_VALUE,
                    &internet_settings) != ERROR_SUCCESS) {
    // The complete backup stays for a later attempt.
    RegCloseKey(backup);
    return;
  }
  restore_user_value(backup, internet_settings, kProxyEnable, 1);
  restore_user_value(backup, internet_settings, kProxyServer, 0);
  restore_user_value(backup, internet_settings, kProxyOverride, 0);
  RegCloseKey(internet_settings);
  RegCloseKey(backup);
  RegDeleteTreeA(HKEY_CURRENT_USER, kProxyBackupKeyPath);
  // After the backup: a restore cut short between the two leaves a command
  // that finds nothing to restore, never a backup without its command.
  delete_restore_command();
  notify_settings_changed();
  settings_applied.exchange(0);
}

int apply_locked(uint16_t port) {
  // A leftover complete backup goes back first, so the backup below always
  // holds the user's own values and never the launcher's.
  restore_locked();
  HKEY internet_settings = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettingsKeyPath, 0, kApplyInternetSettingsAccess,
                    &internet_settings) != ERROR_SUCCESS) {
    return 0;
  }
  HKEY backup = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kProxyBackupKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      kBackupAccess, nullptr, &backup, nullptr) != ERROR_SUCCESS) {
    RegCloseKey(internet_settings);
    return 0;
  }
  save_user_value(internet_settings, backup, kProxyEnable);
  save_user_value(internet_settings, backup, kProxyServer);
  save_user_value(internet_settings, backup, kProxyOverride);
  // Only a complete backup is ever restored, so the user's values change only
  // after Active and the logon's restore command stand.
  write_dword(backup, "Active", 1);
  write_restore_command();

  char server[256];
  size_t server_bytes = settings_format_proxy_server(server, sizeof(server), port);
  RegSetValueExA(internet_settings, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server),
                 static_cast<DWORD>(server_bytes));
  RegSetValueExA(internet_settings, "ProxyOverride", 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(kProxyOverrideText), sizeof(kProxyOverrideText));
  write_dword(internet_settings, "ProxyEnable", 1);
  RegCloseKey(backup);
  RegCloseKey(internet_settings);
  notify_settings_changed();
  settings_applied.exchange(1);
  return 1;
}

}  // namespace

int settings_are_applied() {
  int32_t expected = 0;
  settings_applied.compare_exchange_strong(expected, 0);
  return expected != 0;
}

int apply_proxy_settings(uint16_t port) {
  HANDLE mutex = settings_lock_acquire();
  int applied = apply_locked(port);
  settings_lock_release(mutex);
  return applied;
}

void restore_proxy_settings() {
  HANDLE mutex = settings_lock_acquire();
  restore_locked();
  settings_lock_release(mutex);
}

void restore_proxy_settings_if_applied() {
  HANDLE mutex = settings_lock_acquire();
  if (settings_are_applied()) restore_locked();
  settings_lock_release(mutex);
}
