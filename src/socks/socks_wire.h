// The SOCKS5 client's byte formats (no authentication or a user name and
// password, CONNECT by domain name), as pure functions over buffers so they are
// tested without sockets.
#pragma once

#include <cstddef>
#include <cstdint>

// The greeting: version 5, one method, "no authentication".
constexpr unsigned char kSocksGreeting[3] = {0x05, 0x01, 0x00};
// The greeting with a user name: version 5, two methods, "no authentication"
// and "user name and password".
constexpr unsigned char kSocksGreetingWithLogin[4] = {0x05, 0x02, 0x00, 0x02};
// The longest host name, user name or password SOCKS5 can carry: each is sent
// behind a one-byte length. Buffers for them hold this many bytes and a NUL.
constexpr size_t kSocksTextMax = 255;
// Largest CONNECT request: 7 bytes of framing and the longest host.
constexpr size_t kSocksRequestMax = 7 + kSocksTextMax;
// Largest login request: 3 bytes of framing, the longest user and password.
constexpr size_t kSocksLoginRequestMax = 3 + kSocksTextMax + kSocksTextMax;

// Methods a server may choose.
constexpr int kSocksMethodNone = 0x00;
constexpr int kSocksMethodLogin = 0x02;

// Given the 2-byte method selection and whether the greeting offered a login,
// returns the method the server chose: kSocksMethodNone, kSocksMethodLogin
// (only when it was offered), or -1 for anything else (another version, a
// method not offered, 0xFF "none acceptable").
int socks_method_chosen(const unsigned char reply[2], int login_offered);

// Writes the user name and password sub-negotiation request (version 1, then
// each text behind its one-byte length) into out, which holds capacity bytes.
// Both lengths must be 1 to 255. Returns the request's length (3 + both
// lengths), or 0 when a length is out of range or the request does not fit;
// nothing is written then.
size_t socks_build_login_request(const char* user, size_t user_length, const char* password,
                                 size_t password_length, unsigned char* out, size_t capacity);

// Returns 1 when the 2-byte answer to the login request is exactly 01 00
// (version 1, success), 0 otherwise.
int socks_login_accepted(const unsigned char reply[2]);

// Sets length bytes at data to zero in a way the compiler keeps, for buffers
// that held a password.
void socks_wipe(void* data, size_t length);

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
