// The local proxy's listener: one thread that accepts connections on
// 127.0.0.1 at the context's port and gives each to a tunnel thread of its own.
#pragma once

#include "platform/net.h"

struct ProxyContext;

// Hands one accepted connection and the run's context to its tunnel thread.
// Allocated by the listener with malloc; the tunnel thread frees it at once
// after copying both fields (the listener frees it if no thread starts).
struct TunnelStart {
  NetSocket client_socket;
  ProxyContext* context;
};

// Listener thread body; argument is the run's ProxyContext. Publishes the
// listening socket in listen_socket, then accepts until stop_requested is seen
// set or the listening socket is closed. Passing accept failures (a client
// that reset before it was accepted, an interrupted call, descriptors or
// buffers running out, after a short pause) do not end it. Returns 1 when no
// socket could be created, 2 when bind or listen failed, 0 otherwise.
unsigned run_proxy_listener(void* argument);

// The shutdown's side of the stop protocol: raises stop_requested and closes the
// listening socket if the listener still holds one, which wakes its accept. The
// socket is closed exactly once, by whichever side takes it out of
// listen_socket first.
void proxy_listener_stop(ProxyContext* context);
