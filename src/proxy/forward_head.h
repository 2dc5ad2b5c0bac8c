// Plain HTTP forwarding as pure functions over a received request head: reading
// an absolute http:// request and rewriting its head for the origin server.
#pragma once

#include <cstddef>

#include "proxy/connect_head.h"

// A rewritten head is at most this long: the request line loses at least
// "http://" and one host byte (and may gain a "/"), headers are only dropped,
// and "Connection: close" is added.
constexpr size_t kForwardHeadCapacity = kHeadCapacity + 32;
// At most this many header names may be listed by Connection headers.
constexpr size_t kForwardConnectionTokensMax = 32;

// A span of the received head.
struct HeadSpan {
  size_t offset;
  size_t length;
};

// What forward_request_parse read; the spans point into the head it was given.
struct ForwardRequest {
  ConnectTarget target;  // the URL's host (brackets removed) and port, 80 by default
  HeadSpan method;
  HeadSpan path;  // path and query, fragment excluded; may be empty or start with "?"
  HeadSpan version;
  size_t headers;   // offset of the first header line, behind the request line
  size_t head_end;  // offset just behind the blank line
  HeadSpan connection_tokens[kForwardConnectionTokensMax];  // names listed by Connection
  size_t connection_token_count;
};

// Reads head[0, head_end), a complete head ending in its blank line (head_end
// as connect_head_end gives it; 0 means none was found), as a request to
// forward: the request line "METHOD SP TARGET SP VERSION CRLF" with tokens of
// 0x21 to 0x7E (method up to 15 bytes and not CONNECT in any case, target up
// to 511, version up to 31), the target an absolute URL "http://" (scheme in
// any case) with a host of 1 to 255 bytes (or a bracketed one), an optional
// port of digits from 1 to 65535, no user information; then header lines
// "Name: value" whose names hold no white space, with CRLF line ends only and
// no folded lines, and at most kForwardConnectionTokensMax names listed by
// Connection headers. Returns 1 and fills request; 0 when the request must be
// refused with 405.
int forward_request_parse(const char* head, size_t head_end, ForwardRequest* request);

// Writes the head to send to the origin into out (capacity bytes, no NUL
// written): the request line in origin form (method, the path or "/", the
// version), the header lines in their order and bytes except Proxy-Connection,
// Proxy-Authorization, Keep-Alive, Connection and those Connection names (names
// in any case), then "Connection: close" and the blank line. Returns the byte
// count, or 0 when it would not fit capacity.
size_t forward_head_rewrite(const char* head, const ForwardRequest* request, char* out,
                            size_t capacity);
