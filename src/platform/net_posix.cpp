#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

int to_fd(NetSocket socket) { return static_cast<int>(socket); }

}  // namespace

int net_startup() {
  // A send to a peer that has gone must fail like on Windows, not kill the process.
  signal(SIGPIPE, SIG_IGN);
  return 1;
}

void net_cleanup() {}

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
    int fd = socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
    if (fd < 0) continue;
    // An interrupted connect goes on in the background; calling it again waits
    // for it, or reports EISCONN when it has completed meanwhile: a success.
    int rc = connect(fd, entry->ai_addr, entry->ai_addrlen);
    while (rc != 0 && errno == EINTR) {
      rc = connect(fd, entry->ai_addr, entry->ai_addrlen);
      if (rc != 0 && errno == EISCONN) rc = 0;
    }
    if (rc == 0) {
      result = static_cast<NetSocket>(fd);
      break;
    }
    close(fd);
  }
  freeaddrinfo(list);
  return result;
}

int net_send_all(NetSocket socket, const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  size_t sent = 0;
  while (sent < length) {
    ssize_t n = send(to_fd(socket), bytes + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    sent += static_cast<size_t>(n);
  }
  return 1;
}

int net_recv_exact(NetSocket socket, void* data, size_t length) {
  char* bytes = static_cast<char*>(data);
  size_t received = 0;
  while (received < length) {
    ssize_t n = recv(to_fd(socket), bytes + received, length - received, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    received += static_cast<size_t>(n);
  }
  return 1;
}

long net_recv_some(NetSocket socket, void* data, size_t capacity) {
  for (;;) {
    ssize_t n = recv(to_fd(socket), data, capacity, 0);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

void net_set_timeouts(NetSocket socket, int milliseconds) {
  timeval limit;
  limit.tv_sec = milliseconds / 1000;
  limit.tv_usec = (milliseconds % 1000) * 1000;
  setsockopt(to_fd(socket), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  setsockopt(to_fd(socket), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

int net_wait_readable(NetSocket first, NetSocket second, int* first_readable,
                      int* second_readable) {
  // poll, not select: select cannot take descriptors at or above FD_SETSIZE,
  // which a proxy holding thousands of tunnels reaches.
  pollfd fds[2];
  memset(fds, 0, sizeof(fds));
  fds[0].fd = to_fd(first);
  fds[0].events = POLLIN;
  nfds_t count = 1;
  if (second != first) {
    fds[1].fd = to_fd(second);
    fds[1].events = POLLIN;
    count = 2;
  }
  int rc;
  do {
    rc = poll(fds, count, -1);
  } while (rc < 0 && errno == EINTR);
  if (rc <= 0) return 0;
  // An error or hang-up counts as readable: the next recv reports it.
  const short ready = POLLIN | POLLHUP | POLLERR | POLLNVAL;
  *first_readable = (fds[0].revents & ready) ? 1 : 0;
  *second_readable = 0;
  if (count == 2) *second_readable = (fds[1].revents & ready) ? 1 : 0;
  return 1;
}

void net_close(NetSocket socket) {
  if (socket == kInvalidSocket) return;
  close(to_fd(socket));
}

NetSocket net_listen_loopback(uint16_t port, int* failed_step) {
  int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) {
    *failed_step = 1;
    return kInvalidSocket;
  }
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    close(fd);
    *failed_step = 2;
    return kInvalidSocket;
  }
  return static_cast<NetSocket>(fd);
}

uint16_t net_local_port(NetSocket socket) {
  sockaddr_storage address;
  socklen_t length = sizeof(address);
  memset(&address, 0, sizeof(address));
  if (getsockname(to_fd(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return 0;
}

int net_classify_accept_error(int error) {
  switch (error) {
    case EINTR:
    case ECONNABORTED:
    case ECONNRESET:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return kAcceptRetry;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    // Linux hands a new connection's pending network errors to accept. They may
    // concern that connection only, but a network that stays down repeats them,
    // so the retry must wait.
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return kAcceptRetryAfterPause;
    default:
      return kAcceptFailed;
  }
}

NetSocket net_accept(NetSocket listener, int* failure) {
  int fd = accept(to_fd(listener), nullptr, nullptr);
  if (fd >= 0) return static_cast<NetSocket>(fd);
  *failure = net_classify_accept_error(errno);
  return kInvalidSocket;
}

void net_close_listener(NetSocket listener) {
  // On Linux, closing a descriptor does not wake a thread blocked in accept on
  // it; shutting the socket down first does.
  shutdown(to_fd(listener), SHUT_RDWR);
  close(to_fd(listener));
}
