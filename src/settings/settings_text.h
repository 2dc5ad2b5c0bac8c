// The texts of the settings subsystem that need no registry and no process:
// the ProxyServer value, the watchdog command line and the console events that
// restore. Portable, so they are tested natively.
#pragma once

#include <cstddef>
#include <cstdint>

// The console line of an apply that could not list the VPN and dial-up
// entries: it goes on with the LAN alone.
constexpr char kRasEntriesUnreadableLine[] =
    "VPN and dial-up connections could not be listed: they keep their own proxy settings for "
    "this run, and only the LAN connection uses the local proxy.";
// The console line of a restore that found saved copies missing from the
// backup, followed by their names: the launcher's proxy is switched off there.
constexpr char kLostCopiesLine[] =
    "These saved proxy settings were missing from the backup and could not be restored; the "
    "local proxy is switched off there instead: ";

// The line said when another program changed the proxy settings during the
// run; takes the names of what changed: the legacy values, then "LAN
// connection", then "connection \"NAME\"" for each VPN or dial-up entry.
constexpr char kOtherProgramChangedFormat[] =
    "Another program changed the Windows proxy settings during the run: %s. Apps that follow "
    "them may no longer use the local proxy.";
// The line of a restore that left another program's values as they stand.
constexpr char kKeptOtherProgramFormat[] = "Kept what another program set during the run: %s.";

// The program's own path is taken into this many characters; a path that
// fills them (260 or more) is refused rather than cut.
constexpr size_t kProgramPathCapacity = 260;
// The watchdog's command line always fits: the longest path, two quotes, the
// option with its blanks (20) and the largest process id (10), and a NUL.
constexpr size_t kWatchdogCommandCapacity = 388;
// Windows runs RunOnce command lines of at most 260 characters.
constexpr size_t kRunOnceCommandCapacity = 261;

// Formats "http=127.0.0.1:<port>;https=127.0.0.1:<port>" into buffer. Returns
// the byte count to store as a REG_SZ (text length + 1, the terminating NUL),
// or 0 when the text does not fit capacity (buffer then holds no text).
size_t settings_format_proxy_server(char* buffer, size_t capacity, uint16_t port);

// Returns 1 when text (length bytes, no terminator needed) is exactly what
// settings_format_proxy_server writes for a port of 1 to 65535, with that port
// in *port; 0 for any other text (another form, two different ports, a
// leading zero, anything before or after).
int settings_parse_proxy_server(const char* text, size_t length, uint16_t* port);

// The console line of the launcher's own restore when the backup it wrote was
// deleted or damaged while it served: its proxy was switched off instead.
constexpr char kBackupRemovedLine[] =
    "The backup of the previous Windows proxy settings was removed during the run; the local "
    "proxy is switched off instead.";

// Formats the watchdog's command line "\"<program_path>\" --restore-watchdog
// <process_id>" into buffer, in wide characters: the program's path may hold
// characters that no 8-bit code page has. capacity counts characters, the
// terminating NUL included. Returns 1 when it fit, 0 when not (buffer then
// holds no text).
int watchdog_format_command_line(wchar_t* buffer, size_t capacity, const wchar_t* program_path,
                                 unsigned long process_id);

// Returns 1 for the console control types after which the user's settings are
// restored (Ctrl+C 0, Ctrl+Break 1, console closed 2, system shutdown 6), 0 for
// every other type, logoff (5) included.
int console_event_restores(unsigned long control_type);
