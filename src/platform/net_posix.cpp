// Sockets over BSD sockets: the calls in which they differ from Winsock; the
// code both share is in net_common.cpp.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/net.h"
#include "platform/net_system.h"

namespace {

int to_fd(NetSocket socket) { return net_system_socket(socket); }

}  // namespace

int net_startup() {
  // A send to a peer that has gone must fail like on Windows, not kill the process.
  signal(SIGPIPE, SIG_IGN);
  return 1;
}

void net_cleanup() {}

int net_connect_address(NetSocket socket, const sockaddr* address, size_t length) {
  socklen_t size = static_cast<socklen_t>(length);
  // An interrupted connect goes on in the background; calling it again waits
  // for it, or reports EISCONN when it has completed meanwhile: a success.
  int rc = connect(to_fd(socket), address, size);
  while (rc != 0 && errno == EINTR) {
    rc = connect(to_fd(socket), address, size);
    if (rc != 0 && errno == EISCONN) rc = 0;
  }
  return rc == 0 ? 1 : 0;
}

int net_last_error() { return errno; }

long net_send_some(NetSocket socket, const void* data, size_t length) {
  for (;;) {
    ssize_t n = send(to_fd(socket), data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
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

void net_close(NetSocket socket) {
  if (socket == kInvalidSocket) return;
  close(to_fd(socket));
}

void net_close_listener(NetSocket listener) {
  // On Linux, closing a descriptor does not wake a thread blocked in accept on
  // it; shutting the socket down first does.
  shutdown(to_fd(listener), SHUT_RDWR);
  close(to_fd(listener));
}
