#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstring>

namespace {

SOCKET to_socket(NetSocket socket) { return static_cast<SOCKET>(socket); }

int clamp_length(size_t length) {
  return length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

}  // namespace

int net_startup() {
  WSADATA data;
  return WSAStartup(0x0202, &data) == 0 ? 1 : 0;
}

void net_cleanup() { WSACleanup(); }

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
    SOCKET s = socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
    if (s == INVALID_SOCKET) continue;
    if (connect(s, entry->ai_addr, static_cast<int>(entry->ai_addrlen)) == 0) {
      result = static_cast<NetSocket>(s);
      break;
    }
    closesocket(s);
  }
  freeaddrinfo(list);
  return result;
}

int net_send_all(NetSocket socket, const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  size_t sent = 0;
  while (sent < length) {
    int n = send(to_socket(socket), bytes + sent, clamp_length(length - sent), 0);
    if (n <= 0) return 0;
    sent += static_cast<size_t>(n);
  }
  return 1;
}

int net_recv_exact(NetSocket socket, void* data, size_t length) {
  char* bytes = static_cast<char*>(data);
  size_t received = 0;
  while (received < length) {
    int n = recv(to_socket(socket), bytes + received, clamp_length(length - received), 0);
    if (n <= 0) return 0;
    received += static_cast<size_t>(n);
  }
  return 1;
}

long net_recv_some(NetSocket socket, void* data, size_t capacity) {
  return recv(to_socket(socket), static_cast<char*>(data), clamp_length(capacity), 0);
}

void net_set_timeouts(NetSocket socket, int milliseconds) {
  DWORD limit = static_cast<DWORD>(milliseconds);
  setsockopt(to_socket(socket), SOL_SOCKET, SO_RCVTIMEO,
             reinterpret_cast<const char*>(&limit), sizeof(limit));
  setsockopt(to_socket(socket), SOL_SOCKET, SO_SNDTIMEO,
             reinterpret_cast<const char*>(&limit), sizeof(limit));
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

void net_close(NetSocket socket) {
  if (socket == kInvalidSocket) return;
  closesocket(to_socket(socket));
}

NetSocket net_listen_loopback(uint16_t port, int* failed_step) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    *failed_step = 1;
    return kInvalidSocket;
  }
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), 16) != 0 ||
      listen(s, SOMAXCONN) != 0) {
    closesocket(s);
    *failed_step = 2;
    return kInvalidSocket;
  }
  return static_cast<NetSocket>(s);
}

uint16_t net_local_port(NetSocket socket) {
  sockaddr_storage address;
  int length = sizeof(address);
  memset(&address, 0, sizeof(address));
  if (getsockname(to_socket(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return 0;
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

NetSocket net_accept(NetSocket listener, int* failure) {
  SOCKET s = accept(to_socket(listener), nullptr, nullptr);
  if (s != INVALID_SOCKET) return static_cast<NetSocket>(s);
  *failure = net_classify_accept_error(WSAGetLastError());
  return kInvalidSocket;
}

void net_close_listener(NetSocket listener) { closesocket(to_socket(listener)); }
