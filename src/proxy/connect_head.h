// The HTTP side of the local proxy as pure functions over the received bytes:
// finding the end of a request head, reading its CONNECT target and splitting
// the target into host and port.
#pragma once

#include <cstddef>
#include <cstdint>

#include "socks/socks_wire.h"

// Size of the request head buffer, without its terminating NUL.
constexpr size_t kHeadCapacity = 16384;

// The fixed responses of the proxy.
extern const char kResponseRefused[];      // 405, 73 bytes
extern const char kResponseBadRequest[];   // 400, 66 bytes: a forwarded body's length is ambiguous
extern const char kResponseBadGateway[];   // 502, 66 bytes
extern const char kResponseEstablished[];  // 200, 76 bytes

// What a request head asks for.
struct ConnectTarget {
  char host[kSocksTextMax + 1];  // NUL-terminated, at most kSocksTextMax bytes
  uint16_t port;                 // 1 to 65535
};

// Searches the NUL-terminated text head (as received so far) for the blank line
// "\r\n\r\n". Returns the offset just behind it, or 0 when it is not there. The
// text ends at its first NUL, as the head is searched as a C string.
size_t connect_head_end(const char* head);

// The search of connect_head_end for a head that grows between receives, over
// data[0, length) (no NUL needed behind it). *searched is 0 for a new head and
// otherwise what the previous call over the same, longer-grown data left there.
// Looks only at the bytes from *searched on, and at the three before them so
// that a blank line split across receives is found; stops at the first NUL.
// Returns the offset just behind the blank line, or 0 with *searched set to
// the length of the text searched so far (the offset of its first NUL, if any).
size_t connect_head_end_next(const char* data, size_t length, size_t* searched);

// Reads a NUL-terminated head: three whitespace-separated tokens (method up to
// 15, target up to 511, version up to 31 bytes; a longer token is cut and its
// rest becomes the next token), the method "CONNECT" in any case, and a target
// of "host:port", "[host]:port", "[host]" or "host" with a port from 1 to 65535
// (443 when none is given). Returns 1 and fills target when the head is an
// acceptable CONNECT request; returns 0 when it must be refused with 405.
int connect_head_parse(const char* head, ConnectTarget* target);

// Splits a NUL-terminated target into host and port as above. Returns 1 on
// success, 0 when the target must be refused.
int connect_target_split(const char* text, ConnectTarget* target);

// Returns 1 when host contains one of the app traffic markers (case-sensitive
// substring), 0 otherwise.
int connect_host_is_app_traffic(const char* host);
