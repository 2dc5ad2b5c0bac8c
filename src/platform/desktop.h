// Windows desktop services used by the driver: modal message boxes, the
// console keyboard and secret texts from the user. Built only for Windows.
#pragma once

#include <cstddef>

// Box icons, with the values MessageBoxA takes.
constexpr unsigned kBoxError = 0x10;
constexpr unsigned kBoxWarning = 0x30;
constexpr unsigned kBoxInformation = 0x40;

// Shows a modal box with no owner window, one OK button, the text, the caption
// and the icon, and returns when the user has closed it.
void desktop_show_box(const char* text, const char* caption, unsigned icon);

// Returns 1 when a key is waiting in the console's input, 0 otherwise.
int desktop_key_waiting();

// Reads one waiting character without echo.
int desktop_read_key();

// Copies the value of the environment variable name into out (capacity bytes,
// always NUL-terminated) and removes the variable from this process's
// environment, so that no child process inherits it. Returns 0 when the
// variable is not defined (out empty); otherwise 1 with *length the value's
// length in bytes, or capacity when the value is longer than capacity - 1
// bytes (out empty then).
int desktop_take_environment_secret(const char* name, char* out, size_t capacity, size_t* length);

// Reads one line of secret text into out (capacity bytes, always
// NUL-terminated), without its line end. When standard input is a console,
// writes prompt to the console, reads with echo off and then writes a line
// break; typed text is converted to the ANSI code page, like the command line.
// Otherwise reads one line from standard input, without a prompt. Returns the
// length in bytes; capacity when the line is longer than capacity - 1 bytes,
// and 0 when it is empty or could not be read (out empty in both cases). Its
// own buffers are wiped.
size_t desktop_read_secret_line(const char* prompt, char* out, size_t capacity);
