// Console output on standard output, flushed after every write so that a
// progress line appears at once also when standard output is a file or a pipe.
#pragma once

#include "platform/compiler.h"

// Writes text as is.
void console_write(const char* text);

// Writes text followed by one "\n".
void console_write_line(const char* text);

// Writes the printf-style format with its arguments as is.
void console_printf(const char* format, ...) LUMARET_PRINTF_FORMAT(1, 2);
