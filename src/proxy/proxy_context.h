// The one record that the driver, the listener thread and every tunnel thread
// share for the whole run.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net.h"

struct ProxyContext {
  char socks_host[256];  // upstream SOCKS5 host, always NUL-terminated
  char socks_port[16];   // upstream SOCKS5 port text, always NUL-terminated
  // SOCKS5 login, set before the listener starts; an empty user means none is
  // offered. The password is never printed, stored or passed on.
  char socks_user[256];
  char socks_password[256];
  uint16_t http_port;    // local proxy port on 127.0.0.1
  // Set to 1 by the shutdown (exchange); read by the listener between accepts.
  std::atomic<int32_t> stop_requested;
  // Raised by tunnels whose host is the app's; reset and read by the driver.
  std::atomic<int32_t> app_tunnel_count;
  // The listening socket while the listener runs, kInvalidSocket otherwise.
  // Whoever exchanges it for kInvalidSocket first closes it, so it is closed
  // exactly once.
  std::atomic<NetSocket> listen_socket;
};

// Sets every field to its default: "127.0.0.1", "1080", 18118, no login, both
// counters 0, no listening socket; the rest of the texts zero.
void proxy_context_set_defaults(ProxyContext* context);
