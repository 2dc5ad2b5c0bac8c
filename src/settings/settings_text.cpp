#include "settings/settings_text.h"

#include <cstdio>

size_t settings_format_proxy_server(char* buffer, size_t capacity, uint16_t port) {
  if (capacity == 0) return 0;
  unsigned value = port;
  int length = snprintf(buffer, capacity, "http=127.0.0.1:%u;https=127.0.0.1:%u", value, value);
  if (length < 0 || static_cast<size_t>(length) >= capacity) {
    buffer[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(length) + 1;
}

int watchdog_format_command_line(char* buffer, size_t capacity, const char* program_path,
                                 unsigned long process_id) {
  if (capacity == 0) return 0;
  int length = snprintf(buffer, capacity, "\"%s\" --restore-watchdog %lu", program_path, process_id);
  if (length < 0 || static_cast<size_t>(length) >= capacity) {
    buffer[0] = '\0';
    return 0;
  }
  return 1;
}

int console_event_restores(unsigned long control_type) {
  return control_type == 0 || control_type == 1 || control_type == 2 || control_type == 6;
}
