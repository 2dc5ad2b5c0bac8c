// The command line that a desktop shortcut gives the launcher, as pure
// functions: which options it keeps and how Windows must see them quoted.
#pragma once

#include <cstddef>

#include "identity.h"

// The shortcut's file name, after the boxes' caption. It never holds the word
// by which the launch finds the app among the Start menu's entries
// (shortcut_arguments.cpp checks it), so that a copy of the shortcut there is
// never started as the app.
constexpr char kShortcutFileName[] = LUMARET_IDENTITY_NAME ".lnk";

// Appends argument to text (capacity bytes, NUL-terminated, *length bytes in
// use), after one blank unless text is empty, quoted so that
// CommandLineToArgvW gives it back unchanged: an argument that is empty or
// holds a blank, a tab, a line feed, a vertical tab or a quote is put in
// quotes, with each quote inside escaped by a backslash and the backslashes
// before a quote or before the closing quote doubled; any other argument is
// written as it is. Returns 1 with *length updated; 0 when it does not fit
// (text and *length then as before).
int shortcut_append_argument(char* text, size_t capacity, size_t* length, const char* argument);

// Writes into text (capacity bytes, always NUL-terminated) the arguments of a
// command line that options_parse accepted, after the program path, for the
// shortcut to start the launcher with: in their order and quoted by
// shortcut_append_argument, leaving out the flags (options_is_flag), which
// are what this command line does rather than what the shortcut's runs
// should do. A value is kept whatever it says ("--socks-host
// --save-password" stays). Returns 1; 0 when it does not fit (text empty).
int shortcut_build_arguments(int argc, char** argv, char* text, size_t capacity);
