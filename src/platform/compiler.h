// Compiler-specific annotations, each empty for compilers that do not take it.
#pragma once

// Lets GCC and Clang check a printf-style call: format_index is the position
// of the format parameter, first_argument_index that of the first value.
#if defined(__GNUC__) || defined(__clang__)
#define LUMARET_PRINTF_FORMAT(format_index, first_argument_index) \
  __attribute__((format(printf, format_index, first_argument_index)))
#else
#define LUMARET_PRINTF_FORMAT(format_index, first_argument_index)
#endif

// Keeps a function out of its callers, so that its large stack buffers are
// taken only when it runs (a thread that never calls it keeps a small stack).
#if defined(__GNUC__) || defined(__clang__)
#define LUMARET_NOINLINE __attribute__((noinline))
#else
#define LUMARET_NOINLINE
#endif
