#include "settings/restore_safety_net.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>

#include "identity.h"
#include "platform/desktop.h"
#include "platform/run_log.h"
#include "platform/thread.h"
#include "settings/proxy_settings.h"
#include "settings/settings_text.h"

namespace {

// The user's registry is shared by all the user's sessions, so one launcher
// per user, not per session.
constexpr wchar_t kLauncherMutexBase[] = L"" LUMARET_IDENTITY_TOKEN;

// Restores before Windows ends the process and logs how it went: failed
// when this process's values are still applied afterwards.
void restore_before_exit_and_log(const char* who) {
  if (!run_log_enabled) {
    restore_proxy_settings_before_exit();
    return;
  }
  const int was_applied = settings_are_applied();
  const uint64_t started = run_log_clock_ms();
  restore_proxy_settings_before_exit();
  run_log_printf("Restore by %s: %s, %llu ms", who,
                 !was_applied             ? "nothing of ours was applied"
                 : settings_are_applied() ? "FAILED, the backup stays for the watchdog"
                                          : "done",
                 static_cast<unsigned long long>(run_log_clock_ms() - started));
}

LRESULT CALLBACK session_end_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // The process may be ended as soon as this returns, so the restore
      // finishes here. A cancelled session end (wParam FALSE) keeps the proxy.
      if (wparam) restore_before_exit_and_log("the session end");
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

// Handed from start_session_end_window to the window's thread. Static, since
// the starter stops waiting after a limit while the thread may still use it.
struct SessionEndStart {
  HANDLE ready;
  std::atomic<int> created;
};
SessionEndStart session_end_start;

unsigned run_session_end_window(void* argument) {
  SessionEndStart* start = static_cast<SessionEndStart*>(argument);
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA window_class = {};
  window_class.lpfnWndProc = session_end_procedure;
  window_class.hInstance = instance;
  window_class.lpszClassName = kSessionEndWindowClass;
  HWND window = nullptr;
  if (RegisterClassA(&window_class) != 0) {
    // A top-level window, never shown: message-only windows get no session
    // messages. No title, so nothing can mistake it for one of the boxes.
    window = CreateWindowExA(0, kSessionEndWindowClass, "", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                             nullptr, instance, nullptr);
  }
  start->created.store(window != nullptr ? 1 : 0);
  SetEvent(start->ready);
  if (window == nullptr) return 0;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}

ULONGLONG creation_time(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// Opens the launcher that started this watchdog for waiting. Returns nullptr
// when there is none to wait for: it cannot be opened, or the process with its
// id was created after this watchdog, so it is another that got the id after
// the launcher ended. (The launcher ran when it started the watchdog, so no
// other process had its id before.) When a creation time cannot be read, the
// process is waited for, as a launcher.
HANDLE open_launcher(DWORD process_id) {
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
  if (process == nullptr) return nullptr;
  const ULONGLONG launcher_created = creation_time(process);
  const ULONGLONG watchdog_created = creation_time(GetCurrentProcess());
  if (launcher_created != 0 && watchdog_created != 0 && launcher_created > watchdog_created) {
    CloseHandle(process);
    return nullptr;
  }
  return process;
}

}  // namespace

int on_console_event(unsigned long control_type) {
  // The process may end next: a password prompt must not leave echo off.
  desktop_restore_console_mode();
  if (console_event_restores(control_type)) {
    run_log_printf("Console event %lu", control_type);
    restore_before_exit_and_log("the console handler");
  }
  return FALSE;
}

void register_console_handler() { SetConsoleCtrlHandler(on_console_event, TRUE); }

int start_session_end_window() {
  static std::atomic<int> started{0};
  if (started.exchange(1) != 0) return session_end_start.created.load();
  session_end_start.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (session_end_start.ready == nullptr) return 0;
  if (!thread_start_detached(run_session_end_window, &session_end_start)) return 0;
  WaitForSingleObject(session_end_start.ready, 2000);
  return session_end_start.created.load();
}

int start_restore_watchdog() {
  // Wide: a folder name outside the ANSI code page would come back as "?".
  wchar_t path[kProgramPathCapacity];
  DWORD length = GetModuleFileNameW(nullptr, path, kProgramPathCapacity);
  if (length == 0 || length >= kProgramPathCapacity) return 0;
  wchar_t command_line[kWatchdogCommandCapacity];
  if (!watchdog_format_command_line(command_line, kWatchdogCommandCapacity, path,
                                    GetCurrentProcessId())) {
    return 0;
  }
  // Out of the launcher's job: a job with kill-on-close (an IDE's terminal, a
  // scheduler) would end the watchdog with its launcher. A job that does not
  // allow it refuses the creation; the watchdog then lives inside the job.
  return desktop_start_process(path, command_line, CREATE_NO_WINDOW | CREATE_BREAKAWAY_FROM_JOB,
                               nullptr) ||
         desktop_start_process(path, command_line, CREATE_NO_WINDOW, nullptr);
}

int restore_with_retries(int (*restore)(), unsigned long limit_ms) {
  const ULONGLONG started = GetTickCount64();
  DWORD pause = 1000;
  int result = restore();
  while (result == 0) {
    const ULONGLONG elapsed = GetTickCount64() - started;
    if (elapsed >= limit_ms) break;
    const ULONGLONG left = limit_ms - elapsed;
    Sleep(pause < left ? pause : static_cast<DWORD>(left));
    pause = pause < 30000 ? pause * 2 : 60000;
    result = restore();
  }
  return result;
}

int restore_and_log(const char* who, int (*restore)(), unsigned long limit_ms) {
  const uint64_t started = run_log_enabled ? run_log_clock_ms() : 0;
  const int result = limit_ms != 0 ? restore_with_retries(restore, limit_ms) : restore();
  if (run_log_enabled) {
    run_log_printf("Restore by %s: %s, %llu ms", who,
                   result ? "done" : "FAILED, the backup stays for a later restore",
                   static_cast<unsigned long long>(run_log_clock_ms() - started));
  }
  return result;
}

int run_restore_watchdog(const char* process_id_text) {
  DWORD process_id = strtoul(process_id_text, nullptr, 10);
  HANDLE process = open_launcher(process_id);
  if (process != nullptr) {
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
    // A restore by the launcher's own shutdown or handler has ended with its
    // process; the pause gives Windows time to finish ending it.
    Sleep(250);
  }
  // The log of the run whose backup stands, if it kept one: only a backup
  // left behind names it, so a run that ended cleanly gets no lines from here.
  static char log_path[3 * 32768];
  if (proxy_backup_log_path(log_path, sizeof(log_path)) && run_log_open(log_path)) {
    if (process_id == 0) {
      run_log_printf("Logon command: a backup stands; restoring it unless its launcher runs");
    } else {
      run_log_printf("Watchdog: launcher process %lu ended, its backup stands; restoring it",
                     static_cast<unsigned long>(process_id));
    }
  }
  // Acts only when the backup's own launcher no longer runs: a late watchdog
  // of an earlier launcher, or the logon's command, must not take the backup
  // of a launcher that serves now. A restore that fails (the user's mutex held
  // past its wait, a key that refuses writing) is tried again for a while:
  // after the launcher, nothing else restores before the next logon.
  restore_and_log(process_id == 0 ? "the logon command" : "the watchdog", restore_proxy_settings,
                  kRestoreRetryLimitMs);
  // A backup deleted while the launcher served leaves its proxy on with
  // nothing to restore; its port is dead now that the launcher has ended.
  switch_off_dead_local_proxy();
  return 0;
}

int claim_launcher_instance() {
  wchar_t name[160];
  settings_user_object_name(name, 160, kLauncherMutexBase);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
  if (mutex == nullptr) return GetLastError() == ERROR_ACCESS_DENIED ? 0 : 1;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return 0;
  }
  // Held, never closed: the mutex marks this launcher until its process ends.
  return 1;
}
