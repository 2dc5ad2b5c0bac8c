// The ways the user's proxy settings come back however the launcher ends:
// the console control handler, the session-end window, the watchdog process,
// and the one-launcher-per-session guard that keeps a second launcher from
// restoring the running one's backup.
#pragma once

#include "identity.h"

// The console control handler (a Windows HandlerRoutine): for Ctrl+C,
// Ctrl+Break, the console's close and system shutdown (0, 1, 2, 6) restores
// while settings_applied is set, and no apply starts after it; always returns
// 0 (FALSE) so that Windows goes on to end the process.
int on_console_event(unsigned long control_type);

// Adds on_console_event to the process's console handlers. The result of the
// registration is not examined.
void register_console_handler();

// Window class of the hidden session-end window; its window has no title.
constexpr char kSessionEndWindowClass[] = LUMARET_IDENTITY_TOKEN "SessionEnd";

// Windows sends the end of a logoff or shutdown to an interactive program that
// uses user32 only as window messages, not as console events. Creates, once
// per process, a hidden top-level window on a thread of its own that answers
// WM_QUERYENDSESSION with TRUE and on WM_ENDSESSION with wParam TRUE restores
// while settings_applied is set, before it returns. Returns 1 when the window
// exists (waiting at most two seconds for its thread), 0 otherwise.
int start_session_end_window();

// Starts this program again, without a window, as
// "\"<path>\" --restore-watchdog <pid>" for the current process (wide calls,
// so any folder name works), out of the launcher's job where the job allows
// it, so that closing a job with kill-on-close leaves it running; inside the
// job where it does not. Keeps no handle to it. Returns 1 when the process was
// created, 0 when the module path is unavailable or too long (260 characters
// or more) or the creation failed.
int start_restore_watchdog();

// How long the watchdog, the logon's restore command and the shutdown go on
// trying while a complete backup that they may restore stands: about ten
// minutes.
constexpr unsigned long kRestoreRetryLimitMs = 600000;

// How long the shutdown goes on trying before it stops the proxy and ends:
// long enough to outlast a registry that is briefly busy or locked, short
// enough that ENTER does not seem to hang. The watchdog, which sees the
// launcher end, and the logon command take over from there.
constexpr unsigned long kShutdownRestoreRetryLimitMs = 15000;

// Calls restore (restore_proxy_settings or restore_proxy_settings_if_applied)
// until it returns 1, pausing 1 s after the first failed call and twice as
// long after each next one (at most 60 s), and calls it no more once limit_ms
// have passed since the first call. Returns the last result of restore.
int restore_with_retries(int (*restore)(), unsigned long limit_ms);

// Calls restore (with restore_with_retries for up to limit_ms when limit_ms
// is not 0, else once) and, with a log, writes who made it, its result and
// its duration. Returns restore's result.
int restore_and_log(const char* who, int (*restore)(), unsigned long limit_ms);

// The watchdog mode: converts process_id_text with strtoul (base 10), waits
// without limit for that process to end and 250 ms more, then restores with
// retries (restore_with_retries, kRestoreRetryLimitMs). When the process
// cannot be opened (ended, id 0, access refused), or was created after this
// watchdog (so it is not the launcher that started it: the launcher ended and
// its id went to another process), it restores at once. Before it restores,
// it opens the log that the backup names, if any, and logs there. The restore leaves a
// backup whose own launcher still runs. Always returns 0, the mode's exit
// code.
int run_restore_watchdog(const char* process_id_text);

// Takes the user's mutex (shared by all the user's sessions) that marks a
// running launcher and keeps it until the process ends. Returns 1 when this
// process is the only launcher, 0 when another launcher of the user holds it. When the mutex cannot
// be created for another reason, returns 1: that cannot tell of a second launcher.
int claim_launcher_instance();
