// Plain HTTP forwarding as pure functions over received bytes: reading an
// absolute http:// request, rewriting its head for the origin server, telling
// where its body ends, and rewriting the origin's response head so that the
// client learns that the connection ends with the response.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proxy/connect_head.h"

// A rewritten head is at most this long: the request line loses "http://" and
// the authority (and may gain a "/"), one "Host: " line with that authority is
// added, other headers are only dropped, and "Connection: close" is added; a
// response head only loses headers and gains "Connection: close".
constexpr size_t kForwardHeadCapacity = kHeadCapacity + 32;
// At most this many header names may be listed by Connection headers.
constexpr size_t kForwardConnectionTokensMax = 32;
// The longest chunk-size line of a chunked body (with its extensions and CRLF),
// and the longest trailer section (with its final CRLF).
constexpr size_t kChunkLineMax = 4096;
constexpr size_t kChunkTrailerMax = kHeadCapacity;

// A span of the received head.
struct HeadSpan {
  size_t offset;
  size_t length;
};

// How a message's body ends.
enum ForwardBodyKind {
  kBodyNone = 0,       // no body
  kBodyLength = 1,     // exactly length bytes
  kBodyChunked = 2,    // chunks up to the last chunk and its trailer section
  kBodyUntilClose = 3  // whatever comes until the sender closes (responses only)
};

// Where a body stands while it passes: its kind and what is still missing.
struct ForwardBodyScan {
  int kind;            // ForwardBodyKind
  uint64_t remaining;  // kBodyLength: bytes still to come; kBodyChunked: of the chunk
  int state;           // kBodyChunked: where in the chunk syntax the scan stands
  size_t line_length;  // kBodyChunked: bytes of the current size line or trailer so far
  int size_digits;     // kBodyChunked: significant hex digits of the current size
};

// The names listed by Connection headers, which name hop-by-hop headers.
struct HopNames {
  HeadSpan tokens[kForwardConnectionTokensMax];
  size_t count;
};

// What forward_request_parse read; the spans point into the head it was given.
struct ForwardRequest {
  ConnectTarget target;  // the URL's host (brackets removed) and port, 80 by default
  HeadSpan method;
  HeadSpan path;  // path and query, fragment excluded; may be empty or start with "?"
  HeadSpan version;
  size_t headers;   // offset of the first header line, behind the request line
  size_t head_end;  // offset just behind the blank line
  HopNames hop;
  ForwardBodyScan body;  // the body's framing, set by forward_request_framing
};

// What forward_response_parse read from an origin's response head.
struct ForwardResponse {
  int status;       // 100 to 999
  int interim;      // 1 for a 1xx answer other than 101, which a final answer follows
  size_t headers;   // offset of the first header line, behind the status line
  size_t head_end;  // offset just behind the blank line
  HopNames hop;
  ForwardBodyScan body;  // the body's framing
};

// Results of forward_body_scan.
enum ForwardBodyResult {
  kBodyMore = 0,  // every byte given belongs to the body, which goes on
  kBodyDone = 1,  // the body ended after *consumed bytes; the rest is not its own
  kBodyBad = 2    // the body's framing broke after *consumed valid bytes
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
// Connection headers. Returns 1 and fills request (all but its body); 0 when
// the request must be refused with 405.
int forward_request_parse(const char* head, size_t head_end, ForwardRequest* request);

// Reads the framing of a parsed request's body into request->body: chunked for
// one Transfer-Encoding header of the single coding "chunked" (any case) and no
// Content-Length; the length of one Content-Length of 1 to 19 plain decimal
// digits and no Transfer-Encoding; none without either. Returns 1; 0 when the
// length is ambiguous (both headers, two Content-Length headers or values,
// another value or coding) and the request must be refused with 400.
int forward_request_framing(const char* head, ForwardRequest* request);

// Writes the head to send to the origin into out (capacity bytes, no NUL
// written): the request line in origin form (method, the path or "/", the
// version), "Host: " with the URL's authority (the port left out when it is
// 80), the header lines in their order and bytes except Host, Proxy-Connection,
// Proxy-Authorization, Keep-Alive, Connection and those Connection names
// (names in any case), then "Connection: close" and the blank line. Returns the
// byte count, or 0 when it would not fit capacity.
size_t forward_head_rewrite(const char* head, const ForwardRequest* request, char* out,
                            size_t capacity);

// Reads head[0, head_end), a complete response head ending in its blank line,
// as the origin's answer to a request whose method was HEAD when head_request
// is 1: the status line "HTTP/" ... SP three digits (then SP or CR), header
// lines as forward_request_parse takes them, and the body's framing (none for
// 1xx, 204, 304 and a HEAD request's answer; until the close after 101; chunked when the last
// coding of Transfer-Encoding is chunked, otherwise until the close when it is present; a
// Content-Length whose values are all the same decimal number; otherwise until the close). Returns
// 1 and fills response; 0 when the head is malformed or its length ambiguous, which the client gets
// as the 502 response.
int forward_response_parse(const char* head, size_t head_end, int head_request,
                           ForwardResponse* response);

// Writes the response head for the client into out (capacity bytes, no NUL):
// the status line and header lines in their bytes and order except
// Connection, Keep-Alive, Proxy-Connection and those Connection names, then
// "Connection: close" and the blank line. Returns the byte count, or 0 when it
// would not fit capacity.
size_t forward_response_rewrite(const char* head, const ForwardResponse* response, char* out,
                                size_t capacity);

// Starts the scan of a body of kind (ForwardBodyKind) and, for kBodyLength, length.
void forward_body_start(ForwardBodyScan* scan, int kind, uint64_t length);

// Scans data[0, length), the next bytes of a body, continuing where the
// previous call stopped (a chunked body in any pieces gives the same result).
// Returns kBodyMore with *consumed = length, or kBodyDone / kBodyBad with
// *consumed the body's bytes among them. A chunked body is bad at a size that
// is not hexadecimal or overflows 60 bits, an extension with a control byte, a
// line end other than CRLF, a size line over kChunkLineMax bytes or a trailer
// section over kChunkTrailerMax. A body of kBodyNone is done at once.
int forward_body_scan(ForwardBodyScan* scan, const char* data, size_t length, size_t* consumed);
