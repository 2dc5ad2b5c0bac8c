// The socket operations whose code is the same over Winsock and BSD sockets;
// what differs between them is in net_win32.cpp and net_posix.cpp.
#include <cstring>

#include "platform/net.h"
#include "platform/net_system.h"

NetSocket net_connect_first(const char* host, const char* port) {
  addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  if (getaddrinfo(host, port, &hints, &list) != 0) return kInvalidSocket;
  NetSocket result = kInvalidSocket;
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    NetSocket candidate =
        net_from_system(socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol));
    if (candidate == kInvalidSocket) continue;
    if (net_connect_address(candidate, entry->ai_addr, entry->ai_addrlen)) {
      result = candidate;
      break;
    }
    net_close(candidate);
  }
  freeaddrinfo(list);
  return result;
}

// Both loops end at the first call that returns 0 or less: a peer that closed
// mid-message fails the whole transfer.
int net_send_all(NetSocket socket, const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  size_t sent = 0;
  while (sent < length) {
    long n = net_send_some(socket, bytes + sent, length - sent);
    if (n <= 0) return 0;
    sent += static_cast<size_t>(n);
  }
  return 1;
}

int net_recv_exact(NetSocket socket, void* data, size_t length) {
  char* bytes = static_cast<char*>(data);
  size_t received = 0;
  while (received < length) {
    long n = net_recv_some(socket, bytes + received, length - received);
    if (n <= 0) return 0;
    received += static_cast<size_t>(n);
  }
  return 1;
}

NetSocket net_listen_loopback(uint16_t port, int* failed_step) {
  NetSocket listener = net_from_system(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (listener == kInvalidSocket) {
    *failed_step = 1;
    return kInvalidSocket;
  }
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  SystemSocket handle = net_system_socket(listener);
  if (bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(handle, SOMAXCONN) != 0) {
    net_close(listener);
    *failed_step = 2;
    return kInvalidSocket;
  }
  return listener;
}

namespace {

// The port of the socket's own end (peer 0) or of the other end (peer 1).
uint16_t net_port_of(NetSocket socket, int peer) {
  sockaddr_storage address;
  SystemAddressLength length = sizeof(address);
  memset(&address, 0, sizeof(address));
  sockaddr* named = reinterpret_cast<sockaddr*>(&address);
  const int failed = peer ? getpeername(net_system_socket(socket), named, &length)
                          : getsockname(net_system_socket(socket), named, &length);
  if (failed != 0) return 0;
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  }
  return 0;
}

}  // namespace

uint16_t net_local_port(NetSocket socket) { return net_port_of(socket, 0); }

uint16_t net_peer_port(NetSocket socket) { return net_port_of(socket, 1); }

NetSocket net_accept(NetSocket listener, int* failure) {
  NetSocket accepted = net_from_system(accept(net_system_socket(listener), nullptr, nullptr));
  if (accepted == kInvalidSocket) *failure = net_classify_accept_error(net_last_error());
  return accepted;
}

void net_finish_and_drain(NetSocket socket, size_t max_bytes, int milliseconds) {
  shutdown(net_system_socket(socket), kSystemShutdownSend);
  net_set_timeouts(socket, milliseconds);
  char buffer[4096];
  for (size_t drained = 0; drained < max_bytes;) {
    const long n = net_recv_some(socket, buffer, sizeof(buffer));
    if (n <= 0) return;
    drained += static_cast<size_t>(n);
  }
}
