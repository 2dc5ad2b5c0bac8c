// The one record that the driver, the listener thread and every tunnel thread
// share for the whole run.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net.h"
#include "socks/socks_wire.h"

// The loopback address, the only one the local proxy listens on: it is open
// to every local program and to nothing else. A literal, to build texts from.
#define LUMARET_LOOPBACK_ADDRESS "127.0.0.1"

// The defaults of the options, also shown by the help text.
constexpr char kDefaultSocksHost[] = LUMARET_LOOPBACK_ADDRESS;
constexpr char kDefaultSocksPort[] = "1080";
constexpr uint16_t kDefaultHttpPort = 18118;

// The longest upstream port text: a number or a service name for the resolver.
constexpr size_t kSocksPortMax = 15;

// The addresses that always skip the proxy; the user's own follow them.
constexpr char kLauncherBypass[] = "<local>;localhost;" LUMARET_LOOPBACK_ADDRESS;
// The whole bypass list, the launcher's entries included, is at most this many
// characters: the proxy settings read a value of 2048 bytes with its NUL.
constexpr size_t kProxyBypassMax = 2047;

// What the local proxy does with a request other than CONNECT.
enum PlainHttpMode {
  kPlainHttpRefuse = 0,  // the 405 response
  kPlainHttpForward = 1  // an absolute http:// request goes on through the SOCKS5 server
};

struct ProxyContext {
  char socks_host[kSocksTextMax + 1];  // upstream SOCKS5 host, always NUL-terminated
  char socks_port[kSocksPortMax + 1];  // upstream SOCKS5 port text, always NUL-terminated
  // SOCKS5 login, set before the listener starts; an empty user means none is
  // offered. The password is never printed, stored or passed on.
  char socks_user[kSocksTextMax + 1];
  char socks_password[kSocksTextMax + 1];
  uint16_t http_port;  // local proxy port on the loopback address
  // kLauncherBypass, then the user's own entries, separated by ";".
  char proxy_bypass[kProxyBypassMax + 1];
  PlainHttpMode plain_http_mode;
  // Set to 1 by the shutdown (exchange); read by the listener between accepts.
  std::atomic<int32_t> stop_requested;
  // Raised by tunnels whose host is the app's; reset and read by the driver.
  std::atomic<int32_t> app_tunnel_count;
  // The listening socket while the listener runs, kInvalidSocket otherwise.
  // Whoever exchanges it for kInvalidSocket first closes it, so it is closed
  // exactly once.
  std::atomic<NetSocket> listen_socket;
};

// Sets every field to its default (the k* defaults above), no login, the
// launcher's bypass alone, plain HTTP refused, both counters 0, no listening
// socket; the rest of the texts zero.
void proxy_context_set_defaults(ProxyContext* context);
