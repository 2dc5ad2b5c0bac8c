// The SOCKS5 client's byte formats (no authentication, CONNECT by domain
// name), as pure functions over buffers so they are tested without sockets.
#pragma once

#include <cstddef>
#include <cstdint>

// The greeting: version 5, one method, "no authentication".
constexpr unsigned char kSocksGreeting[3] = {0x05, 0x01, 0x00};
// Largest CONNECT request: 7 bytes of framing and a 255-byte host.
constexpr size_t kSocksRequestMax = 7 + 255;

// Returns 1 when the 2-byte method selection accepts "no authentication".
int socks_method_accepted(const unsigned char reply[2]);

// Writes the CONNECT request for host (host_length bytes, 1 to 255) and port
// (big-endian) into out, which holds capacity bytes. Returns the request's
// length (7 + host_length), or 0 when the host length is out of range or the
// request does not fit; nothing is written then.
size_t socks_build_connect_request(const char* host, size_t host_length, uint16_t port,
                                   unsigned char* out, size_t capacity);

// Given the 4-byte reply header, returns how many bytes of bound address and
// port follow it: 6 for IPv4, 18 for IPv6, -1 for a domain name (one length byte
// N must be read first; then N + 2 follow), and 0 when the reply is a refusal or
// malformed (wrong version, reply code not 0, unknown address type).
int socks_reply_remaining(const unsigned char header[4]);
