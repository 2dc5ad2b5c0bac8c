// The launcher's command line as pure functions: the mode switch and the
// option parser, tested without running anything.
#pragma once

#include <cstdint>

#include "proxy/proxy_context.h"

// What the command line asks for.
enum OptionsResult {
  kOptionsRun = 0,                // run the launch with the context as parsed
  kOptionsHelp = 1,               // print the help text, exit 0
  kOptionsMissingValue = 2,       // an option name has no value after it
  kOptionsUnknown = 3,            // an option name is none of the known ones
  kOptionsInvalidPort = 4,        // the local port is 0 or not a 32-bit number
  kOptionsInvalidUser = 5,        // the SOCKS5 user name is empty or above 255 bytes
  kOptionsNeedsUser = 6,          // --save-password or --forget-password without --socks-user
  kOptionsInvalidBypass = 7,      // the --bypass list is refused by options_build_bypass
  kOptionsInvalidPlainHttp = 8,   // the --plain-http mode is neither refuse nor forward
  kOptionsInvalidDisconnect = 9,  // the --on-disconnect mode is neither restore nor wait
  kOptionsVersion = 10            // print the banner line alone, exit 0
};

// The options that only the driver reads; nothing of them reaches the proxy.
struct LauncherOptions {
  int save_password;       // 1: keep the password in the credential store once the login passed
  int forget_password;     // 1: remove the kept password and end, before anything else runs
  int wait_on_disconnect;  // 1: --on-disconnect wait, apps stay on the local proxy through an
                           // outage
  int create_shortcut;     // 1: put a desktop shortcut with the other options and end
};

// Returns 1 when argv holds exactly two arguments after the program path and
// the first is "--restore-watchdog": the watchdog mode, no option parsing.
int options_is_watchdog_mode(int argc, char** argv);

// Reads the arguments after the program path into a context already set to
// its defaults and into *options (cleared here). Names are taken from the
// first argument on; each value option takes the argument after it as its
// value, never examined as a name ("--socks-host --save-password" sets the
// host), while the flags (options_is_flag) take none, so the next argument is
// again a name. For each name, in this order: "--help" and "--version" win
// at once; a flag is set, also in last position; a name with no argument
// after it is a missing value, before it is recognised (so "--bogus" last is
// a missing value and "--bogus --save-password" an unknown name); a value
// option takes its value; any other name is unknown. Both errors end parsing.
// A later option replaces an earlier one. After all names: the port, then the
// user name (1 to 255 bytes), then a flag without --socks-user, then the
// bypass list, then the plain HTTP mode ("refuse" or "forward"), then the
// disconnect mode ("restore" or "wait"). Host and port
// texts longer than their fields are cut (255 and 15 bytes); a user name is
// never cut. The --log path is kept as the argument itself, not copied. The
// password is not an option: the driver obtains it.
OptionsResult options_parse(int argc, char** argv, ProxyContext* context, LauncherOptions* options);

// Returns 1 when name is an option that takes no value: "--save-password",
// "--forget-password" or "--create-shortcut".
int options_is_flag(const char* name);

// Converts a --http-port value as atoi would for every number that fits a
// 32-bit int (leading white space, a sign, digits up to the first non-digit, 0
// without digits) and keeps its low 16 bits in *port. Returns 0 when the
// number does not fit a 32-bit int: such a value is an invalid port.
int options_convert_port(const char* text, uint16_t* port);

// Builds the bypass list that the proxy settings carry from a --bypass value:
// kLauncherBypass, then the value's entries in their order, separated by ";".
// Entries are split at ";", spaces around them trimmed, empty ones dropped, and
// one equal (ASCII case ignored) to an earlier one, or to one of the launcher's,
// dropped. Returns 1 and writes the NUL-terminated list into text; returns 0
// (text then holds kLauncherBypass) when the value has no entry, an entry is
// longer than 255 characters or holds a byte outside 0x21 to 0x7E, or the
// whole list would exceed kProxyBypassMax characters.
int options_build_bypass(const char* value, char text[kProxyBypassMax + 1]);
