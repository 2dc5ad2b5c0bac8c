#include "launcher/options.h"

#include <cctype>
#include <cstring>

#include "proxy/proxy_context.h"

namespace {

// Copies at most capacity - 1 bytes and clears the rest, so the field always
// ends in NUL and a longer value keeps its first bytes.
void copy_field(char* field, size_t capacity, const char* value) {
  memset(field, 0, capacity);
  strncpy(field, value, capacity - 1);
}

// The longest bypass entry.
constexpr size_t kBypassEntryMax = 255;

// Returns 1 when the entry [entry, entry + length) equals, ASCII case ignored,
// one of the ";"-separated entries of the NUL-terminated list.
int bypass_list_holds(const char* list, const char* entry, size_t length) {
  for (const char* item = list;;) {
    const char* end = strchr(item, ';');
    size_t item_length = end != nullptr ? static_cast<size_t>(end - item) : strlen(item);
    if (item_length == length) {
      size_t i = 0;
      while (i < length && tolower(static_cast<unsigned char>(item[i])) ==
                               tolower(static_cast<unsigned char>(entry[i]))) {
        ++i;
      }
      if (i == length) return 1;
    }
    if (end == nullptr) return 0;
    item = end + 1;
  }
}

}  // namespace

int options_build_bypass(const char* value, char text[kProxyBypassMax + 1]) {
  const size_t base_length = strlen(kLauncherBypass);
  memcpy(text, kLauncherBypass, base_length + 1);
  size_t length = base_length;
  int given = 0;
  for (const char* item = value;;) {
    const char* end = strchr(item, ';');
    const char* stop = end != nullptr ? end : item + strlen(item);
    const char* first = item;
    while (first < stop && *first == ' ') ++first;
    while (stop > first && stop[-1] == ' ') --stop;
    const size_t entry_length = static_cast<size_t>(stop - first);
    if (entry_length > kBypassEntryMax) break;
    int printable = 1;
    for (const char* p = first; p < stop; ++p) {
      printable &= *p >= 0x21 && *p <= 0x7E;
    }
    if (!printable) break;
    given += entry_length != 0;
    if (entry_length != 0 && !bypass_list_holds(text, first, entry_length)) {
      if (length + 1 + entry_length > kProxyBypassMax) break;
      text[length] = ';';
      memcpy(text + length + 1, first, entry_length);
      length += 1 + entry_length;
      text[length] = '\0';
    }
    // A list of only the launcher's own entries is met already; a list of none
    // is a mistake.
    if (end == nullptr) {
      if (given == 0) break;
      return 1;
    }
    item = end + 1;
  }
  memcpy(text, kLauncherBypass, base_length + 1);
  return 0;
}

int options_is_flag(const char* name) {
  return strcmp(name, "--save-password") == 0 || strcmp(name, "--forget-password") == 0 ||
         strcmp(name, "--create-shortcut") == 0;
}

int options_is_watchdog_mode(int argc, char** argv) {
  return argc == 3 && strcmp(argv[1], "--restore-watchdog") == 0;
}

int options_convert_port(const char* text, uint16_t* port) {
  // atoi's rules, but with the range checked: atoi on a number beyond int is
  // undefined, so such a number is refused instead of guessed.
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (isspace(*p)) ++p;
  int negative = 0;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  long long magnitude = 0;
  const long long limit = negative ? 2147483648LL : 2147483647LL;
  while (*p >= '0' && *p <= '9') {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > limit) return 0;
    ++p;
  }
  long long value = negative ? -magnitude : magnitude;
  *port = static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(value)) & 0xFFFFu);
  return 1;
}

OptionsResult options_parse(int argc, char** argv, ProxyContext* context,
                            LauncherOptions* options) {
  memset(options, 0, sizeof(*options));
  int port_representable = 1;
  int user_valid = 1;
  int bypass_valid = 1;
  int plain_http_valid = 1;
  int disconnect_valid = 1;
  for (int i = 1; i < argc;) {
    const char* name = argv[i];
    if (strcmp(name, "--help") == 0) return kOptionsHelp;
    if (strcmp(name, "--version") == 0) return kOptionsVersion;
    // The flags take no value, so they are known before the missing value is
    // told: one in last position is complete.
    if (strcmp(name, "--save-password") == 0) {
      options->save_password = 1;
      i += 1;
      continue;
    }
    if (strcmp(name, "--forget-password") == 0) {
      options->forget_password = 1;
      i += 1;
      continue;
    }
    if (strcmp(name, "--create-shortcut") == 0) {
      options->create_shortcut = 1;
      i += 1;
      continue;
    }
    // The missing value is told before the name is recognised, so an unknown
    // name in last position is reported as a missing value.
    if (i + 1 >= argc) return kOptionsMissingValue;
    const char* value = argv[i + 1];
    if (strcmp(name, "--socks-host") == 0) {
      copy_field(context->socks_host, sizeof(context->socks_host), value);
    } else if (strcmp(name, "--socks-port") == 0) {
      copy_field(context->socks_port, sizeof(context->socks_port), value);
    } else if (strcmp(name, "--http-port") == 0) {
      uint16_t port = 0;
      port_representable = options_convert_port(value, &port);
      context->http_port = port_representable ? port : 0;
    } else if (strcmp(name, "--socks-user") == 0) {
      // A cut user name would log in as someone else, so a long one is refused.
      size_t length = strnlen(value, sizeof(context->socks_user));
      user_valid = length >= 1 && length < sizeof(context->socks_user);
      copy_field(context->socks_user, sizeof(context->socks_user), user_valid ? value : "");
    } else if (strcmp(name, "--log") == 0) {
      context->log_path = value;
    } else if (strcmp(name, "--bypass") == 0) {
      bypass_valid = options_build_bypass(value, context->proxy_bypass);
    } else if (strcmp(name, "--plain-http") == 0) {
      plain_http_valid = strcmp(value, "refuse") == 0 || strcmp(value, "forward") == 0;
      context->plain_http_mode = strcmp(value, "forward") == 0 ? kPlainHttpForward
                                                               : kPlainHttpRefuse;
    } else if (strcmp(name, "--on-disconnect") == 0) {
      disconnect_valid = strcmp(value, "restore") == 0 || strcmp(value, "wait") == 0;
      options->wait_on_disconnect = strcmp(value, "wait") == 0;
    } else {
      return kOptionsUnknown;
    }
    i += 2;
  }
  if (!port_representable || context->http_port == 0) return kOptionsInvalidPort;
  if (!user_valid) return kOptionsInvalidUser;
  if ((options->save_password || options->forget_password) && context->socks_user[0] == '\0') {
    return kOptionsNeedsUser;
  }
  if (!bypass_valid) return kOptionsInvalidBypass;
  if (!plain_http_valid) return kOptionsInvalidPlainHttp;
  if (!disconnect_valid) return kOptionsInvalidDisconnect;
  return kOptionsRun;
}
