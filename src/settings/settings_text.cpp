#include "settings/settings_text.h"

#include <cstdio>
#include <cstring>

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

int settings_parse_proxy_server(const char* text, size_t length, uint16_t* port) {
  static const char kPrefix[] = "http=" LUMARET_LOOPBACK_ADDRESS ":";
  const size_t prefix = sizeof(kPrefix) - 1;
  if (length <= prefix || memcmp(text, kPrefix, prefix) != 0) return 0;
  unsigned value = 0;
  size_t at = prefix;
  while (at < length && at - prefix < 5 && text[at] >= '0' && text[at] <= '9') {
    value = value * 10 + static_cast<unsigned>(text[at++] - '0');
  }
  if (value == 0 || value > 65535) return 0;
  // The whole text written again from the port must be the text itself.
  char expected[64];
  const size_t bytes =
      settings_format_proxy_server(expected, sizeof(expected), static_cast<uint16_t>(value));
  if (bytes == 0 || bytes - 1 != length || memcmp(expected, text, length) != 0) return 0;
  *port = static_cast<uint16_t>(value);
  return 1;
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
