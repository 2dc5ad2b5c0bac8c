// A request line with user information, as the run's log would hold it. The
// input gives a method word, a password, the rest of the URL and the form
// (absolute URL or CONNECT target); the password's bytes are the only ones
// with the high bit set, so any byte of it that came out would show.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "proxy/connect_head.h"
#include "proxy/request_log.h"

namespace {

int is_space(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int form = data[0] & 1;
  const size_t method_length = data[1] % 16;
  const size_t password_length = 1 + data[2] % 64 * 16;  // up to beyond the target buffer
  size_t at = 3;
  // The method: no white space, no "?" or "#" (which would turn the URL into a
  // query of a longer word); the password: high bytes, "@", "/" and ":".
  std::string method;
  for (; at < size && method.size() < method_length; ++at) {
    const char ch = static_cast<char>(data[at] & 0x7F);
    if (!is_space(ch) && ch != '\0' && ch != '?' && ch != '#') method += ch;
  }
  if (method.empty()) method = "GET";
  std::string password;
  for (size_t i = 0; i < password_length; ++i) {
    const uint8_t byte = at < size ? data[at++] : 0x80;
    const char special[] = {'@', '/', ':'};
    password += byte % 8 == 0 ? special[byte / 8 % 3] : static_cast<char>(byte | 0x80);
  }
  // The rest of the head: any bytes but high ones and NUL.
  std::string rest;
  for (; at < size; ++at) rest += static_cast<char>((data[at] & 0x7F) == 0 ? '.' : data[at] & 0x7F);
  const std::string head = (method + " " + (form ? "http://" : "") + "user" + password + "@" + rest)
                               .substr(0, kHeadCapacity);

  char logged_method[16];
  char logged_target[512];
  request_log_words(head.c_str(), logged_method, sizeof(logged_method), logged_target,
                    sizeof(logged_target));
  FUZZ_CHECK(strlen(logged_method) < sizeof(logged_method));
  FUZZ_CHECK(strlen(logged_target) < sizeof(logged_target));
  for (const char* text : {logged_method, logged_target}) {
    for (const char* p = text; *p != '\0'; ++p) FUZZ_CHECK((*p & 0x80) == 0);
  }
  return 0;
}
