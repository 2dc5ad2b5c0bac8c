#include "proxy/forward_head.h"

#include <cctype>
#include <cstring>

namespace {

constexpr size_t kMethodMax = 15;
constexpr size_t kTargetMax = 511;
constexpr size_t kVersionMax = 31;
constexpr char kHttpScheme[] = "http://";
constexpr char kConnectionClose[] = "Connection: close\r\n\r\n";
// The hop-by-hop headers that belong to the client's connection to this proxy.
constexpr const char* kAlwaysDropped[] = {"Proxy-Connection", "Proxy-Authorization", "Keep-Alive",
                                          "Connection"};

int is_visible(char ch) { return ch >= 0x21 && ch <= 0x7E; }

int is_blank(char ch) { return ch == ' ' || ch == '\t'; }

int equal_ignoring_case(const char* a, const char* b, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) {
      return 0;
    }
  }
  return 1;
}

int name_is(const char* name, size_t length, const char* expected) {
  return length == strlen(expected) && equal_ignoring_case(name, expected, length);
}

// Reads one token of visible bytes at head[*at], 1 to max bytes long, ended by
// the byte end. Returns 1 and moves *at behind end.
int read_token(const char* head, size_t limit, size_t* at, size_t max, char end, HeadSpan* span) {
  span->offset = *at;
  while (*at < limit && is_visible(head[*at])) ++*at;
  span->length = *at - span->offset;
  if (span->length == 0 || span->length > max || *at >= limit || head[*at] != end) return 0;
  ++*at;
  return 1;
}

// Reads the authority [begin, end) of the URL: "host", "host:port",
// "[host]" or "[host]:port"; the port digits only, 1 to 65535; no "@".
int read_authority(const char* begin, const char* end, ConnectTarget* target) {
  if (memchr(begin, '@', static_cast<size_t>(end - begin)) != nullptr) return 0;
  const char* host = begin;
  const char* host_end;
  const char* rest;
  if (begin < end && *begin == '[') {
    host = begin + 1;
    host_end = static_cast<const char*>(memchr(host, ']', static_cast<size_t>(end - host)));
    if (host_end == nullptr) return 0;
    rest = host_end + 1;
  } else {
    host_end = static_cast<const char*>(memchr(begin, ':', static_cast<size_t>(end - begin)));
    if (host_end == nullptr) host_end = end;
    rest = host_end;
  }
  const size_t host_length = static_cast<size_t>(host_end - host);
  // A cut host would reach another server, so a long one is refused.
  if (host_length == 0 || host_length > kSocksTextMax) return 0;
  long port = 80;
  if (rest < end) {
    if (*rest != ':' || rest + 1 == end || end - (rest + 1) > 5) return 0;
    port = 0;
    for (const char* p = rest + 1; p < end; ++p) {
      if (*p < '0' || *p > '9') return 0;
      port = port * 10 + (*p - '0');
    }
    if (port < 1 || port > 65535) return 0;
  }
  memcpy(target->host, host, host_length);
  target->host[host_length] = '\0';
  target->port = static_cast<uint16_t>(port);
  return 1;
}

// Adds the comma-separated names of a Connection value [begin, end).
int collect_connection_tokens(const char* head, const char* begin, const char* end,
                              ForwardRequest* request) {
  while (begin < end) {
    const char* comma =
        static_cast<const char*>(memchr(begin, ',', static_cast<size_t>(end - begin)));
    const char* stop = comma != nullptr ? comma : end;
    const char* first = begin;
    while (first < stop && is_blank(*first)) ++first;
    const char* last = stop;
    while (last > first && is_blank(last[-1])) --last;
    if (last > first) {
      if (request->connection_token_count == kForwardConnectionTokensMax) return 0;
      HeadSpan* token = &request->connection_tokens[request->connection_token_count++];
      token->offset = static_cast<size_t>(first - head);
      token->length = static_cast<size_t>(last - first);
    }
    begin = comma != nullptr ? comma + 1 : end;
  }
  return 1;
}

int header_is_dropped(const char* head, const ForwardRequest* request, const char* name,
                      size_t length) {
  for (const char* dropped : kAlwaysDropped) {
    if (name_is(name, length, dropped)) return 1;
  }
  for (size_t i = 0; i < request->connection_token_count; ++i) {
    const HeadSpan& token = request->connection_tokens[i];
    if (token.length == length && equal_ignoring_case(head + token.offset, name, length)) return 1;
  }
  return 0;
}

// Appends [data, data + length) to out at *used, within capacity.
int append(char* out, size_t capacity, size_t* used, const char* data, size_t length) {
  if (length > capacity - *used) return 0;
  memcpy(out + *used, data, length);
  *used += length;
  return 1;
}

}  // namespace

int forward_request_parse(const char* head, size_t head_end, ForwardRequest* request) {
  if (head_end < 4) return 0;
  // Line ends are CRLF only: a bare CR or LF could end a line for the origin
  // that is not one here, and smuggle a header that must be dropped.
  for (size_t i = 0; i < head_end; ++i) {
    if (head[i] == '\r' && (i + 1 == head_end || head[i + 1] != '\n')) return 0;
    if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) return 0;
  }
  size_t at = 0;
  if (!read_token(head, head_end, &at, kMethodMax, ' ', &request->method)) return 0;
  if (name_is(head, request->method.length, "CONNECT")) return 0;
  HeadSpan target;
  if (!read_token(head, head_end, &at, kTargetMax, ' ', &target)) return 0;
  if (!read_token(head, head_end, &at, kVersionMax, '\r', &request->version)) return 0;
  request->headers = at + 1;  // behind the line feed
  request->head_end = head_end;

  const size_t scheme_length = strlen(kHttpScheme);
  const char* url = head + target.offset;
  const char* url_end = url + target.length;
  if (target.length < scheme_length || !equal_ignoring_case(url, kHttpScheme, scheme_length)) {
    return 0;
  }
  const char* authority = url + scheme_length;
  const char* authority_end = authority;
  while (authority_end < url_end && *authority_end != '/' && *authority_end != '?' &&
         *authority_end != '#') {
    ++authority_end;
  }
  if (!read_authority(authority, authority_end, &request->target)) return 0;
  // The fragment is the client's own and never sent.
  const char* fragment = static_cast<const char*>(
      memchr(authority_end, '#', static_cast<size_t>(url_end - authority_end)));
  request->path.offset = static_cast<size_t>(authority_end - head);
  request->path.length =
      static_cast<size_t>((fragment != nullptr ? fragment : url_end) - authority_end);

  request->connection_token_count = 0;
  // Header lines up to the blank line's final CRLF.
  const size_t headers_end = head_end - 2;
  for (size_t line = request->headers; line < headers_end;) {
    const char* begin = head + line;
    const char* end = static_cast<const char*>(memchr(begin, '\r', headers_end - line));
    if (end == nullptr) return 0;
    const char* colon =
        static_cast<const char*>(memchr(begin, ':', static_cast<size_t>(end - begin)));
    if (colon == nullptr || colon == begin) return 0;
    for (const char* p = begin; p < colon; ++p) {
      if (!is_visible(*p)) return 0;  // also refuses a folded line
    }
    if (name_is(begin, static_cast<size_t>(colon - begin), "Connection") &&
        !collect_connection_tokens(head, colon + 1, end, request)) {
      return 0;
    }
    line = static_cast<size_t>(end - head) + 2;
  }
  return 1;
}

size_t forward_head_rewrite(const char* head, const ForwardRequest* request, char* out,
                            size_t capacity) {
  size_t used = 0;
  const HeadSpan& path = request->path;
  const int needs_slash = path.length == 0 || head[path.offset] != '/';
  if (!append(out, capacity, &used, head + request->method.offset, request->method.length) ||
      !append(out, capacity, &used, " ", 1) ||
      (needs_slash && !append(out, capacity, &used, "/", 1)) ||
      !append(out, capacity, &used, head + path.offset, path.length) ||
      !append(out, capacity, &used, " ", 1) ||
      !append(out, capacity, &used, head + request->version.offset, request->version.length) ||
      !append(out, capacity, &used, "\r\n", 2)) {
    return 0;
  }
  const size_t headers_end = request->head_end - 2;
  for (size_t line = request->headers; line < headers_end;) {
    const char* begin = head + line;
    const char* end = static_cast<const char*>(memchr(begin, '\r', headers_end - line));
    const char* colon =
        static_cast<const char*>(memchr(begin, ':', static_cast<size_t>(end - begin)));
    const size_t next = static_cast<size_t>(end - head) + 2;
    if (!header_is_dropped(head, request, begin, static_cast<size_t>(colon - begin)) &&
        !append(out, capacity, &used, begin, next - line)) {
      return 0;
    }
    line = next;
  }
  if (!append(out, capacity, &used, kConnectionClose, strlen(kConnectionClose))) return 0;
  return used;
}
