// Sockets: the thin layer over Winsock 2 and BSD sockets that the SOCKS5 client,
// the CONNECT proxy and the driver use. Every call is blocking; every operation
// that returns a socket returns kInvalidSocket on failure and has then closed
// whatever it opened.
#pragma once

#include <cstddef>
#include <cstdint>

// A socket handle: SOCKET on Windows, a descriptor on POSIX, widened to one type.
typedef uintptr_t NetSocket;
constexpr NetSocket kInvalidSocket = ~static_cast<NetSocket>(0);

// Starts networking (Winsock 2.2 on Windows; nothing to do on POSIX, where it
// also makes a write to a closed peer fail instead of raising SIGPIPE).
// Returns 1 on success, 0 when networking cannot be used.
int net_startup();

// Ends what net_startup started. Call once per successful net_startup.
void net_cleanup();

// Resolves host and port (a number or a service name) for TCP, any family, and
// tries the addresses one after the other in the resolver's order. Returns the
// first socket that connected (the caller owns it) or kInvalidSocket; every
// socket that failed to connect has been closed.
NetSocket net_connect_first(const char* host, const char* port);

// Sends all length bytes, continuing after short writes. Returns 1 when all were
// sent, 0 at the first call that returned 0 or less.
int net_send_all(NetSocket socket, const void* data, size_t length);

// Receives exactly length bytes into data, continuing after short reads.
// Returns 1 when all arrived, 0 when the peer closed or the call failed first.
int net_recv_exact(NetSocket socket, void* data, size_t length);

// Receives at most capacity bytes (capacity <= INT_MAX). Returns the count
// received, 0 when the peer closed, or a negative number on an error.
long net_recv_some(NetSocket socket, void* data, size_t capacity);

// Sets the receive and then the send time-out of the socket to milliseconds.
// Results are not examined: the socket keeps working without them.
void net_set_timeouts(NetSocket socket, int milliseconds);

// Blocks without limit until first or second is readable (second may equal
// first). Sets *first_readable and *second_readable to 1 or 0. Returns 1 when at
// least one is readable, 0 when waiting failed.
int net_wait_readable(NetSocket first, NetSocket second, int* first_readable, int* second_readable);

// Ends the sending side of socket, so that the peer reads the end of the
// stream after every byte sent, then reads and drops what the peer still sends
// until it closes, max_bytes have come or milliseconds pass without a byte.
// Closing a socket with unread input resets the connection, and a reset can
// destroy a response that the peer has not read yet. The socket stays open.
void net_finish_and_drain(NetSocket socket, size_t max_bytes, int milliseconds);

// Closes the socket; kInvalidSocket is ignored.
void net_close(NetSocket socket);

// Owns one socket and closes it when it goes out of scope, so that a function
// with several ways out releases each socket in one place; a holder of
// kInvalidSocket owns nothing. Holders declared later are closed first.
struct NetSocketHolder {
  NetSocket socket;
  explicit NetSocketHolder(NetSocket owned) : socket(owned) {}
  ~NetSocketHolder() { net_close(socket); }
  NetSocketHolder(const NetSocketHolder&) = delete;
  NetSocketHolder& operator=(const NetSocketHolder&) = delete;
};

// Opens a TCP listener on 127.0.0.1 at port, with no socket option set before
// the bind and the system's largest backlog. Returns the listening socket, or
// kInvalidSocket with *failed_step set to 1 when no socket could be created and
// to 2 when bind or listen failed (the socket is then closed).
NetSocket net_listen_loopback(uint16_t port, int* failed_step);

// Returns the local port a socket is bound to (for a listener opened on port 0,
// the port the system chose), or 0 when it cannot be read.
uint16_t net_local_port(NetSocket socket);

// Returns the port of the connected peer, or 0 when it cannot be read.
uint16_t net_peer_port(NetSocket socket);

// What a failed net_accept means for the listener. Only kAcceptRetry may be
// retried at once; the other two can persist, so a caller that retries pauses first.
enum NetAcceptFailure {
  kAcceptFailed = 0,          // an unknown failure, or the socket was closed
  kAcceptRetry = 1,           // one connection's passing failure: the client reset
                              // or aborted it, the call was interrupted or would block
  kAcceptRetryAfterPause = 2  // descriptors, buffers or memory ran out, or the
                              // network is down or unreachable, for now
};

// Accepts one connection without asking for its address. Returns the new
// socket, or kInvalidSocket with *failure set to one of NetAcceptFailure.
NetSocket net_accept(NetSocket listener, int* failure);

// Classes the system error of a failed accept (errno on POSIX, WSAGetLastError
// on Windows) as one of NetAcceptFailure; an error it does not know is
// kAcceptFailed. net_accept uses it; it touches no socket.
int net_classify_accept_error(int error);

// Closes a listening socket so that a thread blocked in net_accept on it wakes
// up with kAcceptFailed.
void net_close_listener(NetSocket listener);
