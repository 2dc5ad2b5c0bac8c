#include "settings/settings_text.h"

#include <cstdio>

#include "proxy/proxy_context.h"

size_t settings_format_proxy_server(char* buffer, size_t capacity, uint16_t port) {
  if (capacity == 0) return 0;
  unsigned value = port;
  int length = snprintf(buffer, capacity,
                        "http=" LUMARET_LOOPBACK_ADDRESS ":%u;https=" LUMARET_LOOPBACK_ADDRESS
                        ":%u",
                        value, value);
  if (length < 0 || static_cast<size_t>(length) >= capacity) {
    buffer[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(length) + 1;
}

namespace {

// Appends text at *length unless it would leave no room for the terminator.
int append_wide(wchar_t* buffer, size_t capacity, size_t* length, const wchar_t* text) {
  for (; *text != L'\0'; ++text) {
    if (*length + 1 >= capacity) return 0;
    buffer[(*length)++] = *text;
  }
  return 1;
}

}  // namespace

int watchdog_format_command_line(wchar_t* buffer, size_t capacity, const wchar_t* program_path,
                                 unsigned long process_id) {
  if (capacity == 0) return 0;
  // The id's decimal digits, at most 20 of them, written backwards.
  wchar_t digits[24];
  size_t digit_count = 0;
  do {
    digits[digit_count++] = static_cast<wchar_t>(L'0' + process_id % 10);
    process_id /= 10;
  } while (process_id != 0);
  wchar_t id_text[24];
  for (size_t i = 0; i < digit_count; ++i) id_text[i] = digits[digit_count - 1 - i];
  id_text[digit_count] = L'\0';

  size_t length = 0;
  int fits = append_wide(buffer, capacity, &length, L"\"") &&
             append_wide(buffer, capacity, &length, program_path) &&
             append_wide(buffer, capacity, &length, L"\" --restore-watchdog ") &&
             append_wide(buffer, capacity, &length, id_text);
  buffer[fits ? length : 0] = L'\0';
  return fits;
}

int console_event_restores(unsigned long control_type) {
  return control_type == 0 || control_type == 1 || control_type == 2 || control_type == 6;
}
