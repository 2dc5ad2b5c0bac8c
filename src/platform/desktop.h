// Windows desktop services used by the driver: modal message boxes, the
// console keyboard, secret texts from the user and child processes. Built
// only for Windows.
#pragma once

#include <cstddef>

// Box icons, with the values MessageBoxA takes.
constexpr unsigned kBoxError = 0x10;
constexpr unsigned kBoxWarning = 0x30;
constexpr unsigned kBoxInformation = 0x40;

// Shows a modal box with no owner window, one OK button, the text, the caption
// and the icon, and returns when the user has closed it.
void desktop_show_box(const char* text, const char* caption, unsigned icon);

// Flashes the console window's taskbar button until the window comes to the
// foreground; nothing without a console window.
void desktop_flash_console_window();

// Returns 1 when a key is waiting in the console's input, 0 otherwise.
int desktop_key_waiting();

// Reads one waiting character without echo.
int desktop_read_key();

// Fills argv (argv_capacity pointers) with this process's arguments as
// Windows received them, each converted from UTF-16 to UTF-8 into text
// (capacity bytes), and sets *argc; the portable option parser then sees
// every character as typed, whatever the ANSI code page. Returns 0 when the
// command line cannot be split or does not fit (nothing usable then).
int desktop_utf8_arguments(char* text, size_t capacity, char** argv, int argv_capacity, int* argc);

// Removes the variable name from this process's environment block and from
// the C runtime's copies of it, so that no child process inherits it.
void desktop_remove_environment_variable(const char* name);

// Copies the value of the environment variable name, read as UTF-16 and
// converted to UTF-8, into out (capacity bytes, always NUL-terminated) and
// removes the variable (desktop_remove_environment_variable). Returns 0 when
// the variable is not defined (out empty); otherwise 1 with *length the
// value's length in UTF-8 bytes, or capacity when the value is longer than
// capacity - 1 bytes or is not valid UTF-16 (out empty then).
int desktop_take_environment_secret(const char* name, char* out, size_t capacity, size_t* length);

// Reads one line of secret text into out (capacity bytes, always
// NUL-terminated), without its line end. When standard input is a console,
// writes prompt (UTF-8) to the console, reads with echo off and then writes a
// line break; typed text is stored as UTF-8. A console whose echo cannot be
// switched off is not read at all (result 0). While echo is off, the console's
// own mode is saved for desktop_restore_console_mode. Otherwise reads one line
// of bytes from standard input, without a prompt. Returns the length in bytes;
// capacity when the line is longer than capacity - 1 bytes, and 0 when it is
// empty or could not be read (out empty in both cases). Its own buffers are
// wiped.
size_t desktop_read_secret_line(const char* prompt, char* out, size_t capacity);

// Puts back the console input mode that desktop_read_secret_line saved while
// echo is off; does nothing otherwise. Safe on the console control handler's
// thread, which may end the process while the prompt waits.
void desktop_restore_console_mode();

// Starts the program at application (a full path) with a copy of
// command_line, the CreateProcessW creation flags and no inherited handles. A
// start that fails for a moment (the new process ended while the system was
// still setting it up, reported as an internal error, or memory or system
// resources ran short) is tried again, 3 tries in all, 100 ms apart; any other
// refusal (no such program, access denied, a job that forbids leaving it)
// ends at once. Returns 1 when the program started, with *process its handle
// for the caller to close (closed here when process is null); 0 otherwise,
// with GetLastError() telling why the last try failed.
int desktop_start_process(const wchar_t* application, const wchar_t* command_line,
                          unsigned long flags, void** process);
