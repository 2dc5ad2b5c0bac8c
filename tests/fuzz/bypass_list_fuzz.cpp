// A --bypass value: the input up to its first NUL, as the command line gives it.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "launcher/options.h"

namespace {

std::string lower(std::string text) {
  for (char& ch : text) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  return text;
}

// The list worked out with strings: the launcher's entries, then the value's
// trimmed, non-empty entries not seen before (case ignored). Returns 0 for a
// value that must be refused.
int reference_build(const std::string& value, std::string* list) {
  std::vector<std::string> seen = {"<local>", "localhost", "127.0.0.1"};
  *list = kLauncherBypass;
  int given = 0;
  size_t start = 0;
  for (;;) {
    size_t end = value.find(';', start);
    std::string entry = value.substr(start, end == std::string::npos ? end : end - start);
    entry.erase(0, entry.find_first_not_of(' ') == std::string::npos ? entry.size()
                                                                      : entry.find_first_not_of(' '));
    while (!entry.empty() && entry.back() == ' ') entry.pop_back();
    if (entry.size() > 255) return 0;
    for (char ch : entry) {
      if (ch < 0x21 || ch > 0x7E) return 0;
    }
    if (!entry.empty()) {
      ++given;
      int duplicate = 0;
      for (const std::string& earlier : seen) duplicate |= earlier == lower(entry);
      if (!duplicate) {
        seen.push_back(lower(entry));
        *list += ";" + entry;
        if (list->size() > kProxyBypassMax) return 0;
      }
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return given != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  // Exactly the list's buffer, so that a write past it is caught.
  std::vector<char> text(kProxyBypassMax + 1, 'X');
  const int accepted = options_build_bypass(value.c_str(), text.data());
  FUZZ_CHECK(accepted == 0 || accepted == 1);
  FUZZ_CHECK(memchr(text.data(), '\0', text.size()) != nullptr);
  std::string expected;
  FUZZ_CHECK(accepted == reference_build(value, &expected));
  FUZZ_CHECK(std::string(text.data()) == (accepted ? expected : std::string(kLauncherBypass)));
  return 0;
}
