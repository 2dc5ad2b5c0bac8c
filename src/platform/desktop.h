// Windows desktop services used by the driver: modal message boxes and the
// console keyboard. Built only for Windows.
#pragma once

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
