// socks5_connect against real SOCKS5 servers (Debian's microsocks and dante),
// started by the test on loopback ports of their own, relaying to an echo
// server that runs in the test; and the resolver-order check that the portable
// fallback test cannot make. Native only: the servers are Linux programs.
#include <gtest/gtest.h>

#include <dirent.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

#include "platform/net.h"
#include "platform/thread.h"
#include "socks/socks_client.h"
#include "support/peer_process.h"

namespace {

constexpr int kTimeoutMs = 10000;

// Accepts one connection on 127.0.0.1 and sends back whatever arrives until
// the client closes.
struct EchoServer {
  NetSocket listener = kInvalidSocket;
  uint16_t port = 0;
  ThreadHandle thread = kNoThread;
  size_t echoed = 0;  // written by the server thread, read after the join

  static unsigned run(void* argument) {
    EchoServer* server = static_cast<EchoServer*>(argument);
    int failure = 0;
    NetSocket client = net_accept(server->listener, &failure);
    if (client == kInvalidSocket) return 1;
    net_set_timeouts(client, kTimeoutMs);
    char buffer[4096];
    for (;;) {
      long n = net_recv_some(client, buffer, sizeof(buffer));
      if (n <= 0) break;
      if (!net_send_all(client, buffer, static_cast<size_t>(n))) break;
      server->echoed += static_cast<size_t>(n);
    }
    net_close(client);
    return 0;
  }

  int start() {
    // A free port may be taken between peer_free_port and the bind: try again.
    for (int attempt = 0; attempt < 20 && listener == kInvalidSocket; ++attempt) {
      port = peer_free_port();
      int failed_step = 0;
      listener = net_listen_loopback(port, &failed_step);
    }
    if (listener == kInvalidSocket) return 0;
    thread = thread_start(&EchoServer::run, this);
    return thread != kNoThread;
  }

  // Wakes the accept if no client came, and joins the thread.
  void finish() {
    if (listener != kInvalidSocket) net_close_listener(listener);
    listener = kInvalidSocket;
    if (thread != kNoThread) thread_wait_and_close(thread, kTimeoutMs);
    thread = kNoThread;
  }

  ~EchoServer() { finish(); }
};

struct PeerKind {
  const char* name;
  const char* program;  // the program whose absence skips the test
  int (*start)(PeerProcess* peer, uint16_t port);
};

const PeerKind kPeers[] = {
    {"microsocks", "microsocks", peer_start_microsocks},
    {"dante", "danted", peer_start_dante},
};

class SocksPeer : public ::testing::TestWithParam<PeerKind> {
 protected:
  void SetUp() override {
    ASSERT_EQ(net_startup(), 1);
    started_networking_ = 1;
    const PeerKind& kind = GetParam();
    if (!peer_program_exists(kind.program)) {
      GTEST_SKIP() << kind.program << " is not installed (Debian package "
                   << (strcmp(kind.name, "dante") == 0 ? "dante-server" : "microsocks")
                   << "; scripts/test installs it)";
    }
    // The peer's port, too, may be taken by someone else in between.
    for (int attempt = 0; attempt < 5 && peer_.pid == 0; ++attempt) {
      peer_port_ = peer_free_port();
      if (!kind.start(&peer_, peer_port_)) peer_.pid = 0;
    }
    ASSERT_NE(peer_.pid, 0) << "could not start " << kind.name;
  }

  void TearDown() override {
    peer_stop(&peer_);
    if (started_networking_) net_cleanup();
  }

  std::string peer_port_text() const { return std::to_string(peer_port_); }

  PeerProcess peer_ = {0, ""};
  uint16_t peer_port_ = 0;
  int started_networking_ = 0;
};

TEST_P(SocksPeer, ConnectByIpLiteralThenBytesFlowBothWays) {
  EchoServer echo;
  ASSERT_TRUE(echo.start());

  NetSocket upstream = open_upstream_connection("127.0.0.1", peer_port_text().c_str());
  ASSERT_NE(upstream, kInvalidSocket);
  net_set_timeouts(upstream, kTimeoutMs);
  ASSERT_EQ(socks5_connect(upstream, "127.0.0.1", echo.port), 1);

  // 16 KiB in 1 KiB pieces, each echoed before the next is sent, with a
  // pattern that shows a lost, doubled or reordered piece.
  constexpr size_t kPiece = 1024;
  constexpr int kPieces = 16;
  int all_echoed = 1;
  for (int piece = 0; piece < kPieces && all_echoed; ++piece) {
    unsigned char sent[kPiece];
    for (size_t i = 0; i < kPiece; ++i) sent[i] = static_cast<unsigned char>(i * 7 + piece);
    unsigned char received[kPiece];
    ASSERT_EQ(net_send_all(upstream, sent, sizeof(sent)), 1) << "piece " << piece;
    ASSERT_EQ(net_recv_exact(upstream, received, sizeof(received)), 1) << "piece " << piece;
    all_echoed = memcmp(sent, received, kPiece) == 0;
    EXPECT_TRUE(all_echoed) << "piece " << piece << " came back different";
  }
  net_close(upstream);
  echo.finish();
  EXPECT_EQ(echo.echoed, kPiece * kPieces);
}

TEST_P(SocksPeer, ProbeSeesTheServerAlive) {
  EXPECT_EQ(probe_socks_alive("127.0.0.1", peer_port_text().c_str()), 1);
}

TEST_P(SocksPeer, ConnectToClosedTargetPortIsRefused) {
  // A port that was free a moment ago: the server cannot connect and must
  // answer with a non-zero reply code (or close), which gives 0.
  uint16_t closed_port = peer_free_port();
  NetSocket upstream = open_upstream_connection("127.0.0.1", peer_port_text().c_str());
  ASSERT_NE(upstream, kInvalidSocket);
  net_set_timeouts(upstream, kTimeoutMs);
  EXPECT_EQ(socks5_connect(upstream, "127.0.0.1", closed_port), 0);
  net_close(upstream);
}

INSTANTIATE_TEST_SUITE_P(RealServers, SocksPeer, ::testing::ValuesIn(kPeers),
                         [](const ::testing::TestParamInfo<PeerKind>& info) {
                           return std::string(info.param.name);
                         });

// microsocks started with -u and -P asks every client for a login: the right
// one opens a working tunnel; a wrong one is rejected as a login; a client that
// offers none is refused its method.
class SocksPeerLogin : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(net_startup(), 1);
    started_networking_ = 1;
    if (!peer_program_exists("microsocks")) {
      GTEST_SKIP() << "microsocks is not installed (Debian package microsocks)";
    }
    for (int attempt = 0; attempt < 5 && peer_.pid == 0; ++attempt) {
      port_ = peer_free_port();
      std::string port_text = std::to_string(port_);
      const char* const argv[] = {"microsocks", "-i",    "127.0.0.1", "-p",     port_text.c_str(),
                                  "-u",         "alice", "-P",        "secret", nullptr};
      if (!peer_start(&peer_, argv) || !peer_wait_listening(port_, 5000)) peer_stop(&peer_);
    }
    ASSERT_NE(peer_.pid, 0) << "could not start microsocks";
  }

  void TearDown() override {
    peer_stop(&peer_);
    if (started_networking_) net_cleanup();
  }

  PeerProcess peer_ = {0, ""};
  uint16_t port_ = 0;
  int started_networking_ = 0;
};

TEST_F(SocksPeerLogin, MicrosocksWithUserAndPassword) {
  EchoServer echo;
  ASSERT_TRUE(echo.start());
  struct Case {
    const char* user;
    const char* password;
    int result;
    int rejected;
  };
  const Case kCases[] = {
      {"alice", "secret", 1, 0},
      {"alice", "wrong", 0, 1},
      {"bob", "secret", 0, 1},
      {nullptr, nullptr, 0, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.user ? c.user : "no user") + "/" + (c.password ? c.password : ""));
    NetSocket upstream = open_upstream_connection("127.0.0.1", std::to_string(port_).c_str());
    ASSERT_NE(upstream, kInvalidSocket);
    net_set_timeouts(upstream, kTimeoutMs);
    int rejected = -1;
    EXPECT_EQ(socks5_connect_login(upstream, "127.0.0.1", echo.port, c.user, c.password, &rejected),
              c.result);
    EXPECT_EQ(rejected, c.rejected);
    if (c.result == 1) {
      // The echo server serves one client: this is it.
      char reply[5] = {0};
      EXPECT_EQ(net_send_all(upstream, "ping", 4), 1);
      EXPECT_EQ(net_recv_exact(upstream, reply, 4), 1);
      EXPECT_STREQ(reply, "ping");
    }
    net_close(upstream);
  }
}

// Counts this process's open descriptors.
int count_open_descriptors() {
  DIR* directory = opendir("/proc/self/fd");
  if (directory == nullptr) return -1;
  int count = 0;
  while (readdir(directory) != nullptr) ++count;
  closedir(directory);
  return count;
}

// The native half of SocksClient.OpenUpstreamConnectionFallsBackToIpv4AfterIpv6Refuses:
// checks that the resolver really lists ::1 first here, that the connection
// that wins is the IPv4 one, and that the refused IPv6 socket was closed.
TEST(UpstreamConnection, Ipv6RefusedThenIpv4ConnectsAndFailedSocketIsClosed) {
  ASSERT_EQ(net_startup(), 1);
  // A listener on 127.0.0.1 only that never accepts: the kernel completes the
  // connection from its backlog, and no descriptor of the server side appears
  // in this process to blur the count below.
  NetSocket listener = kInvalidSocket;
  uint16_t listener_port = 0;
  for (int attempt = 0; attempt < 20 && listener == kInvalidSocket; ++attempt) {
    listener_port = peer_free_port();
    int failed_step = 0;
    listener = net_listen_loopback(listener_port, &failed_step);
  }
  ASSERT_NE(listener, kInvalidSocket);
  std::string port = std::to_string(listener_port);

  addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  ASSERT_EQ(getaddrinfo(nullptr, port.c_str(), &hints, &list), 0);
  int ipv6_first = list->ai_family == AF_INET6 && list->ai_next != nullptr &&
                   list->ai_next->ai_family == AF_INET;
  freeaddrinfo(list);
  if (!ipv6_first) {
    net_close(listener);
    net_cleanup();
    GTEST_SKIP() << "the resolver does not list ::1 before 127.0.0.1 on this machine";
  }

  int before = count_open_descriptors();
  NetSocket upstream = open_upstream_connection(nullptr, port.c_str());
  ASSERT_NE(upstream, kInvalidSocket);
  sockaddr_storage peer;
  socklen_t length = sizeof(peer);
  ASSERT_EQ(getpeername(static_cast<int>(upstream), reinterpret_cast<sockaddr*>(&peer), &length),
            0);
  EXPECT_EQ(peer.ss_family, AF_INET);
  // Only the returned socket is new: the refused IPv6 one was closed.
  EXPECT_EQ(count_open_descriptors() - before, 1);
  net_close(upstream);
  net_close(listener);
  net_cleanup();
}

}  // namespace
