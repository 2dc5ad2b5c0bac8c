// The current user's WinINet proxy settings: backup, apply and restore.
//
// A complete backup (Active = 1 in the backup key) is the one token shared by
// every place that restores: whoever finds it first puts the user's values
// back and deletes it, and every later restore finds nothing. The backup names
// the launcher that wrote it (process id and creation time): a restore in any
// other process acts only once that launcher no longer runs. Apply and every
// restore run under the process's lock and a mutex of the user, so neither two
// threads nor two processes, in any session, act on the backup at once. Values
// are copied as their stored bytes (wide calls), whatever the code page.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "identity.h"
#include "proxy/proxy_context.h"
#include "settings/settings_keep.h"

// Under HKEY_CURRENT_USER.
// Texts as macros too: the settings code needs them wide (L"" ...).
#define LUMARET_INTERNET_SETTINGS_KEY \
  "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
#define LUMARET_PROXY_BACKUP_KEY "Software\\" LUMARET_IDENTITY_TOKEN "\\ProxyBackup"
#define LUMARET_RUN_ONCE_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
#define LUMARET_RUN_ONCE_VALUE LUMARET_IDENTITY_TOKEN "Restore"
constexpr char kInternetSettingsKeyPath[] = LUMARET_INTERNET_SETTINGS_KEY;
constexpr char kProxyBackupKeyPath[] = LUMARET_PROXY_BACKUP_KEY;
// While a complete backup exists, this value of the RunOnce key holds the
// restore command "\"<program path>\" --restore-watchdog 0", so that the next
// logon restores even when launcher and watchdog died together (power loss).
constexpr char kRunOnceKeyPath[] = LUMARET_RUN_ONCE_KEY;
constexpr char kRunOnceValueName[] = LUMARET_RUN_ONCE_VALUE;

// Non-zero while this process's values are in force: set by a successful
// apply as its last step, cleared by a restore that acted as its last step.
extern std::atomic<int32_t> settings_applied;

// Returns 1 when settings_applied is set, read with a compare-exchange of 0
// against 0 (a full-barrier read).
int settings_are_applied();

// Restores a leftover complete backup; then saves the user's ProxyEnable,
// ProxyServer, ProxyOverride and AutoConfigURL and every Connections value that apply may
// change (the LAN's store and its SavedLegacySettings, each VPN or dial-up
// entry's store; each with its own type and all its bytes, or as absent),
// with the format number and this launcher's identity, into the backup key,
// reads them back, marks the backup complete, writes the RunOnce restore
// command, sets every connection's store to the launcher's proxy (through
// WinINet per connection, writing the store value where WinINet does not),
// then writes the launcher's three values for port (ProxyOverride and every
// store's bypass list being bypass, an ASCII list of at most kProxyBypassMax
// characters), notifies WinINet and checks that WinINet for every connection
// and WinHTTP report the launcher's proxy with no automatic detection and no
// setup script, and WinHTTP the bypass list. settings_applied is
// set before the first of the launcher's values is written, so that every
// ending of the process restores from then on, also after a failed apply
// whose own restore failed. Returns 1 when all of it succeeded. Returns 0 when the
// user's values were left as they were: no lock, a machine policy that makes
// the proxy settings per machine, a complete backup that could not be restored
// (it is never overwritten), a backup key that exists but cannot be read as
// this program writes it (left exactly as it is: only a key that is not there,
// or whose Active is missing or 0, is no backup), a key that cannot be opened,
// or a backup value that failed (the partial backup is removed); or when one
// of the launcher's values could not be written or the check failed, after the
// user's values were restored at once. After
// restore_proxy_settings_before_exit, always returns 0 and changes nothing.
int apply_proxy_settings(uint16_t port, const char* bypass = kLauncherBypass);

// With a complete backup that this process wrote, or whose launcher no longer
// runs, or that names none (an earlier version's): reads the whole backup
// (opened for reading only), then puts each place back on its own, so that
// one that cannot be written does not stop the others: the legacy values
// first (ProxyServer, ProxyOverride, AutoConfigURL when the backup's format
// holds it, ProxyEnable last), then SavedLegacySettings (left while none of
// the legacy values could be written), then the LAN's and
// every VPN or dial-up entry's store (an entry whose value is gone is
// skipped); values the user did not have are deleted. Then deletes the backup
// key and the RunOnce restore command, notifies WinINet and clears
// settings_applied. Wherever the user's value cannot be put back, the
// launcher's proxy is switched off there (ProxyEnable 0; a store set to
// direct) and the backup stays for the next try. A saved copy that the backup
// lost is switched off likewise (ProxyEnable 0 when it is ProxyServer's or
// ProxyEnable's); everything else comes back, the backup and the command are
// deleted (Active first, on its own), and one console line names the values
// lost. While this process's values are applied and the backup it wrote is
// gone or not in the written layout, its proxy is switched off wherever it
// still stands (ProxyEnable 0 where ProxyServer is its text, the direct flag
// in each store that holds it), the command deleted, settings_applied cleared,
// and one console line says so; a place that cannot be switched off makes it
// a failed try. Changes nothing
// without a complete backup or while its launcher runs. A backup not in the
// layout this program writes (Active or a presence flag of another type, size
// or number, a presence flag missing, an owner record of another type or
// size) is left alone; any other read failure stops it before a change, as a
// failed try. Whenever a complete backup stays (a failure, its launcher still
// runs, or the lock was not had within 5 s), the RunOnce restore command is
// written again: the command that runs now may have been the last one.
// Returns 0 when a complete backup that this process may restore still stands
// after a failure or without the lock: another try later may succeed. Returns
// 1 when nothing is left for this caller: no complete backup (any more), its
// launcher still runs (that launcher restores it), or it is not in the layout
// written (no try can use it).
int restore_proxy_settings();

// For the watchdog and the logon command, once their launcher has ended: with
// no complete backup (looked at under the lock), switches the launcher's proxy
// off wherever a place holds the launcher's server text (both ports equal) for
// a port at which nothing listens on the loopback address: ProxyEnable 0 where
// ProxyServer is it, the direct flag in each Connections value that holds it.
// A proxy that still listens is left alone. Then deletes the RunOnce restore
// command, or writes it again when a place could not be switched off. Returns
// 1 when nothing of it is left on (or a complete backup stands), 0 after a
// failure or without the lock.
int switch_off_dead_local_proxy();

// Restores as restore_proxy_settings, but only while settings_applied is set;
// the flag is read under the lock, so a call that arrives while apply runs
// waits for it and then restores what it applied. For the shutdown. Returns
// as restore_proxy_settings; 1 when the flag is clear, also when the lock was
// not had.
int restore_proxy_settings_if_applied();

// For a console event or the session's end, after which Windows ends the
// process: restores as restore_proxy_settings_if_applied, and keeps any later
// apply_proxy_settings of this process from changing anything.
void restore_proxy_settings_before_exit();

// For the monitor, once a second while this launcher's values are applied:
// compares each place that apply wrote (the legacy values, the LAN's store,
// each VPN or dial-up entry's) with what it left there, as the backup records
// it. When another program changed any of them and what stands now was not
// said before (memory), prints and logs the line kOtherProgramChangedFormat
// with their names, and logs each value's old and new text. Says nothing
// without such a record (a backup of an earlier format, or none).
void proxy_settings_watch(ChangeMemory* memory);

// Reads the log path that a launcher run with --log kept in the backup, as
// UTF-8 into path (capacity bytes). Returns 1 when there is one.
int proxy_backup_log_path(char* path, size_t capacity);

// Writes "Global\\<base>_<the user's SID>" into buffer (capacity in
// characters): the name of a kernel object that every session of the current
// user shares. Returns 1; when the SID cannot be read, writes "Local\\<base>",
// which still covers this session, and returns 0.
int settings_user_object_name(wchar_t* buffer, size_t capacity, const wchar_t* base);
