// The current user's WinINet proxy settings: backup, apply and restore.
//
// A complete backup (Active = 1 in the backup key) is the one token shared by
// every place that restores: whoever finds it first puts the user's values
// back and deletes it, and every later restore finds nothing. Apply and every
// restore run under the process's lock and a mutex of the session, so neither
// two threads nor two processes act on the same backup at once.
#pragma once

#include <atomic>
#include <cstdint>

// Under HKEY_CURRENT_USER.
constexpr char kInternetSettingsKeyPath[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr char kProxyBackupKeyPath[] = "Software\\MorvoProxyLauncher\\ProxyBackup";
// While a complete backup exists, this value of the RunOnce key holds the
// restore command "\"<program path>\" --restore-watchdog 0", so that the next
// logon restores even when launcher and watchdog died together (power loss).
constexpr char kRunOnceKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
constexpr char kRunOnceValueName[] = "MorvoProxyLauncherRestore";

// Non-zero while this process's values are in force: set by a successful
// apply as its last step, cleared by a restore that acted as its last step.
extern std::atomic<int32_t> settings_applied;

// Returns 1 when settings_applied is set, read with a compare-exchange of 0
// against 0 (a full-barrier read).
int settings_are_applied();

// Restores a leftover complete backup, saves the user's ProxyEnable,
// ProxyServer and ProxyOverride (each with its own type and all its bytes) into
// the backup key, marks it complete, writes the RunOnce restore command, writes
// the launcher's values for port, notifies WinINet and sets settings_applied. Returns 1 when both keys could be
// opened (the results of single writes are not examined), 0 when nothing was
// written (apart from the leftover restore).
int apply_proxy_settings(uint16_t port);

// With a complete backup: writes the saved values back (deleting those the
// user did not have), deletes the backup key and then the RunOnce restore
// command, notifies WinINet and clears settings_applied. Without one (no key, Active missing or 0) or when the
// Internet Settings key cannot be opened for writing, changes nothing.
void restore_proxy_settings();

// Restores as restore_proxy_settings, but only while settings_applied is set;
// the flag is read under the lock, so a call that arrives while apply runs
// waits for it and then restores what it applied. For the console handler,
// the session-end window and the shutdown.
void restore_proxy_settings_if_applied();
