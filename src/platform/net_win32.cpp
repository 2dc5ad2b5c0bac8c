// Sockets over Winsock 2: the calls in which it differs from BSD sockets; the
// code both share is in net_common.cpp.
#include <climits>

#include "platform/net.h"
#include "platform/net_system.h"

namespace {

SOCKET to_socket(NetSocket socket) { return net_system_socket(socket); }

int clamp_length(size_t length) {
  return length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

}  // namespace

int net_startup() {
  WSADATA data;
  return WSAStartup(0x0202, &data) == 0 ? 1 : 0;
}

void net_cleanup() { WSACleanup(); }

int net_connect_address(NetSocket socket, const sockaddr* address, size_t length) {
  return connect(to_socket(socket), address, static_cast<int>(length)) == 0 ? 1 : 0;
}

int net_last_error() { return WSAGetLastError(); }

long net_send_some(NetSocket socket, const void* data, size_t length) {
  return send(to_socket(socket), static_cast<const char*>(data), clamp_length(length), 0);
}

long net_recv_some(NetSocket socket, void* data, size_t capacity) {
  return recv(to_socket(socket), static_cast<char*>(data), clamp_length(capacity), 0);
}

void net_set_timeouts(NetSocket socket, int milliseconds) {
  DWORD limit = static_cast<DWORD>(milliseconds);
  setsockopt(to_socket(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
             sizeof(limit));
  setsockopt(to_socket(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
             sizeof(limit));
}

int net_wait_readable(NetSocket first, NetSocket second, int* first_readable,
                      int* second_readable) {
  // Winsock's fd_set is a list of handles, not a bit map, so select has no
  // limit on handle values here.
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(to_socket(first), &readable);
  if (second != first) FD_SET(to_socket(second), &readable);
  NetSocket highest = first > second ? first : second;
  int rc = select(static_cast<int>(highest + 1), &readable, nullptr, nullptr, nullptr);
  if (rc <= 0) return 0;
  *first_readable = FD_ISSET(to_socket(first), &readable) ? 1 : 0;
  *second_readable = (second != first && FD_ISSET(to_socket(second), &readable)) ? 1 : 0;
  return 1;
}

int net_classify_accept_error(int error) {
  switch (error) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAEINTR:
    case WSAEWOULDBLOCK:
      return kAcceptRetry;
    case WSAEMFILE:
    case WSAENOBUFS:
    case WSAENETDOWN:
      return kAcceptRetryAfterPause;
    default:
      return kAcceptFailed;
  }
}

void net_close(NetSocket socket) {
  if (socket == kInvalidSocket) return;
  closesocket(to_socket(socket));
}

void net_close_listener(NetSocket listener) { closesocket(to_socket(listener)); }
