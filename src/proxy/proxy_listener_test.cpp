// The proxy listener over real loopback sockets and threads: start failures,
// the stop protocol, bursts of clients, and accept failures that must not end
// the proxy.
#include "proxy/proxy_listener.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "proxy/proxy_context.h"
#include "support/peer_process.h"
#include "support/proxy_harness.h"

namespace {

// Sends a GET and expects the refusal and the close: the proxy serves clients.
void expect_proxy_serves(uint16_t port) {
  NetSocket client = harness_connect(port);
  ASSERT_NE(client, kInvalidSocket);
  ASSERT_EQ(harness_send(client, "GET / HTTP/1.1\r\n\r\n"), 1);
  int closed = 0;
  EXPECT_EQ(harness_read_to_end(client, &closed), kExpectRefused);
  EXPECT_EQ(closed, 1);
  net_close(client);
}

int fd_is_open(int fd) { return fcntl(fd, F_GETFD) != -1 ? 1 : 0; }

void note_signal(int) {}

// Uses up every descriptor below a lowered soft limit while it lives, and
// gives them and the limit back at its end, also when an assertion fails.
struct DescriptorDrought {
  rlimit saved;
  std::vector<int> fillers;

  int start() {
    if (getrlimit(RLIMIT_NOFILE, &saved) != 0) return 0;
    int probe = dup(0);
    if (probe < 0) return 0;
    close(probe);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(probe) + 32;
    if (lowered.rlim_cur > saved.rlim_cur) return 0;
    if (setrlimit(RLIMIT_NOFILE, &lowered) != 0) return 0;
    for (;;) {
      int fd = dup(0);
      if (fd < 0) return errno == EMFILE ? 1 : 0;
      fillers.push_back(fd);
    }
  }

  ~DescriptorDrought() {
    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
  }
};

}  // namespace

TEST(ProxyListener, PortAlreadyTakenEndsWithCode2) {
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t length = sizeof(address);
  ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);

  ProxyContext context;
  proxy_context_set_defaults(&context);
  context.http_port = ntohs(address.sin_port);
  EXPECT_EQ(run_proxy_listener(&context), 2u);
  EXPECT_EQ(context.listen_socket.load(), kInvalidSocket);
  close(holder);
}

TEST(ProxyListener, StopRequestedBeforeTheFirstAcceptEndsAtOnce) {
  ProxyContext context;
  proxy_context_set_defaults(&context);
  context.http_port = peer_free_port();
  ASSERT_NE(context.http_port, 0);
  context.stop_requested.store(1);
  EXPECT_EQ(run_proxy_listener(&context), 0u);
  EXPECT_EQ(context.listen_socket.load(), kInvalidSocket);
  // The port is closed again: nobody answers on it.
  NetSocket client = harness_connect(context.http_port);
  EXPECT_EQ(client, kInvalidSocket);
  net_close(client);
}

TEST(ProxyListener, StopWakesABlockedAcceptAndClosesTheSocketOnce) {
  ProxyUnderTest* proxy = harness_proxy_start(9);
  ASSERT_NE(proxy, nullptr);
  const int listening = static_cast<int>(proxy->context.listen_socket.load());
  expect_proxy_serves(proxy->port);  // the listener is now back in accept

  proxy_listener_stop(&proxy->context);
  EXPECT_EQ(proxy->context.listen_socket.load(), kInvalidSocket);
  EXPECT_EQ(fd_is_open(listening), 0);
  // Put a descriptor of our own on the freed number: were the listener to close
  // its socket a second time, it would close this one.
  int sentinel = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(sentinel, 0);
  if (sentinel != listening) {
    ASSERT_EQ(dup2(sentinel, listening), listening);
    close(sentinel);
  }
  EXPECT_EQ(thread_wait_and_close(proxy->listener, kHarnessLimitMs), 1);
  proxy_listener_stop(&proxy->context);  // a second stop finds nothing to close
  EXPECT_EQ(fd_is_open(listening), 1);
  close(listening);
  EXPECT_EQ(harness_connect(proxy->port), kInvalidSocket);
}

// Two bursts, the second while the first one's threads are still ending, so
// that new threads start while others end. Each client's own bytes come back
// to it: no two tunnels mix their clients.
TEST(ProxyListener, BurstsOfClientsGetOneTunnelEach) {
  constexpr int kClients = 200;
  StandInServer socks;
  ASSERT_EQ(stand_in_start(&socks, kStandInSocks5Echo), 1);
  ProxyUnderTest* proxy = harness_proxy_start(socks.port);
  ASSERT_NE(proxy, nullptr);

  const std::string head = harness_connect_head("192.0.2.7:443");
  for (int burst = 0; burst < 2; ++burst) {
    std::vector<NetSocket> clients;
    for (int i = 0; i < kClients; ++i) {
      NetSocket client = harness_connect(proxy->port);
      ASSERT_NE(client, kInvalidSocket) << i;
      clients.push_back(client);
    }
    for (NetSocket client : clients) ASSERT_EQ(harness_send(client, head), 1);
    int echoed = 0;
    for (int i = 0; i < kClients; ++i) {
      const std::string own = "client " + std::to_string(burst * kClients + i) + "\n";
      if (harness_read(clients[i], kExpectEstablished.size()) != kExpectEstablished) continue;
      if (harness_send(clients[i], own) == 1 && harness_read(clients[i], own.size()) == own) {
        ++echoed;
      }
    }
    EXPECT_EQ(echoed, kClients) << "burst " << burst;
    for (NetSocket client : clients) net_close(client);
  }
  EXPECT_EQ(socks.granted.load(), 2 * kClients);

  EXPECT_EQ(harness_proxy_stop(proxy), 1);
  stand_in_stop(&socks);
}

TEST(ProxyListener, ClientsThatResetBeforeAcceptDoNotStopIt) {
  ProxyUnderTest* proxy = harness_proxy_start(9);
  ASSERT_NE(proxy, nullptr);
  for (int i = 0; i < 100; ++i) {
    NetSocket client = harness_connect(proxy->port);
    ASSERT_NE(client, kInvalidSocket);
    // Linger 0: the close sends a reset at once, mostly before the accept.
    linger abort_on_close;
    abort_on_close.l_onoff = 1;
    abort_on_close.l_linger = 0;
    setsockopt(static_cast<int>(client), SOL_SOCKET, SO_LINGER, &abort_on_close,
               sizeof(abort_on_close));
    net_close(client);
  }
  expect_proxy_serves(proxy->port);
  EXPECT_EQ(harness_proxy_stop(proxy), 1);
}

TEST(ProxyListener, InterruptedAcceptDoesNotStopIt) {
  // A handler installed without SA_RESTART makes the blocked accept fail with EINTR.
  struct sigaction action;
  struct sigaction saved;
  memset(&action, 0, sizeof(action));
  action.sa_handler = note_signal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);

  ProxyUnderTest* proxy = harness_proxy_start(9);
  ASSERT_NE(proxy, nullptr);
  for (int i = 0; i < 5; ++i) {
    expect_proxy_serves(proxy->port);  // the listener is back in accept
    thread_sleep_ms(20);
    pthread_kill(static_cast<pthread_t>(proxy->listener), SIGUSR1);
  }
  expect_proxy_serves(proxy->port);
  EXPECT_EQ(harness_proxy_stop(proxy), 1);
  sigaction(SIGUSR1, &saved, nullptr);
}

TEST(ProxyListener, OnlyOneConnectionsPassingAcceptFailureSkipsThePause) {
  // A network that stays down, or an error nobody expected, must not make the
  // listener retry at once and spin.
  struct ClassCase {
    int error;
    int failure;
  };
  const ClassCase cases[] = {
      {ECONNABORTED, kAcceptRetry},
      {ECONNRESET, kAcceptRetry},
      {EINTR, kAcceptRetry},
      {EAGAIN, kAcceptRetry},
      {ENETDOWN, kAcceptRetryAfterPause},
      {ENETUNREACH, kAcceptRetryAfterPause},
      {EHOSTUNREACH, kAcceptRetryAfterPause},
      {EPROTO, kAcceptRetryAfterPause},
      {EMFILE, kAcceptRetryAfterPause},
      {ENOBUFS, kAcceptRetryAfterPause},
      {EBADF, kAcceptFailed},
      {EINVAL, kAcceptFailed},
      {0, kAcceptFailed},
  };
  for (const ClassCase& c : cases) {
    EXPECT_EQ(net_classify_accept_error(c.error), c.failure) << strerror(c.error);
  }
}

TEST(ProxyListener, RunningOutOfDescriptorsDoesNotStopIt) {
  ProxyUnderTest* proxy = harness_proxy_start(9);
  ASSERT_NE(proxy, nullptr);
  expect_proxy_serves(proxy->port);  // the listener is back in accept
  // The clients' sockets exist before the drought; connecting needs no descriptor.
  int clients[2];
  for (int& client : clients) {
    client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(client, 0);
    net_set_timeouts(static_cast<NetSocket>(client), static_cast<int>(kHarnessLimitMs));
  }
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(proxy->port);
  const NetSocket waiting = static_cast<NetSocket>(clients[1]);
  {
    DescriptorDrought drought;
    ASSERT_EQ(drought.start(), 1);
    // An accept that is already blocked holds its descriptor: the first client
    // may take it, and its tunnel keeps it while the client says nothing.
    ASSERT_EQ(connect(clients[0], reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(connect(clients[1], reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(harness_send(waiting, "GET / HTTP/1.1\r\n\r\n"), 1);
    // The listener cannot take the second client while no descriptor is left.
    EXPECT_EQ(harness_quiet_for(waiting, 400), 1);
  }
  // Once descriptors are back, the waiting clients are served, and so are new ones.
  int closed = 0;
  EXPECT_EQ(harness_read_to_end(waiting, &closed), kExpectRefused);
  EXPECT_EQ(closed, 1);
  ASSERT_EQ(harness_send(static_cast<NetSocket>(clients[0]), "GET / HTTP/1.1\r\n\r\n"), 1);
  EXPECT_EQ(harness_read_to_end(static_cast<NetSocket>(clients[0]), &closed), kExpectRefused);
  for (int client : clients) close(client);
  expect_proxy_serves(proxy->port);
  EXPECT_EQ(harness_proxy_stop(proxy), 1);
}
