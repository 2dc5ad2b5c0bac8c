// A command line built from the input: its NUL-separated pieces become the
// arguments after the program path, at most kMaxArguments of them.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "launcher/options.h"
#include "proxy/proxy_context.h"

namespace {

constexpr int kMaxArguments = 16;

// options_convert_port worked out in 64 bits: atoi's reading of the text, with
// the magnitude held below 2^40 so that it never overflows.
void reference_convert_port(const char* text, int* fits, uint16_t* port) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (isspace(*p)) ++p;
  int negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (magnitude < (int64_t{1} << 40)) magnitude = magnitude * 10 + (*p - '0');
  }
  int64_t value = negative ? -magnitude : magnitude;
  *fits = value >= INT32_MIN && value <= INT32_MAX;
  *port = static_cast<uint16_t>(static_cast<uint64_t>(value) & 0xFFFFu);
}

void check_convert_port(const char* text) {
  int fits = 0;
  uint16_t expected = 0;
  reference_convert_port(text, &fits, &expected);
  uint16_t port = 0xBEEF;
  int converted = options_convert_port(text, &port);
  FUZZ_CHECK(converted == fits);
  if (converted) FUZZ_CHECK(port == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The pieces keep their own NULs; the last one gets its NUL here.
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  char program[] = "LumaretDesktopProxyLauncher.exe";
  char* argv[kMaxArguments + 2] = {program};
  int argc = 1;
  for (size_t start = 0; start < text.size() && argc <= kMaxArguments;) {
    argv[argc++] = &text[start];
    start += strlen(&text[start]) + 1;
  }
  argv[argc] = nullptr;

  int watchdog = options_is_watchdog_mode(argc, argv);
  FUZZ_CHECK(watchdog == 0 || watchdog == 1);

  ProxyContext context;
  proxy_context_set_defaults(&context);
  LauncherOptions options;
  OptionsResult result = options_parse(argc, argv, &context, &options);
  FUZZ_CHECK(result >= kOptionsRun && result <= kOptionsVersion);
  FUZZ_CHECK(memchr(context.socks_host, '\0', sizeof(context.socks_host)) != nullptr);
  FUZZ_CHECK(memchr(context.socks_port, '\0', sizeof(context.socks_port)) != nullptr);
  FUZZ_CHECK(memchr(context.socks_user, '\0', sizeof(context.socks_user)) != nullptr);
  FUZZ_CHECK(memchr(context.proxy_bypass, '\0', sizeof(context.proxy_bypass)) != nullptr);
  if (result == kOptionsRun) FUZZ_CHECK(context.http_port != 0);
  if (result == kOptionsRun && (options.save_password || options.forget_password)) {
    FUZZ_CHECK(context.socks_user[0] != '\0');
  }

  for (int i = 1; i < argc; ++i) check_convert_port(argv[i]);
  return 0;
}
