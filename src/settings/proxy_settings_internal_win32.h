// What the three parts of the proxy settings code share: the lock and the
// backup's owner (settings_lock_win32.cpp), backup and apply
// (proxy_settings_win32.cpp), and restore (proxy_restore_win32.cpp).
// Windows-only, internal to src/settings/.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "settings/connection_backup_win32.h"
#include "settings/proxy_settings.h"
#include "settings/registry_values_win32.h"
#include "settings/settings_keep.h"

// The key paths of proxy_settings.h for the wide calls: values are copied as
// their stored bytes, which the 8-bit calls would pass through the code page.
constexpr wchar_t kInternetSettingsKey[] = L"" LUMARET_INTERNET_SETTINGS_KEY;
constexpr wchar_t kProxyBackupKey[] = L"" LUMARET_PROXY_BACKUP_KEY;

constexpr wchar_t kActiveValue[] = L"Active";
constexpr wchar_t kLogFileValue[] = L"LogFile";

constexpr DWORD kBackupAccess = KEY_READ | KEY_WRITE;  // 0x2001F

// The port of this process's values while settings_applied is set: the
// launcher's own restore switches its proxy off there when the backup is gone.
// Written and read under the lock.
extern uint16_t applied_port;

// Set when a console event or the session's end is about to end this process:
// no apply may start after it, since nothing would restore what it writes.
extern std::atomic<int> process_ending;

// Takes the process's lock and the user's mutex. Returns 1 with both held (the
// mutex handle in *mutex, for settings_lock_release), 0 with neither.
int settings_lock_acquire(HANDLE* mutex);
void settings_lock_release(HANDLE mutex);

// Holds the process's lock and the user's mutex for its own lifetime when held
// is 1; with held 0 it holds neither. One release, on every way out.
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

struct SavedValue {
  const wchar_t* user_name;             // in the Internet Settings key
  const wchar_t* present_name;          // presence flag in the backup key
  const wchar_t* saved_name;            // saved copy in the backup key
  const wchar_t* written_present_name;  // what the launcher's apply left there (format 4)
  const wchar_t* written_name;
  uint32_t change_bit;  // kLegacy* of settings_keep.h
};

// The legacy values of the Internet Settings key in the backup. WinINet may
// rewrite or remove the setup-script URL when the per-connection settings
// change, so it is saved beside the three (from format 3 on).
constexpr SavedValue kSavedValues[] = {
    {L"ProxyEnable", L"ProxyEnablePresent", L"ProxyEnableValue", L"ProxyEnableWrittenPresent",
     L"ProxyEnableWrittenValue", kLegacyProxyEnable},
    {L"ProxyServer", L"ProxyServerPresent", L"ProxyServerValue", L"ProxyServerWrittenPresent",
     L"ProxyServerWrittenValue", kLegacyProxyServer},
    {L"ProxyOverride", L"ProxyOverridePresent", L"ProxyOverrideValue",
     L"ProxyOverrideWrittenPresent", L"ProxyOverrideWrittenValue", kLegacyProxyOverride},
    {L"AutoConfigURL", L"AutoConfigURLPresent", L"AutoConfigURLValue",
     L"AutoConfigURLWrittenPresent", L"AutoConfigURLWrittenValue", kLegacyAutoConfigUrl},
};
constexpr int kSavedValueCount = 4;
// A backup of an earlier format holds the first three.
constexpr int kEarlierFormatSavedValueCount = 3;
constexpr int kProxyEnableIndex = 0;
constexpr int kProxyServerIndex = 1;

// What the launcher's apply left in one legacy value, as format 4 of the
// backup records it.
struct WrittenValue {
  DWORD present = 0;
  StoredValue value;
};

// Reads the record of saved from the backup. Returns ERROR_SUCCESS or the
// read's error.
LONG written_value_read(HKEY backup, const SavedValue& saved, WrittenValue* written);

// What a restore puts back for one value, read whole before anything changes.
struct RestorePlan {
  DWORD present;
  LONG saved_result;  // ERROR_SUCCESS: saved holds the value to write back
  StoredValue saved;
};

// The legacy values that another program changed since apply: each of the
// kSavedValues (written, in their order) against what the Internet Settings
// key holds now, by meaning (texts up to their first NUL, anything else by
// type and bytes; a ProxyServer that is the launcher's loopback proxy counts
// as the launcher's, and so does an AutoConfigURL that is gone, since WinINet
// may remove it to match the launcher's stores). With plans (a restore's),
// a value that holds the
// user's own again is no change either: an earlier try of the restore may
// have put it back. A value that cannot be read now counts as unchanged.
// Returns the kLegacy* bits.
uint32_t legacy_changes(HKEY internet_settings, const WrittenValue* written,
                        const RestorePlan* plans);

// Appends the names of the legacy values in changed (kLegacy* bits) to names.
void legacy_names_add(char* names, size_t capacity, uint32_t changed);

// Returns 1 for a read result that says the backup does not hold the layout
// this program writes (a value missing, or of another type, size or number):
// reading it again cannot help, so the backup is left alone for good.
int is_layout_error(LONG result);

// What a restore made of the backup.
enum RestoreOutcome {
  kRestoreNoBackup,     // none, or an incomplete one: the user's values were never touched
  kRestoreDone,         // the user's values are back; backup and command deleted
  kRestoreOwnerRuns,    // the launcher that wrote it still runs: it is that launcher's
  kRestoreUnreadable,   // not the layout this program writes: left alone for good
  kRestoreFailed,       // a registry call failed: the backup stands for a later restore
  kRestoreSwitchedOff,  // this process's backup was gone or damaged: its proxy is off instead
};

// The outcome of a restore stopped by a failed read of the backup.
RestoreOutcome restore_stopped_by(LONG read_result);

// Writes this process's identity (process id and creation time) into the
// backup as its owner and reads it back. Returns 1 when it stands exactly.
int backup_write_owner(HKEY backup);

// Decides whether a restore of this process may act on the backup: when this
// process wrote it, when its writer no longer runs, or when it names no writer
// (written by an earlier version: a leftover). Returns 1 to act; 0 to leave
// it, with the reason in *stop (kRestoreOwnerRuns, or the record unreadable).
int owner_allows_restore(HKEY backup, RestoreOutcome* stop);

// Has the next logon run "\"<program path>\" --restore-watchdog 0": the
// watchdog mode with no process to wait for restores at once. Without the
// program's full path, or when the command is too long to be run, there is no
// entry and the next launch is the one that restores.
void write_restore_command();
void delete_restore_command();

// Keeps the open log's full path in the backup (kLogFileValue), so that the
// watchdog and the logon's restore command add their lines to the same file.
// Nothing without a log; a failed write only costs those lines.
void backup_write_log_path(HKEY backup);

// WinINet, and the programs that use it, reread the settings: proxy settings
// changed (95), settings changed (39), refresh (37).
void notify_settings_changed();

// What the backup key holds, as apply and the restores see it.
enum BackupState {
  kBackupAbsent,      // there is no backup key
  kBackupIncomplete,  // Active missing or 0: the user's values were never touched
  kBackupComplete,    // Active 1
  kBackupUnreadable,  // Active of another type, size or number: not this program's layout
  kBackupReadFailed,  // the key or its Active could not be read now: try again later
};

// Opens the backup key and reads its state; only a key that is not found is
// no backup.
BackupState backup_state();

// Deletes the backup key: Active first, on its own, then the whole tree, so
// that a tree deletion that fails part of the way leaves an incomplete backup,
// never presence flags without their copies that a later restore would take
// for lost and switch the user's proxy off for. Returns 1 when no complete
// backup is left (the key was not there, or Active is gone; a tree that stays
// is logged, and the next apply reuses it), 0 when Active could not be deleted.
int backup_delete();

// Which of the launcher's loopback proxies a switch-off takes for the
// launcher's: with own_port not 0, the one at own_port (this process's, which
// still serves); with own_port 0, one at a port where nothing listens on the
// loopback address now (its launcher has ended; another local proxy that
// writes the same form of text is left alone). Looks at each port once.
struct LocalProxyFilter {
  uint16_t own_port;
  uint16_t looked_at_port;  // 0 until a port was looked at
  int looked_at_is_dead;
};

// Returns 1 when the filter takes the loopback proxy at port for the launcher's.
int local_proxy_filter_takes(LocalProxyFilter* filter, uint16_t port);

// Appends name to text (capacity bytes), ", " between names; characters
// outside ASCII show as '?'.
void place_names_add(char* text, size_t capacity, const wchar_t* name);

// The restore itself; the caller holds the locks. Whatever fails, the backup
// and the logon's restore command stay for a later restore: they are deleted
// only once the user's values are back in full.
RestoreOutcome restore_locked();
