// The upstream SOCKS5 client: the system's only SOCKS5 code. All three
// operations block, print nothing and keep no shared state, so any number of
// threads may call them at once.
#pragma once

#include <cstdint>

#include "platform/net.h"

// Resolves host and port (decimal or a service name) and returns the first TCP
// connection that succeeds, trying addresses in the resolver's order. The
// caller owns the socket. Returns kInvalidSocket when nothing connected; every
// socket tried has been closed.
NetSocket open_upstream_connection(const char* host, const char* port);

// On a socket connected to a SOCKS5 server: greets with "no authentication",
// asks to CONNECT to host (1 to 255 bytes, sent as a domain name whatever it
// looks like) at port, and reads the whole reply. Returns 1 when the server
// granted the CONNECT and its reply has been consumed (bytes behind it stay in
// the socket), 0 otherwise; a host of length 0 or above 255 fails before any
// I/O. Never closes the socket; waits as long as the socket's time-outs allow.
int socks5_connect(NetSocket socket, const char* host, uint16_t port);

// socks5_connect for a server that may ask for a login. With user null or
// empty it is socks5_connect, byte for byte. Otherwise the greeting offers
// "no authentication" and "user name and password"; when the server chooses
// the latter, user and password (each 1 to 255 bytes) are sent in the
// RFC 1929 sub-negotiation, and only the answer 01 00 lets the CONNECT go on.
// A user or password of length 0 or above 255 fails before any I/O. When
// login_rejected is not null it is set to 1 when the server answered the login
// with anything but success, else to 0. Buffers that held the password are
// wiped before it returns.
int socks5_connect_login(NetSocket socket, const char* host, uint16_t port, const char* user,
                         const char* password, int* login_rejected);

// What one SOCKS5 exchange came to, for the run's log.
struct SocksOutcome {
  // The method the server chose (kSocksMethodNone or kSocksMethodLogin); -1
  // when it chose none or did not answer. A result of 1 with kSocksMethodLogin
  // means the server asked for the login and accepted it.
  int method;
  int reply;            // the CONNECT reply's code; -1 when no reply arrived
  const char* failure;  // the step that failed, as words for the log; null on success
  // 1 when the server answered the greeting with 05 FF: none of the offered
  // methods will do, as a server that needs a login says to "no authentication".
  int none_acceptable;
};

// socks5_connect_login that also tells in *outcome (not null) how it went.
int socks5_connect_report(NetSocket socket, const char* host, uint16_t port, const char* user,
                          const char* password, int* login_rejected, SocksOutcome* outcome);

// Returns 1 when a TCP connection to host and port could be opened (it is
// closed at once and nothing is sent), 0 otherwise.
int probe_socks_alive(const char* host, const char* port);
