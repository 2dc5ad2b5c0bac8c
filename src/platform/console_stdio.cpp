#include "platform/console.h"

#include <cstdarg>
#include <cstdio>

void console_write(const char* text) {
  fputs(text, stdout);
  fflush(stdout);
}

void console_write_line(const char* text) {
  fputs(text, stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

void console_printf(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vfprintf(stdout, format, arguments);
  va_end(arguments);
  fflush(stdout);
}
