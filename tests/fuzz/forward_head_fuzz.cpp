// The bytes a client sends to the local proxy in forward mode, read into the
// tunnel's head buffer, parsed as a plain http:// request and rewritten.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "proxy/forward_head.h"

namespace {

std::string lower(std::string text) {
  for (char& ch : text) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  return text;
}

std::string trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The header lines of a head (between the request line and the blank line),
// each as its name and value; a line without a colon has an empty value.
std::vector<std::pair<std::string, std::string>> header_lines(const std::string& head) {
  std::vector<std::pair<std::string, std::string>> lines;
  size_t at = head.find("\r\n") + 2;
  while (at + 2 <= head.size()) {
    size_t end = head.find("\r\n", at);
    if (end == at || end == std::string::npos) break;
    std::string line = head.substr(at, end - at);
    size_t colon = line.find(':');
    lines.push_back({line.substr(0, colon),
                     colon == std::string::npos ? "" : line.substr(colon + 1)});
    at = end + 2;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static char head[kHeadCapacity + 1];
  size_t length = size < kHeadCapacity ? size : kHeadCapacity;
  memcpy(head, data, length);
  head[length] = '\0';
  const size_t head_end = connect_head_end(head);
  ForwardRequest request;
  if (!forward_request_parse(head, head_end, &request)) return 0;
  FUZZ_CHECK(head_end != 0);
  FUZZ_CHECK(request.target.host[0] != '\0' && request.target.port >= 1);
  FUZZ_CHECK(memchr(request.target.host, '\0', sizeof(request.target.host)) != nullptr);

  // Exactly the rewritten head's buffer, so that a write past it is caught.
  std::vector<char> out(kForwardHeadCapacity);
  const size_t written = forward_head_rewrite(head, &request, out.data(), out.size());
  FUZZ_CHECK(written != 0 && written <= out.size());
  FUZZ_CHECK(written <= head_end + 12);
  const std::string original(head, head_end);
  const std::string rewritten(out.data(), written);
  const std::string close = "\r\nConnection: close\r\n\r\n";
  FUZZ_CHECK(rewritten.size() >= close.size() &&
             rewritten.compare(rewritten.size() - close.size(), close.size(), close) == 0);
  FUZZ_CHECK(rewritten.find(" /") == request.method.length);
  FUZZ_CHECK(rewritten.find("\r\n\r\n") == rewritten.size() - 4);

  // The names to drop, read from the original head on its own.
  std::set<std::string> dropped = {"proxy-connection", "proxy-authorization", "keep-alive",
                                   "connection"};
  for (const auto& line : header_lines(original)) {
    if (lower(line.first) != "connection") continue;
    size_t start = 0;
    for (;;) {
      size_t comma = line.second.find(',', start);
      std::string token = trim(line.second.substr(start, comma - start));
      if (!token.empty()) dropped.insert(lower(token));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  const auto lines = header_lines(rewritten);
  FUZZ_CHECK(!lines.empty());
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    FUZZ_CHECK(dropped.count(lower(lines[i].first)) == 0);
  }
  FUZZ_CHECK(lines.back().first == "Connection" && lines.back().second == " close");

  // One byte less does not fit.
  FUZZ_CHECK(forward_head_rewrite(head, &request, out.data(), written - 1) == 0);
  return 0;
}
