// The launcher's command line as pure functions: the mode switch and the
// option parser, tested without running anything.
#pragma once

#include <cstdint>

struct ProxyContext;

// What the command line asks for.
enum OptionsResult {
  kOptionsRun = 0,           // run the launch with the context as parsed
  kOptionsHelp = 1,          // print the help text, exit 0
  kOptionsMissingValue = 2,  // an option name has no value after it
  kOptionsUnknown = 3,       // an option name is none of the known ones
  kOptionsInvalidPort = 4,   // the local port is 0 or not a 32-bit number
  kOptionsInvalidUser = 5    // the SOCKS5 user name is empty or above 255 bytes
};

// Returns 1 when argv holds exactly two arguments after the program path and
// the first is "--restore-watchdog": the watchdog mode, no option parsing.
int options_is_watchdog_mode(int argc, char** argv);

// Reads the arguments after the program path in name/value pairs into a
// context already set to its defaults. "--help" in a name position wins at
// once; a name without a value, or an unknown name, ends parsing with its
// error; a later option replaces an earlier one; the port, then the user name
// (1 to 255 bytes), are checked only after all pairs. Host and port texts
// longer than their fields are cut (255 and 15 bytes); a user name is never cut.
// The --log path is kept as the argument itself, not copied. The password is
// not an option: the driver obtains it.
OptionsResult options_parse(int argc, char** argv, ProxyContext* context);

// Converts a --http-port value as atoi would for every number that fits a
// 32-bit int (leading white space, a sign, digits up to the first non-digit, 0
// without digits) and keeps its low 16 bits in *port. Returns 0 when the
// number does not fit a 32-bit int: such a value is an invalid port.
int options_convert_port(const char* text, uint16_t* port);
