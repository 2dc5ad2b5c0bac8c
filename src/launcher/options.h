// The launcher's command line as pure functions: the mode switch and the
// option parser, tested without running anything.
#pragma once

#include <cstdint>

#include "proxy/proxy_context.h"

// What the command line asks for.
enum OptionsResult {
  kOptionsRun = 0,              // run the launch with the context as parsed
  kOptionsHelp = 1,             // print the help text, exit 0
  kOptionsMissingValue = 2,     // an option name has no value after it
  kOptionsUnknown = 3,          // an option name is none of the four
  kOptionsInvalidPort = 4,      // the local port is 0 or not a 32-bit number
  kOptionsInvalidUser = 5,      // the SOCKS5 user name is empty or above 255 bytes
  kOptionsInvalidBypass = 6,    // the --bypass list is refused by options_build_bypass
  kOptionsInvalidPlainHttp = 7  // the --plain-http mode is neither refuse nor forward
};

// Returns 1 when argv holds exactly two arguments after the program path and
// the first is "--restore-watchdog": the watchdog mode, no option parsing.
int options_is_watchdog_mode(int argc, char** argv);

// Reads the arguments after the program path in name/value pairs into a
// context already set to its defaults. "--help" in a name position wins at
// once; a name without a value, or an unknown name, ends parsing with its
// error; a later option replaces an earlier one; the port, the user name
// (1 to 255 bytes), the bypass list and the plain HTTP mode ("refuse" or
// "forward") are checked in this order only after all pairs. Host and port texts
// longer than their fields are cut (255 and 15 bytes); a user name is never cut.
// The password is not an option: the driver obtains it.
OptionsResult options_parse(int argc, char** argv, ProxyContext* context);

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
