#include "platform/desktop.h"

#include <conio.h>
#include <windows.h>

void desktop_show_box(const char* text, const char* caption, unsigned icon) {
  MessageBoxA(nullptr, text, caption, MB_OK | icon);
}

int desktop_key_waiting() { return _kbhit() ? 1 : 0; }

int desktop_read_key() { return _getch(); }
