// The bytes a client sends to the local proxy in forward mode, read into the
// tunnel's head buffer, parsed as a plain http:// request and rewritten.
#include <algorithm>
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
    lines.push_back(
        {line.substr(0, colon), colon == std::string::npos ? "" : line.substr(colon + 1)});
    at = end + 2;
  }
  return lines;
}

// The names a head's Connection headers list, lower case, with those always
// dropped.
std::set<std::string> dropped_names(const std::string& head, std::set<std::string> dropped) {
  for (const auto& line : header_lines(head)) {
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
  return dropped;
}

// Scans body in pieces of piece bytes. Returns the result and sets *consumed.
int scan_in_pieces(ForwardBodyScan scan, const std::string& body, size_t piece, size_t* consumed) {
  *consumed = 0;
  int result = kBodyMore;
  while (result == kBodyMore && *consumed < body.size()) {
    size_t taken = 0;
    const size_t length = std::min(piece, body.size() - *consumed);
    result = forward_body_scan(&scan, body.data() + *consumed, length, &taken);
    FUZZ_CHECK(taken <= length);
    FUZZ_CHECK(result != kBodyMore || taken == length);
    *consumed += taken;
  }
  return result;
}

// The origin's response head: rewritten, it keeps the status line and every
// other line in order, drops the hop-by-hop ones and ends in one
// "Connection: close".
void check_response(const char* head, size_t head_end) {
  ForwardResponse response;
  if (!forward_response_parse(head, head_end, 0, &response)) return;
  FUZZ_CHECK(response.status >= 100 && response.status <= 999);
  std::vector<char> out(kForwardHeadCapacity);
  const size_t written = forward_response_rewrite(head, &response, out.data(), out.size());
  FUZZ_CHECK(written != 0 && written <= head_end + 19);
  const std::string original(head, head_end);
  const std::string rewritten(out.data(), written);
  FUZZ_CHECK(rewritten.compare(0, response.headers, original, 0, response.headers) == 0);
  const std::set<std::string> dropped =
      dropped_names(original, {"proxy-connection", "keep-alive", "connection"});
  std::vector<std::pair<std::string, std::string>> kept;
  for (const auto& line : header_lines(original)) {
    if (dropped.count(lower(line.first)) == 0) kept.push_back(line);
  }
  kept.push_back({"Connection", " close"});
  FUZZ_CHECK(header_lines(rewritten) == kept);
  FUZZ_CHECK(rewritten.find("\r\n\r\n") == rewritten.size() - 4);
  FUZZ_CHECK(forward_response_rewrite(head, &response, out.data(), written - 1) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static char head[kHeadCapacity + 1];
  size_t length = size < kHeadCapacity ? size : kHeadCapacity;
  memcpy(head, data, length);
  head[length] = '\0';
  const size_t head_end = connect_head_end(head);
  ForwardRequest request;
  if (memcmp(head, "HTTP/", 5) == 0) {
    check_response(head, head_end);
    return 0;
  }
  if (!forward_request_parse(head, head_end, &request)) return 0;
  FUZZ_CHECK(head_end != 0);
  FUZZ_CHECK(request.target.host[0] != '\0' && request.target.port >= 1);
  FUZZ_CHECK(memchr(request.target.host, '\0', sizeof(request.target.host)) != nullptr);

  // Exactly the rewritten head's buffer, so that a write past it is caught.
  std::vector<char> out(kForwardHeadCapacity);
  const size_t written = forward_head_rewrite(head, &request, out.data(), out.size());
  FUZZ_CHECK(written != 0 && written <= out.size());
  FUZZ_CHECK(written <= head_end + 21);
  const std::string original(head, head_end);
  const std::string rewritten(out.data(), written);
  const std::string close = "\r\nConnection: close\r\n\r\n";
  FUZZ_CHECK(rewritten.size() >= close.size() &&
             rewritten.compare(rewritten.size() - close.size(), close.size(), close) == 0);
  FUZZ_CHECK(rewritten.find(" /") == request.method.length);
  FUZZ_CHECK(rewritten.find("\r\n\r\n") == rewritten.size() - 4);

  // The names to drop, read from the original head on its own.
  const std::set<std::string> dropped = dropped_names(
      original, {"proxy-connection", "proxy-authorization", "keep-alive", "connection", "host"});
  const auto lines = header_lines(rewritten);
  FUZZ_CHECK(!lines.empty());
  // One Host line, first, with the URL's host.
  FUZZ_CHECK(lower(lines[0].first) == "host" &&
             lines[0].second.find(request.target.host) != std::string::npos);
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    FUZZ_CHECK(dropped.count(lower(lines[i].first)) == 0);
  }
  FUZZ_CHECK(lines.back().first == "Connection" && lines.back().second == " close");

  // One byte less does not fit.
  FUZZ_CHECK(forward_head_rewrite(head, &request, out.data(), written - 1) == 0);

  // The body: what follows the head in the input. Its end is the same in any
  // pieces, and bytes behind it are never taken for it.
  if (!forward_request_framing(head, &request)) return 0;
  const std::string body(reinterpret_cast<const char*>(data) + head_end, size - head_end);
  size_t whole = 0;
  const int result = scan_in_pieces(request.body, body, body.size() + 1, &whole);
  for (size_t piece : {size_t{1}, size_t{5}}) {
    size_t consumed = 0;
    FUZZ_CHECK(scan_in_pieces(request.body, body, piece, &consumed) == result);
    FUZZ_CHECK(consumed == whole);
  }
  if (result == kBodyDone) {
    size_t consumed = 0;
    FUZZ_CHECK(scan_in_pieces(request.body, body + "GET http://x/ HTTP/1.1\r\n\r\n", 3,
                              &consumed) == kBodyDone);
    FUZZ_CHECK(consumed == whole);
  }
  if (request.body.kind == kBodyLength) {
    FUZZ_CHECK(whole == std::min<uint64_t>(request.body.remaining, body.size()));
  }
  return 0;
}
