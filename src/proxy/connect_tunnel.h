// One client connection of the local proxy, served on a thread of its own.
#pragma once

// Tunnel thread body; argument is a TunnelStart that this thread frees at once.
// Reads one request head, accepts CONNECT (and, when the context's mode is
// kPlainHttpForward, one absolute http:// request, sent on with its head
// rewritten and "Connection: close"), opens the target through the upstream
// SOCKS5 server (with the context's login, if any), answers 200 (or 405 / 502),
// counts app traffic, forwards bytes the client sent behind the head, and
// relays both ways until either side closes. Both sockets are closed when it
// returns. Returns 0.
unsigned run_connect_tunnel(void* argument);
