// Small helpers shared by the test stand-ins (Windows only): settings from
// environment variables, paths the tests give in Unix form, time stamps and a
// line log.
#pragma once

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Copies the variable's value into value (at most size - 1 bytes and a NUL).
// Returns 1 when it is set and fits, 0 otherwise (value is then "").
inline int standin_getenv(const char* name, char* value, DWORD size) {
  value[0] = '\0';
  DWORD length = GetEnvironmentVariableA(name, value, size);
  if (length == 0 || length >= size) {
    value[0] = '\0';
    return 0;
  }
  return 1;
}

// The variable as a number, or fallback when it is not set.
inline unsigned long standin_getenv_number(const char* name, unsigned long fallback) {
  char value[32];
  if (!standin_getenv(name, value, sizeof(value))) return fallback;
  return strtoul(value, nullptr, 10);
}

// The tests run on Linux and name files by Unix paths; Wine maps the Unix root
// to drive Z:, so "/tmp/x" becomes "Z:\tmp\x". Windows paths pass unchanged.
inline void standin_windows_path(const char* path, char* out, size_t size) {
  size_t used = 0;
  out[0] = '\0';
  if (size < 3) return;
  if (path[0] == '/') {
    out[used++] = 'Z';
    out[used++] = ':';
  }
  for (; *path != '\0' && used + 1 < size; ++path) out[used++] = *path == '/' ? '\\' : *path;
  out[used] = '\0';
}

// Milliseconds since 1970-01-01 UTC, comparable with the tests' own clock.
inline unsigned long long standin_unix_ms() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) |
                             now.dwLowDateTime;
  return ticks / 10000ULL - 11644473600000ULL;
}

// Appends "<unix ms> <text>\n" to the file named by the environment variable
// (a Unix or Windows path), if set. Each line is written in one call.
inline void standin_log(const char* variable, const char* text) {
  char setting[MAX_PATH];
  if (!standin_getenv(variable, setting, sizeof(setting))) return;
  char path[MAX_PATH];
  standin_windows_path(setting, path, sizeof(path));
  FILE* file = fopen(path, "ab");
  if (file == nullptr) return;
  fprintf(file, "%llu %s\n", standin_unix_ms(), text);
  fclose(file);
}
