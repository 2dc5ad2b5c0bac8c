// The entry point: picks the mode, reads the options and runs the steps of one
// launch in their fixed order on the main thread.
#include <cstdio>
#include <cstring>

#include "build_constants.h"
#include "launcher/exit_codes.h"
#include "launcher/observation.h"
#include "launcher/options.h"
#include "launcher/shortcut_arguments.h"
#include "launcher/texts.h"
#include "platform/console.h"
#include "platform/credentials.h"
#include "platform/desktop.h"
#include "platform/net.h"
#include "platform/run_log.h"
#include "platform/shortcut.h"
#include "platform/thread.h"
#include "probes/address_text.h"
#include "probes/app_launch.h"
#include "probes/https_probes.h"
#include "proxy/proxy_context.h"
#include "proxy/proxy_listener.h"
#include "settings/connection_store.h"
#include "settings/proxy_settings.h"
#include "settings/restore_safety_net.h"
#include "socks/socks_client.h"
#include "socks/socks_wire.h"

namespace {

void show_error(const char* text) { desktop_show_box(text, kBoxCaption, kBoxError); }

// The box of a way out: the run ends once it is closed, and it may wait long
// for the user, so the password does not wait with it. Tunnels that start
// meanwhile fail their login, which the run's end would bring anyway.
void show_error_on_way_out(ProxyContext* context, const char* text) {
  socks_wipe(context->socks_password, sizeof(context->socks_password));
  show_error(text);
}

// The defaults shown are those the options start from.
void print_help() {
  console_printf("%s\n\n", kBannerLine);
  console_write_line("Options:");
  console_printf("  --socks-host HOST   Default: %s\n", kDefaultSocksHost);
  console_printf("  --socks-port PORT   Default: %s\n", kDefaultSocksPort);
  console_printf("  --http-port PORT    Default: %u\n", static_cast<unsigned>(kDefaultHttpPort));
  console_write_line(
      "  --socks-user USER   SOCKS5 user name (password: LUMARET_SOCKS_PASSWORD, or asked)");
  console_write_line(
      "  --save-password     Keep the SOCKS5 password in Windows Credential Manager");
  console_write_line("  --forget-password   Remove the kept SOCKS5 password");
  console_write_line(
      "  --create-shortcut   Put a desktop shortcut that starts the launcher with these options");
  console_write_line("  --log FILE          Append a record of the run to FILE");
  console_write_line("  --bypass LIST       More addresses that skip the proxy, separated by ;");
  console_write_line(
      "  --plain-http MODE   refuse (the default) or forward plain http:// requests");
  console_write_line(
      "  --on-disconnect MODE  restore (the default) or wait for the SOCKS5 server to come back");
  console_write_line("  --help              Show this help");
  console_write_line("  --version           Print the version and exit");
}

// The start-up check: a real SOCKS5 CONNECT to the app host, with 5 s
// time-outs so that a server that accepts but never answers cannot hang the
// start. Sets *login_rejected when the server turned down the user name and
// password, *login_accepted when it chose the login and accepted it, and
// *login_needed when it refused to go on without one.
int verify_socks_handshake(const ProxyContext* context, int* login_rejected, int* login_accepted,
                           int* login_needed) {
  *login_rejected = 0;
  *login_accepted = 0;
  *login_needed = 0;
  NetSocket upstream = open_upstream_connection(context->socks_host, context->socks_port);
  if (upstream == kInvalidSocket) {
    run_log_printf("SOCKS5 pre-check: %s:%s could not be reached", context->socks_host,
                   context->socks_port);
    return 0;
  }
  net_set_timeouts(upstream, 5000);
  SocksOutcome outcome;
  int ok = socks5_connect_report(upstream, app_host, 443, context->socks_user,
                                 context->socks_password, login_rejected, &outcome);
  net_close(upstream);
  *login_accepted = ok && outcome.method == kSocksMethodLogin;
  *login_needed = !ok && outcome.none_acceptable && context->socks_user[0] == '\0';
  if (ok) {
    run_log_printf("SOCKS5 pre-check: passed; method %d, reply %d to CONNECT %s:443",
                   outcome.method, outcome.reply, app_host);
  } else {
    run_log_printf("SOCKS5 pre-check: failed; method %d, reply %d: %s%s", outcome.method,
                   outcome.reply, outcome.failure,
                   *login_rejected ? " (the user name and password were not accepted)" : "");
  }
  return ok;
}

// --create-shortcut: the desktop shortcut with the other options of this
// command line; nothing else runs. Returns the exit code.
int create_desktop_shortcut(int argc, char** argv) {
  static char arguments[32768];
  static char path[3 * 32768];
  if (!shortcut_build_arguments(argc, argv, arguments, sizeof(arguments)) ||
      !shortcut_create_on_desktop(kShortcutFileName, arguments, path, sizeof(path))) {
    run_log_printf("End: the desktop shortcut could not be created; exit code %d",
                   kExitOptionError);
    show_error(kTextShortcutNotCreated);
    return kExitOptionError;
  }
  console_printf(kShortcutCreatedFormat, path);
  run_log_printf("End: desktop shortcut %s created; exit code %d", path, kExitSuccess);
  return kExitSuccess;
}

// The password kept in the credential store for one account.
struct KeptPassword {
  // "USER@HOST:PORT" as given, and the store's target name built from it.
  char account[3 * (kSocksTextMax + 1)];
  char target[sizeof(kPasswordTargetFormat) + 3 * (kSocksTextMax + 1)];
  int save;        // --save-password: keep the password once the server took it
  int from_store;  // the run's password is the kept one
};

void name_kept_password(const ProxyContext* context, KeptPassword* kept) {
  snprintf(kept->account, sizeof(kept->account), "%s@%s:%s", context->socks_user,
           context->socks_host, context->socks_port);
  snprintf(kept->target, sizeof(kept->target), kPasswordTargetFormat, kept->account);
}

// --forget-password: removes the kept password and says so; touches nothing
// else. Returns the exit code.
int forget_kept_password(const KeptPassword* kept) {
  unsigned long error = 0;
  switch (credential_delete(kept->target, &error)) {
    case kCredentialRemoved:
      console_printf(kPasswordRemovedFormat, kept->account);
      return kExitSuccess;
    case kCredentialAbsent:
      console_printf(kNoPasswordSavedFormat, kept->account);
      return kExitSuccess;
    case kCredentialNotRemoved:
      break;
  }
  console_printf(kPasswordNotRemovedFormat, kept->account, error);
  return kExitOptionError;
}

// Completes the SOCKS5 password: the one taken from the environment
// (from_environment, environment_length as desktop_take_environment_secret
// gave them), or else the kept one, or else the one the user types. Returns 1
// when it is 1 to 255 bytes in UTF-8; otherwise the context holds no password.
int obtain_socks_password(ProxyContext* context, int from_environment, size_t environment_length,
                          KeptPassword* kept) {
  char* password = context->socks_password;
  const size_t capacity = sizeof(context->socks_password);
  size_t length = environment_length;
  if (!from_environment) {
    // A kept password is the answer given once: nothing is asked, and
    // standard input is left unread for whoever else reads it.
    kept->from_store = credential_read(kept->target, password, capacity, &length);
    if (kept->from_store) {
      console_write_line(kUsingSavedPasswordLine);
    } else {
      char prompt[sizeof(kPasswordPromptFormat) + sizeof(context->socks_user)];
      snprintf(prompt, sizeof(prompt), kPasswordPromptFormat, context->socks_user);
      length = desktop_read_secret_line(prompt, password, capacity);
    }
  }
  if (length >= 1 && length < capacity) return 1;
  socks_wipe(password, capacity);
  return 0;
}

// The monitor: waits for ENTER in 100 ms steps and, after every tenth step,
// looks for another program's proxy settings and probes the SOCKS5 server.
// Returns result_code on ENTER, kExitSocksGone on a failed probe. With
// wait_on_disconnect a failed probe restores nothing: the settings stay on
// the local proxy, which answers 502 while the server is away, the user is
// told when it goes and when it is back, and ENTER during the outage ends
// with kExitSocksGone.
int run_monitor(ProxyContext* context, int result_code, int wait_on_disconnect) {
  console_write_line(kMonitorLine1);
  console_write_line(kMonitorLine2);
  ChangeMemory changes_said = {};
  int away = 0;
  for (;;) {
    for (int step = 0; step < 10; ++step) {
      if (desktop_key_waiting()) {
        int key = desktop_read_key();
        if (key == 13 || key == 10) {
          run_log_printf("Monitor ended: ENTER was pressed%s",
                         away ? " while the SOCKS5 server was away" : "");
          return away ? kExitSocksGone : result_code;
        }
      }
      thread_sleep_ms(100);
    }
    proxy_settings_watch(&changes_said);
    const int alive = probe_socks_alive(context->socks_host, context->socks_port);
    if (!alive && !wait_on_disconnect) break;
    if (alive == away) {
      away = !alive;
      console_write_line(away ? kWaitingLine : kReachableAgainLine);
      run_log_printf("%s", away ? kWaitingLine : kReachableAgainLine);
      // The user may be in another window: the taskbar button says it too.
      if (away) desktop_flash_console_window();
    }
  }
  console_write_line(kDisconnectLine);
  run_log_printf("Monitor ended: the SOCKS5 server %s:%s accepted no connection",
                 context->socks_host, context->socks_port);
  // Every program that uses the system proxy gets errors from ours while the
  // server is gone, and the user may be away: the settings come back before
  // the box waits for a click.
  restore_and_log("the launcher (SOCKS5 disconnected)", restore_proxy_settings_if_applied, 0);
  // The run ends once the box is closed; the server that took the password is gone.
  socks_wipe(context->socks_password, sizeof(context->socks_password));
  desktop_show_box(kDisconnectText, kDisconnectCaption, kBoxWarning);
  return kExitSocksGone;
}

// The one ordered way out of every run that started networking.
int shutdown_launcher(ProxyContext* context, ThreadHandle listener, int result_code) {
  // The user's proxy settings first, while ours are applied, and only then the
  // proxy they point at: a restore that fails is tried again while the proxy
  // still serves; after that the watchdog goes on trying.
  const int restored = restore_and_log("the launcher", restore_proxy_settings_if_applied,
                                       kShutdownRestoreRetryLimitMs);
  if (!restored) {
    // Never reported as the run's success: the settings may still point at
    // the proxy that stops now.
    console_write_line(kRestorePendingLine);
    result_code = kExitRestorePending;
  }

  proxy_listener_stop(context);
  if (listener != kNoThread) thread_wait_and_close(listener, 2000);
  // No new tunnel logs in from here on.
  socks_wipe(context->socks_password, sizeof(context->socks_password));
  net_cleanup();
  run_log_printf("End: exit code %d", result_code);
  return result_code;
}

// The log's first lines: the program and every option's value, without the
// password.
void log_start(const ProxyContext* context, int save_password, int wait_on_disconnect) {
  run_log_printf("Start: %s", kBannerLine);
  // The user's own bypass entries follow the launcher's three and their ";".
  const size_t own_bypass = sizeof(kLauncherBypass);
  const int bypass_given = strlen(context->proxy_bypass) > own_bypass - 1;
  run_log_printf("Options: --socks-host %s --socks-port %s --http-port %u --log %s%s%s%s%s%s",
                 context->socks_host, context->socks_port,
                 static_cast<unsigned>(context->http_port), context->log_path,
                 save_password ? " --save-password" : "",
                 context->plain_http_mode == kPlainHttpForward ? " --plain-http forward" : "",
                 bypass_given ? " --bypass " : "",
                 bypass_given ? context->proxy_bypass + own_bypass : "",
                 wait_on_disconnect ? " --on-disconnect wait" : "");
  if (context->socks_user[0] == '\0') {
    run_log_printf("SOCKS5 login: none");
  } else {
    run_log_printf("SOCKS5 login: user %s", context->socks_user);
  }
}

// Keeps the password that the server has just accepted, and says whether it was kept.
void save_kept_password(const ProxyContext* context, const KeptPassword* kept) {
  unsigned long error = 0;
  if (credential_save(kept->target, context->socks_user, context->socks_password,
                      strlen(context->socks_password), &error)) {
    console_write_line(kPasswordSavedLine);
    run_log_printf("SOCKS5 password saved in Windows Credential Manager");
  } else {
    run_log_printf("SOCKS5 password not saved: Windows error %lu", error);
    console_printf(kPasswordNotSavedFormat, error);
  }
}

int run_launch(ProxyContext* context, const KeptPassword* kept, int wait_on_disconnect) {
  // Networking.
  if (!net_startup()) {
    run_log_printf("End: Windows networking did not start; exit code %d", kExitNoNetworking);
    show_error_on_way_out(context, kTextNoNetworking);
    return kExitNoNetworking;
  }

  // The banner.
  console_write_line(kBannerLine);
  console_printf("SOCKS5: %s:%s\n", context->socks_host, context->socks_port);
  console_printf("Local HTTP proxy: " LUMARET_LOOPBACK_ADDRESS ":%u\n\n",
                 static_cast<unsigned>(context->http_port));
  console_write("[1/3] Verifying SOCKS5 handshake... ");

  // The SOCKS5 server must grant a CONNECT before anything else is started.
  int login_rejected = 0;
  int login_accepted = 0;
  int login_needed = 0;
  if (!verify_socks_handshake(context, &login_rejected, &login_accepted, &login_needed)) {
    console_write_line("FAILED");
    // A double-click gives no user name; the box alone would not say that
    // one is what is missing.
    if (login_needed) {
      console_write_line(kSocksLoginNeededLine);
      run_log_printf("%s", kSocksLoginNeededLine);
    }
    // The user typed nothing this time, so say which password failed and
    // how to stop it being used.
    if (login_rejected && kept->from_store) console_write_line(kSavedPasswordRefusedLine);
    show_error_on_way_out(context, login_rejected ? kTextSocksLoginRejected : kTextSocksFailed);
    return shutdown_launcher(context, kNoThread, kExitSocksFailed);
  }
  console_write_line("PASSED");
  // Only a password that the server has checked and taken is kept: a server
  // that chose "no authentication" never saw it, and it may be mistyped.
  if (kept->save && login_accepted) {
    save_kept_password(context, kept);
  } else if (kept->save) {
    console_write_line(kPasswordNotAskedLine);
    run_log_printf("SOCKS5 password not saved: the server chose no authentication");
  }

  // The local proxy's listener, confirmed by one look after 300 ms.
  ThreadHandle listener = thread_start(run_proxy_listener, context);
  if (listener == kNoThread) {
    show_error_on_way_out(context, kTextNoProxyThread);
    return shutdown_launcher(context, kNoThread, kExitProxyNotStarted);
  }
  thread_sleep_ms(300);
  if (context->listen_socket.load() == kInvalidSocket) {
    run_log_printf("The local proxy could not listen on " LUMARET_LOOPBACK_ADDRESS ":%u",
                   static_cast<unsigned>(context->http_port));
    show_error_on_way_out(context, kTextPortNotOpen);
    return shutdown_launcher(context, listener, kExitProxyNotStarted);
  }

  // HTTPS to the app host through our own proxy proves the whole route
  // (CONNECT, SOCKS5 tunnel, TLS) before the user's settings are touched.
  console_write("[2/3] Verifying HTTPS through HTTP-to-SOCKS proxy... ");
  uint32_t status_code = 0;
  if (!probe_https_through_proxy(context->http_port, &status_code)) {
    console_write_line("FAILED");
    char text[512];
    snprintf(text, sizeof(text), "%s%s%s", kTextHttpsFailedBefore, app_host, kTextHttpsFailedAfter);
    show_error_on_way_out(context, text);
    return shutdown_launcher(context, listener, kExitHttpsFailed);
  }
  console_printf("PASSED (HTTP %lu)\n", static_cast<unsigned long>(status_code));

  // The public addresses, for information only. They live until the
  // run ends: the outcome report shows them again.
  char direct_address[kAddressTextCapacity];
  char exit_address[kAddressTextCapacity];
  direct_address[0] = '\0';
  exit_address[0] = '\0';
  console_write("      Querying direct public IP... ");
  console_write_line(query_public_address(0, context->http_port, direct_address) ? direct_address
                                                                                 : "UNAVAILABLE");
  console_write("      Querying SOCKS5 exit IP... ");
  console_write_line(query_public_address(1, context->http_port, exit_address) ? exit_address
                                                                               : "UNAVAILABLE");

  // The probes' own tunnels to the app host must not count as the
  // app's traffic.
  reset_app_tunnel_count(context);

  // Back up and apply the user's proxy settings, with the watchdog.
  // It starts before the user's values change, so that no moment after the
  // change is left unwatched; its line follows the apply.
  const char* watchdog_state = start_restore_watchdog() ? "ACTIVE" : "UNAVAILABLE";
  run_log_printf("Restore watchdog: %s", watchdog_state);
  if (!apply_proxy_settings(context->http_port, context->proxy_bypass)) {
    run_log_printf("Applying the proxy settings failed");
    show_error_on_way_out(context, proxy_settings_are_per_machine() ? kTextApplyFailedPerMachine
                                                                    : kTextApplyFailed);
    return shutdown_launcher(context, listener, kExitApplyFailed);
  }
  console_printf("      Restore watchdog: %s\n", watchdog_state);

  // The app, started through the Start-menu app list.
  run_log_printf("Proxy settings applied: " LUMARET_LOOPBACK_ADDRESS ":%u",
                 static_cast<unsigned>(context->http_port));
  console_write_line(kLaunchLine);
  if (!launch_target_app()) {
    show_error_on_way_out(context, kTextLaunchFailed);
    return shutdown_launcher(context, listener, kExitLaunchFailed);
  }

  // The observation window; either outcome goes on to the monitor.
  const ObservationServices services = {thread_sleep_ms, desktop_show_box};
  int result_code = observe_app_traffic(context, direct_address, exit_address, &services);
  run_log_printf("Observation: %s", result_code == kExitSuccess
                                        ? "app traffic was seen through the local proxy"
                                        : "NOT CONFIRMED, no app tunnel within 30 seconds");
  result_code = run_monitor(context, result_code, wait_on_disconnect);
  return shutdown_launcher(context, listener, result_code);
}

}  // namespace

// The arguments as UTF-8: a user name outside the ANSI code page must reach
// the SOCKS5 server as typed, not as "?" or a best-fit look-alike. A Windows
// command line holds at most 32767 UTF-16 units, each at most 3 UTF-8 bytes.
constexpr size_t kArgumentTextCapacity = 32768 * 4;
constexpr int kArgumentCapacity = 16386;

int main() {
  static char argument_text[kArgumentTextCapacity];
  static char* arguments[kArgumentCapacity];
  int argc = 0;
  char** argv = arguments;
  if (!desktop_utf8_arguments(argument_text, sizeof(argument_text), arguments, kArgumentCapacity,
                              &argc)) {
    show_error(kTextUnknownOption);
    return kExitOptionError;
  }
  if (options_is_watchdog_mode(argc, argv)) return run_restore_watchdog(argv[2]);

  static ProxyContext context;
  proxy_context_set_defaults(&context);
  LauncherOptions options;
  switch (options_parse(argc, argv, &context, &options)) {
    case kOptionsHelp:
      print_help();
      return kExitSuccess;
    case kOptionsVersion:
      console_write_line(kBannerLine);
      return kExitSuccess;
    case kOptionsMissingValue:
      show_error(kTextMissingValue);
      return kExitOptionError;
    case kOptionsUnknown:
      show_error(kTextUnknownOption);
      return kExitOptionError;
    case kOptionsInvalidPort:
      show_error(kTextInvalidPort);
      return kExitOptionError;
    case kOptionsInvalidUser:
      show_error(kTextInvalidUser);
      return kExitOptionError;
    case kOptionsNeedsUser:
      show_error(kTextNeedsUser);
      return kExitOptionError;
    case kOptionsInvalidBypass:
      show_error(kTextInvalidBypass);
      return kExitOptionError;
    case kOptionsInvalidPlainHttp:
      show_error(kTextInvalidPlainHttp);
      return kExitOptionError;
    case kOptionsInvalidDisconnect:
      show_error(kTextInvalidDisconnect);
      return kExitOptionError;
    case kOptionsRun:
      break;
  }
  // Opened before anything is printed or changed: a log that cannot be
  // written is a bad command line.
  if (context.log_path != nullptr && !run_log_open(context.log_path)) {
    show_error(kTextLogNotOpened);
    return kExitOptionError;
  }
  // The shortcut takes the command line for later runs; this one runs nothing
  // (it wins over --forget-password, which the shortcut leaves out).
  if (options.create_shortcut) return create_desktop_shortcut(argc, argv);
  static KeptPassword kept;
  name_kept_password(&context, &kept);
  kept.save = options.save_password;
  // Forgetting needs no network and changes no settings; it wins over
  // --save-password on the same command line.
  if (options.forget_password) return forget_kept_password(&kept);
  // The password leaves the environment before any child (the watchdog,
  // PowerShell) can be started, also when no user name asks for it.
  int password_from_environment = 0;
  size_t environment_password_length = 0;
  if (context.socks_user[0] != '\0') {
    password_from_environment = desktop_take_environment_secret(kPasswordVariable,
                                                                context.socks_password,
                                                                sizeof(context.socks_password),
                                                                &environment_password_length);
  }
  desktop_remove_environment_variable(kPasswordVariable);
  if (run_log_enabled) log_start(&context, kept.save, options.wait_on_disconnect);
  // A second launcher of the same user, in this session or another, would
  // share the running one's registry: one launcher per user.
  if (!claim_launcher_instance()) {
    run_log_printf("End: another launcher of this user is running; exit code %d",
                   kExitAlreadyRunning);
    show_error_on_way_out(&context, kTextAlreadyRunning);
    return kExitAlreadyRunning;
  }

  // The safety net first: the console handler, then the restore of a backup
  // that an earlier run left behind.
  register_console_handler();
  // Logoff and shutdown reach a program that uses user32 only as window
  // messages, so a hidden window restores then.
  start_session_end_window();
  restore_and_log("the launcher (a backup left by an earlier run)", restore_proxy_settings, 0);

  // The app reads the proxy settings when it starts, so it must not be
  // running yet; nothing has been printed or changed at this point.
  if (is_target_app_running()) {
    run_log_printf("End: the app is already running; exit code %d", kExitAppRunning);
    show_error_on_way_out(&context, kTextAppRunning);
    return kExitAppRunning;
  }

  // The SOCKS5 password, only with a user name: before anything is printed,
  // so that the question stands alone on the console.
  if (context.socks_user[0] != '\0' && !obtain_socks_password(&context, password_from_environment,
                                                              environment_password_length, &kept)) {
    run_log_printf("End: no SOCKS5 password of 1 to 255 bytes; exit code %d", kExitOptionError);
    show_error(kTextInvalidPassword);
    return kExitOptionError;
  }

  if (context.socks_user[0] != '\0') {
    run_log_printf("SOCKS5 password: %s", password_from_environment ? "from the environment"
                                          : kept.from_store ? "saved in Windows Credential Manager"
                                                            : "typed at the prompt");
  }

  return run_launch(&context, &kept, options.wait_on_disconnect);
}
