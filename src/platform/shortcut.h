// Shortcuts on the current user's desktop, through the shell's own shortcut
// object. Built only for Windows.
#pragma once

#include <cstddef>

// Saves the shortcut file_name (UTF-8, e.g. "Name.lnk") in the current user's
// desktop folder, replacing one of that name. It starts this program (its
// full path) with arguments (UTF-8, a command line without the program), in
// the program's folder, and shows the program's first icon. Writes the
// shortcut's full path as UTF-8 into path (capacity bytes, always
// NUL-terminated; empty when the shortcut was not saved or the path does not
// fit). Returns 1 when the shortcut was saved; 0 otherwise.
int shortcut_create_on_desktop(const char* file_name, const char* arguments, char* path,
                               size_t capacity);
