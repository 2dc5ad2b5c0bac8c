#include "proxy/forward_head.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kMethodMax = 15;
constexpr size_t kTargetMax = 511;
constexpr size_t kVersionMax = 31;
// A Content-Length of up to 19 digits fits 64 bits; a chunk size of up to 15
// hex digits leaves room for the counts added to it.
constexpr size_t kLengthDigitsMax = 19;
constexpr int kChunkSizeDigitsMax = 15;
constexpr char kHttpScheme[] = "http://";
constexpr char kConnectionClose[] = "Connection: close\r\n\r\n";
// The hop-by-hop headers that belong to the client's connection to this proxy;
// the Host line is written anew from the URL.
constexpr const char* kRequestDropped[] = {"Proxy-Connection", "Proxy-Authorization", "Keep-Alive",
                                           "Connection", "Host"};
// The hop-by-hop headers of the origin's connection to this proxy.
constexpr const char* kResponseDropped[] = {"Proxy-Connection", "Keep-Alive", "Connection"};

// Where a chunked body's scan stands.
enum ChunkState {
  kChunkSize,          // hex digits of a chunk size
  kChunkSizeBlank,     // blanks behind the size, before ";" or the line's CR
  kChunkExtension,     // behind ";", up to the line's CR
  kChunkSizeLf,        // the LF of the size line
  kChunkData,          // remaining bytes of the chunk
  kChunkDataCr,        // the CR behind the chunk's data
  kChunkDataLf,        // its LF
  kChunkTrailerStart,  // the start of a trailer line, or the final CRLF
  kChunkTrailerLine,   // a trailer line, up to its CR
  kChunkTrailerLf,     // a trailer line's LF
  kChunkFinalLf        // the final LF
};

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

int hex_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
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

// Calls visit(name, name_length, value, value_length) for each element of the
// comma-separated list [begin, end), trimmed of blanks; empty elements are
// skipped. Returns 0 as soon as visit does.
template <typename Visit>
int for_each_list_element(const char* begin, const char* end, Visit visit) {
  while (begin < end) {
    const char* comma =
        static_cast<const char*>(memchr(begin, ',', static_cast<size_t>(end - begin)));
    const char* stop = comma != nullptr ? comma : end;
    const char* first = begin;
    while (first < stop && is_blank(*first)) ++first;
    const char* last = stop;
    while (last > first && is_blank(last[-1])) --last;
    if (last > first && !visit(first, static_cast<size_t>(last - first))) return 0;
    begin = comma != nullptr ? comma + 1 : end;
  }
  return 1;
}

// One header line of a head: its name and its value, trimmed of blanks.
struct HeaderLine {
  const char* name;
  size_t name_length;
  const char* value;
  const char* value_end;
  size_t next;  // offset of the next line
};

// Reads the header line at head[line] (a head whose line ends were checked),
// up to headers_end. Returns 0 when it has no colon or its name is empty or
// holds a byte that is not visible (which also refuses a folded line).
int read_header_line(const char* head, size_t line, size_t headers_end, HeaderLine* out) {
  const char* begin = head + line;
  const char* end = static_cast<const char*>(memchr(begin, '\r', headers_end - line));
  if (end == nullptr) return 0;
  const char* colon =
      static_cast<const char*>(memchr(begin, ':', static_cast<size_t>(end - begin)));
  if (colon == nullptr || colon == begin) return 0;
  for (const char* p = begin; p < colon; ++p) {
    if (!is_visible(*p)) return 0;
  }
  const char* value = colon + 1;
  while (value < end && is_blank(*value)) ++value;
  const char* value_end = end;
  while (value_end > value && is_blank(value_end[-1])) --value_end;
  out->name = begin;
  out->name_length = static_cast<size_t>(colon - begin);
  out->value = value;
  out->value_end = value_end;
  out->next = static_cast<size_t>(end - head) + 2;
  return 1;
}

// Line ends are CRLF only: a bare CR or LF could end a line for the other side
// that is not one here, and smuggle a header that must be dropped. No NUL
// either, which a reader of C strings would take for the end.
int line_ends_are_crlf(const char* head, size_t head_end) {
  for (size_t i = 0; i < head_end; ++i) {
    if (head[i] == '\0') return 0;
    if (head[i] == '\r' && (i + 1 == head_end || head[i + 1] != '\n')) return 0;
    if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) return 0;
  }
  return 1;
}

// Checks every header line of head[headers, head_end - 2) and collects the
// names that Connection headers list.
int read_header_lines(const char* head, size_t headers, size_t head_end, HopNames* hop) {
  hop->count = 0;
  const size_t headers_end = head_end - 2;
  for (size_t line = headers; line < headers_end;) {
    HeaderLine header;
    if (!read_header_line(head, line, headers_end, &header)) return 0;
    if (name_is(header.name, header.name_length, "Connection") &&
        !for_each_list_element(header.value, header.value_end,
                               [&](const char* name, size_t length) {
                                 if (hop->count == kForwardConnectionTokensMax) return 0;
                                 hop->tokens[hop->count].offset = static_cast<size_t>(name - head);
                                 hop->tokens[hop->count].length = length;
                                 ++hop->count;
                                 return 1;
                               })) {
      return 0;
    }
    line = header.next;
  }
  return 1;
}

template <size_t N>
int header_is_dropped(const char* head, const HopNames* hop, const char* const (&always)[N],
                      const char* name, size_t length) {
  for (const char* dropped : always) {
    if (name_is(name, length, dropped)) return 1;
  }
  for (size_t i = 0; i < hop->count; ++i) {
    const HeadSpan& token = hop->tokens[i];
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

// Appends the header lines of head[headers, head_end - 2) that are not
// dropped, then "Connection: close" and the blank line.
template <size_t N>
int append_kept_headers(const char* head, size_t headers, size_t head_end, const HopNames* hop,
                        const char* const (&always)[N], char* out, size_t capacity, size_t* used) {
  const size_t headers_end = head_end - 2;
  for (size_t line = headers; line < headers_end;) {
    HeaderLine header;
    read_header_line(head, line, headers_end, &header);
    if (!header_is_dropped(head, hop, always, header.name, header.name_length) &&
        !append(out, capacity, used, head + line, header.next - line)) {
      return 0;
    }
    line = header.next;
  }
  return append(out, capacity, used, kConnectionClose, strlen(kConnectionClose));
}

// Reads [begin, end) as a Content-Length value: plain decimal digits, at most
// kLengthDigitsMax of them. Returns 1 and sets *length.
int read_decimal_length(const char* begin, const char* end, uint64_t* length) {
  const size_t digits = static_cast<size_t>(end - begin);
  if (digits == 0 || digits > kLengthDigitsMax) return 0;
  uint64_t value = 0;
  for (const char* p = begin; p < end; ++p) {
    if (*p < '0' || *p > '9') return 0;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  *length = value;
  return 1;
}

// What the framing headers of a head say.
struct FramingHeaders {
  int length_lines;     // Content-Length header lines
  int length_values;    // their comma-separated values
  int length_valid;     // every value is plain digits
  int lengths_differ;   // two values give different numbers
  uint64_t length;      // the first value's number
  int encoding_lines;   // Transfer-Encoding header lines
  int encodings;        // their codings, over all lines
  int last_is_chunked;  // the last coding is "chunked"
};

void read_framing_headers(const char* head, size_t headers, size_t head_end,
                          FramingHeaders* framing) {
  memset(framing, 0, sizeof(*framing));
  framing->length_valid = 1;
  const size_t headers_end = head_end - 2;
  for (size_t line = headers; line < headers_end;) {
    HeaderLine header;
    read_header_line(head, line, headers_end, &header);
    line = header.next;
    if (name_is(header.name, header.name_length, "Content-Length")) {
      ++framing->length_lines;
      if (header.value == header.value_end) framing->length_valid = 0;
      for_each_list_element(header.value, header.value_end, [&](const char* value, size_t length) {
        uint64_t number = 0;
        if (!read_decimal_length(value, value + length, &number)) framing->length_valid = 0;
        if (framing->length_values == 0) framing->length = number;
        if (number != framing->length) framing->lengths_differ = 1;
        ++framing->length_values;
        return 1;
      });
    } else if (name_is(header.name, header.name_length, "Transfer-Encoding")) {
      ++framing->encoding_lines;
      for_each_list_element(header.value, header.value_end, [&](const char* coding, size_t length) {
        ++framing->encodings;
        framing->last_is_chunked = name_is(coding, length, "chunked");
        return 1;
      });
    }
  }
}

// Counts one byte of a size line or trailer section, within max.
int take_line_byte(ForwardBodyScan* scan, size_t* at, size_t max) {
  if (scan->line_length == max) return 0;
  ++scan->line_length;
  ++*at;
  return 1;
}

}  // namespace

int forward_request_parse(const char* head, size_t head_end, ForwardRequest* request) {
  if (head_end < 4 || !line_ends_are_crlf(head, head_end)) return 0;
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
  forward_body_start(&request->body, kBodyNone, 0);
  return read_header_lines(head, request->headers, head_end, &request->hop);
}

int forward_request_framing(const char* head, ForwardRequest* request) {
  FramingHeaders framing;
  read_framing_headers(head, request->headers, request->head_end, &framing);
  if (framing.encoding_lines > 0) {
    // Only one plain "chunked" tells where the body ends; with a
    // Content-Length beside it, the origin might read another length.
    if (framing.length_lines > 0 || framing.encoding_lines != 1 || framing.encodings != 1 ||
        !framing.last_is_chunked) {
      return 0;
    }
    forward_body_start(&request->body, kBodyChunked, 0);
    return 1;
  }
  if (framing.length_lines == 0) {
    forward_body_start(&request->body, kBodyNone, 0);
    return 1;
  }
  if (framing.length_lines != 1 || framing.length_values != 1 || !framing.length_valid) return 0;
  forward_body_start(&request->body, kBodyLength, framing.length);
  return 1;
}

size_t forward_head_rewrite(const char* head, const ForwardRequest* request, char* out,
                            size_t capacity) {
  size_t used = 0;
  const HeadSpan& path = request->path;
  const int needs_slash = path.length == 0 || head[path.offset] != '/';
  // The authority as the origin must see it: an IPv6 host in brackets, and
  // no port when it is the default.
  const int bracketed = strchr(request->target.host, ':') != nullptr;
  char port[8] = "";
  if (request->target.port != 80) {
    snprintf(port, sizeof(port), ":%u", static_cast<unsigned>(request->target.port));
  }
  if (!append(out, capacity, &used, head + request->method.offset, request->method.length) ||
      !append(out, capacity, &used, " ", 1) ||
      (needs_slash && !append(out, capacity, &used, "/", 1)) ||
      !append(out, capacity, &used, head + path.offset, path.length) ||
      !append(out, capacity, &used, " ", 1) ||
      !append(out, capacity, &used, head + request->version.offset, request->version.length) ||
      !append(out, capacity, &used, "\r\nHost: ", 8) ||
      (bracketed && !append(out, capacity, &used, "[", 1)) ||
      !append(out, capacity, &used, request->target.host, strlen(request->target.host)) ||
      (bracketed && !append(out, capacity, &used, "]", 1)) ||
      !append(out, capacity, &used, port, strlen(port)) ||
      !append(out, capacity, &used, "\r\n", 2) ||
      !append_kept_headers(head, request->headers, request->head_end, &request->hop,
                           kRequestDropped, out, capacity, &used)) {
    return 0;
  }
  return used;
}

int forward_response_parse(const char* head, size_t head_end, int head_request,
                           ForwardResponse* response) {
  if (head_end < 16 || !line_ends_are_crlf(head, head_end) || memcmp(head, "HTTP/", 5) != 0) {
    return 0;
  }
  const char* line_end = static_cast<const char*>(memchr(head, '\r', head_end));
  const char* space =
      static_cast<const char*>(memchr(head, ' ', static_cast<size_t>(line_end - head)));
  if (space == nullptr || line_end - space < 4) return 0;
  int status = 0;
  for (int i = 1; i <= 3; ++i) {
    if (space[i] < '0' || space[i] > '9') return 0;
    status = status * 10 + (space[i] - '0');
  }
  if (status < 100 || (space[4] != ' ' && space[4] != '\r')) return 0;
  response->status = status;
  response->interim = status < 200 && status != 101;
  response->headers = static_cast<size_t>(line_end - head) + 2;
  response->head_end = head_end;
  if (!read_header_lines(head, response->headers, head_end, &response->hop)) return 0;
  FramingHeaders framing;
  read_framing_headers(head, response->headers, head_end, &framing);
  if (status == 101) {
    // Whatever follows a protocol switch is no longer HTTP.
    forward_body_start(&response->body, kBodyUntilClose, 0);
  } else if (status < 200 || status == 204 || status == 304 || head_request) {
    forward_body_start(&response->body, kBodyNone, 0);
  } else if (framing.encoding_lines > 0) {
    forward_body_start(&response->body, framing.last_is_chunked ? kBodyChunked : kBodyUntilClose,
                       0);
  } else if (framing.length_lines > 0) {
    // Two different lengths leave the end unknown: the client must not guess.
    if (!framing.length_valid || framing.lengths_differ) return 0;
    forward_body_start(&response->body, kBodyLength, framing.length);
  } else {
    forward_body_start(&response->body, kBodyUntilClose, 0);
  }
  return 1;
}

size_t forward_response_rewrite(const char* head, const ForwardResponse* response, char* out,
                                size_t capacity) {
  size_t used = 0;
  if (!append(out, capacity, &used, head, response->headers) ||
      !append_kept_headers(head, response->headers, response->head_end, &response->hop,
                           kResponseDropped, out, capacity, &used)) {
    return 0;
  }
  return used;
}

void forward_body_start(ForwardBodyScan* scan, int kind, uint64_t length) {
  scan->kind = kind;
  scan->remaining = kind == kBodyLength ? length : 0;
  scan->state = kChunkSize;
  scan->line_length = 0;
  scan->size_digits = 0;
}

int forward_body_scan(ForwardBodyScan* scan, const char* data, size_t length, size_t* consumed) {
  *consumed = 0;
  switch (scan->kind) {
    case kBodyNone:
      return kBodyDone;
    case kBodyUntilClose:
      *consumed = length;
      return kBodyMore;
    case kBodyLength: {
      const size_t taken = scan->remaining < length ? static_cast<size_t>(scan->remaining) : length;
      scan->remaining -= taken;
      *consumed = taken;
      return scan->remaining == 0 ? kBodyDone : kBodyMore;
    }
    default:
      break;
  }
  size_t at = 0;
  while (at < length) {
    const char ch = data[at];
    switch (scan->state) {
      case kChunkData: {
        // A chunk's data passes whole, without a look at each byte.
        const size_t left = length - at;
        const size_t taken = scan->remaining < left ? static_cast<size_t>(scan->remaining) : left;
        scan->remaining -= taken;
        at += taken;
        if (scan->remaining == 0) scan->state = kChunkDataCr;
        continue;
      }
      case kChunkSize: {
        const int digit = hex_value(ch);
        if (digit < 0) {
          // At least one digit, then blanks, an extension or the line's end.
          if (scan->line_length == 0) break;
          scan->state = kChunkSizeBlank;
          continue;
        }
        if (scan->size_digits > 0 || digit != 0) ++scan->size_digits;
        if (scan->size_digits > kChunkSizeDigitsMax) break;
        if (!take_line_byte(scan, &at, kChunkLineMax)) break;
        scan->remaining = scan->remaining * 16 + static_cast<uint64_t>(digit);
        continue;
      }
      case kChunkSizeBlank:
        if (ch == ';') {
          scan->state = kChunkExtension;
        } else if (ch == '\r') {
          scan->state = kChunkSizeLf;
        } else if (!is_blank(ch)) {
          break;  // "1g" is no hexadecimal size
        }
        if (!take_line_byte(scan, &at, kChunkLineMax)) break;
        continue;
      case kChunkExtension:
        if (ch == '\r') {
          scan->state = kChunkSizeLf;
        } else if ((static_cast<unsigned char>(ch) < 0x20 && ch != '\t') || ch == 0x7F) {
          break;
        }
        if (!take_line_byte(scan, &at, kChunkLineMax)) break;
        continue;
      case kChunkSizeLf:
        if (ch != '\n') break;
        ++at;
        scan->line_length = 0;
        scan->size_digits = 0;
        scan->state = scan->remaining == 0 ? kChunkTrailerStart : kChunkData;
        continue;
      case kChunkDataCr:
        if (ch != '\r') break;
        ++at;
        scan->state = kChunkDataLf;
        continue;
      case kChunkDataLf:
        if (ch != '\n') break;
        ++at;
        scan->state = kChunkSize;
        continue;
      case kChunkTrailerStart:
        if (ch == '\n' || ch == '\0') break;
        if (!take_line_byte(scan, &at, kChunkTrailerMax)) break;
        scan->state = ch == '\r' ? kChunkFinalLf : kChunkTrailerLine;
        continue;
      case kChunkTrailerLine:
        if (ch == '\n' || ch == '\0') break;
        if (!take_line_byte(scan, &at, kChunkTrailerMax)) break;
        if (ch == '\r') scan->state = kChunkTrailerLf;
        continue;
      case kChunkTrailerLf:
        if (ch != '\n' || !take_line_byte(scan, &at, kChunkTrailerMax)) break;
        scan->state = kChunkTrailerStart;
        continue;
      case kChunkFinalLf:
        if (ch != '\n') break;
        *consumed = at + 1;
        scan->kind = kBodyNone;
        return kBodyDone;
      default:
        break;
    }
    *consumed = at;
    return kBodyBad;
  }
  *consumed = length;
  return kBodyMore;
}
