#include "proxy/proxy_listener.h"

#include <cstdlib>

#include "platform/thread.h"
#include "proxy/connect_tunnel.h"
#include "proxy/proxy_context.h"

namespace {

// Pause after any failure but one connection's passing one (descriptors or
// buffers ran out, the network is down, an unknown error), so that a failure
// that persists does not make the listener spin.
constexpr unsigned kAcceptPauseMs = 100;

// Closes the listening socket unless the shutdown has already taken it out of
// listen_socket (and closed it): the socket is closed exactly once.
void release_listening_socket(ProxyContext* context) {
  NetSocket listening = context->listen_socket.exchange(kInvalidSocket);
  if (listening != kInvalidSocket) net_close_listener(listening);
}

void start_tunnel(ProxyContext* context, NetSocket client) {
  TunnelStart* start = static_cast<TunnelStart*>(malloc(sizeof(TunnelStart)));
  if (start == nullptr) {
    net_close(client);
    return;
  }
  start->client_socket = client;
  start->context = context;
  if (!thread_start_detached(run_connect_tunnel, start)) {
    net_close(client);
    free(start);
  }
}

}  // namespace

unsigned run_proxy_listener(void* argument) {
  ProxyContext* context = static_cast<ProxyContext*>(argument);
  int failed_step = 0;
  NetSocket listening = net_listen_loopback(context->http_port, &failed_step);
  if (listening == kInvalidSocket) return static_cast<unsigned>(failed_step);
  context->listen_socket.store(listening);

  while (context->stop_requested.load() == 0) {
    int failure = kAcceptFailed;
    NetSocket client = net_accept(listening, &failure);
    if (client != kInvalidSocket) {
      start_tunnel(context, client);
      continue;
    }
    // Only the stop flag or the closing of the listening socket ends the
    // listener: the user's settings may point at this port for the rest of the run.
    if (context->stop_requested.load() != 0) break;
    if (context->listen_socket.load() != listening) break;
    // Anything but one connection's passing failure waits a little, so that a
    // failure that repeats costs no CPU while the listener keeps trying.
    if (failure != kAcceptRetry) thread_sleep_ms(kAcceptPauseMs);
  }
  release_listening_socket(context);
  return 0;
}

void proxy_listener_stop(ProxyContext* context) {
  context->stop_requested.exchange(1);
  release_listening_socket(context);
}
