// The CONNECT tunnel over real loopback sockets: a listener thread on a real
// ProxyContext, an in-test SOCKS5 server (or microsocks) upstream, and raw
// sockets or curl as clients.
#include "proxy/connect_tunnel.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "build_constants.h"
#include "platform/run_log.h"
#include "support/peer_process.h"
#include "support/proxy_harness.h"

namespace {

// How long a proxy that should stay silent is watched.
constexpr unsigned kQuietMs = 300;

class ConnectTunnel : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(stand_in_start(&socks_, kStandInSocks5Echo), 1);
    proxy_ = harness_proxy_start(socks_.port);
    ASSERT_NE(proxy_, nullptr);
  }

  void TearDown() override {
    if (proxy_ != nullptr) {
      EXPECT_EQ(harness_proxy_stop(proxy_), 1);
    }
    stand_in_stop(&socks_);
  }

  // A client connected to the proxy, or kInvalidSocket.
  NetSocket connect_client() { return harness_connect(proxy_->port); }

  // Opens a tunnel to target and checks the 200 response. Returns the client
  // socket, or kInvalidSocket after reporting the failure.
  NetSocket open_tunnel(const std::string& target) {
    NetSocket client = connect_client();
    EXPECT_NE(client, kInvalidSocket);
    if (client == kInvalidSocket) return client;
    EXPECT_EQ(harness_send(client, harness_connect_head(target)), 1);
    std::string response = harness_read(client, kExpectEstablished.size());
    EXPECT_EQ(response, kExpectEstablished) << target;
    if (response != kExpectEstablished) {
      net_close(client);
      return kInvalidSocket;
    }
    return client;
  }

  StandInServer socks_;
  ProxyUnderTest* proxy_ = nullptr;
};

// A head of exactly length bytes: the request line and then padding without a
// blank line.
std::string padded_head(const std::string& request_line, size_t length) {
  std::string head = request_line + "X-Pad: ";
  head.resize(length, 'p');
  return head;
}

std::string upper_case(std::string text) {
  for (char& ch : text) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  return text;
}

}  // namespace

TEST_F(ConnectTunnel, AnswersRefusalAndEstablishedByteForByte) {
  struct Case {
    const char* name;
    std::string head;
    const std::string* response;
    int closed;  // the proxy closes the connection after its response
  };
  const Case cases[] = {
      {"GET", "GET http://127.0.0.1/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", &kExpectRefused, 1},
      {"two tokens", "CONNECT 127.0.0.1:9\r\n\r\n", &kExpectRefused, 1},
      {"port 0", harness_connect_head("127.0.0.1:0"), &kExpectRefused, 1},
      {"no bracket", harness_connect_head("[2001:db8::1"), &kExpectRefused, 1},
      {"CONNECT", harness_connect_head("192.0.2.7:443"), &kExpectEstablished, 0},
      {"connect", "connect 192.0.2.7:443 HTTP/1.1\r\n\r\n", &kExpectEstablished, 0},
  };
  EXPECT_EQ(kExpectRefused.size(), 73u);
  EXPECT_EQ(kExpectEstablished.size(), 76u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NetSocket client = connect_client();
    ASSERT_NE(client, kInvalidSocket);
    ASSERT_EQ(harness_send(client, c.head), 1);
    if (c.closed) {
      int closed = 0;
      EXPECT_EQ(harness_read_to_end(client, &closed), *c.response);
      EXPECT_EQ(closed, 1);
    } else {
      EXPECT_EQ(harness_read(client, c.response->size()), *c.response);
      EXPECT_EQ(harness_quiet_for(client, 50), 1);  // nothing behind the response
    }
    net_close(client);
  }
}

TEST_F(ConnectTunnel, AnswersBadGatewayWhenNoSocksServerListens) {
  // A bound socket that does not listen: connections to its port are refused.
  int refusing = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(refusing, 0);
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(refusing, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  socklen_t length = sizeof(address);
  ASSERT_EQ(getsockname(refusing, reinterpret_cast<sockaddr*>(&address), &length), 0);

  ProxyUnderTest* proxy = harness_proxy_start(ntohs(address.sin_port));
  ASSERT_NE(proxy, nullptr);
  NetSocket client = harness_connect(proxy->port);
  ASSERT_NE(client, kInvalidSocket);
  ASSERT_EQ(harness_send(client, harness_connect_head("192.0.2.7:443")), 1);
  int closed = 0;
  std::string response = harness_read_to_end(client, &closed);
  EXPECT_EQ(response, kExpectBadGateway);
  EXPECT_EQ(response.size(), 66u);
  EXPECT_EQ(closed, 1);
  net_close(client);
  // A forwarded request fails alike.
  ProxyUnderTest* forwarding = harness_proxy_start(ntohs(address.sin_port), kPlainHttpForward);
  ASSERT_NE(forwarding, nullptr);
  client = harness_connect(forwarding->port);
  ASSERT_NE(client, kInvalidSocket);
  ASSERT_EQ(harness_send(client, "GET http://192.0.2.7/ HTTP/1.1\r\n\r\n"), 1);
  EXPECT_EQ(harness_read_to_end(client, &closed), kExpectBadGateway);
  net_close(client);
  EXPECT_EQ(harness_proxy_stop(forwarding), 1);
  EXPECT_EQ(harness_proxy_stop(proxy), 1);
  close(refusing);
}

TEST_F(ConnectTunnel, AsksTheSocksServerForTheParsedHostAndPort) {
  struct Case {
    std::string target;
    std::string host;
    uint16_t port;
  };
  const Case cases[] = {
      {"192.0.2.7:443", "192.0.2.7", 443},
      {"example.org", "example.org", 443},
      {"[2001:db8::1]:1080", "2001:db8::1", 1080},
      {"[2001:db8::1]", "2001:db8::1", 443},
      {"2001:db8::1", "2001:db8:", 1},
      {"h:65535", "h", 65535},
      {"h:443abc", "h", 443},
      {std::string(300, 'a') + ":8443", std::string(255, 'a'), 8443},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target.substr(0, 40));
    const int granted = socks_.granted.load();
    NetSocket client = open_tunnel(c.target);
    ASSERT_NE(client, kInvalidSocket);
    // The 200 response follows the grant, so the request is recorded by now.
    EXPECT_EQ(socks_.granted.load(), granted + 1);
    EXPECT_EQ(stand_in_last_host(&socks_), c.host);
    EXPECT_EQ(stand_in_last_port(&socks_), c.port);
    net_close(client);
  }
}

TEST_F(ConnectTunnel, ScansAHeadWithoutBlankLineOnceItFillsTheBuffer) {
  const std::string head = padded_head("CONNECT 127.0.0.1:9 HTTP/1.1\r\n", 16384);
  NetSocket client = connect_client();
  ASSERT_NE(client, kInvalidSocket);
  // One byte short of the buffer the proxy still waits for more.
  ASSERT_EQ(harness_send(client, head.substr(0, 16383)), 1);
  EXPECT_EQ(harness_quiet_for(client, kQuietMs), 1);
  ASSERT_EQ(harness_send(client, head.substr(16383)), 1);
  EXPECT_EQ(harness_read(client, kExpectEstablished.size()), kExpectEstablished);
  // The tunnel works; none of the padding went upstream.
  ASSERT_EQ(harness_send(client, "ping"), 1);
  EXPECT_EQ(harness_read(client, 4), "ping");
  net_close(client);
}

TEST_F(ConnectTunnel, NulEndsTheHeadThatIsSearchedAndScanned) {
  struct Case {
    const char* name;
    std::string request_line;
    const std::string* response;
  };
  // The blank line behind the NUL is never seen, so the head is read to 16384
  // bytes and then scanned up to the NUL.
  const Case cases[] = {
      {"scanned up to the NUL", std::string("CONNECT 127.0.0.1:9 HTTP/1.1\r\n\0\r\n\r\n", 35),
       &kExpectEstablished},
      {"one token before the NUL", std::string("CONNECT\0 127.0.0.1:9 HTTP/1.1\r\n\r\n", 34),
       &kExpectRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NetSocket client = connect_client();
    ASSERT_NE(client, kInvalidSocket);
    ASSERT_EQ(harness_send(client, c.request_line), 1);
    EXPECT_EQ(harness_quiet_for(client, kQuietMs), 1);
    std::string rest(16384 - c.request_line.size(), 'p');
    ASSERT_EQ(harness_send(client, rest), 1);
    EXPECT_EQ(harness_read(client, c.response->size()), *c.response);
    net_close(client);
  }
}

TEST_F(ConnectTunnel, HeadsThatNeverEndGetNoAnswer) {
  const std::string heads[] = {
      "CONNECT 127.0.0.1:9 HTTP/1.1\nHost: 127.0.0.1:9\n\n",  // bare line feeds
      "CONNECT 127.0.0.1:9 HTTP/1.1\r\n",                     // request line only
  };
  for (const std::string& head : heads) {
    SCOPED_TRACE(head);
    NetSocket client = connect_client();
    ASSERT_NE(client, kInvalidSocket);
    ASSERT_EQ(harness_send(client, head), 1);
    EXPECT_EQ(harness_quiet_for(client, kQuietMs), 1);
    // When the client stops sending, the proxy closes without a word.
    shutdown(static_cast<int>(client), SHUT_WR);
    int closed = 0;
    EXPECT_EQ(harness_read_to_end(client, &closed), "");
    EXPECT_EQ(closed, 1);
    net_close(client);
  }
  EXPECT_EQ(socks_.granted.load(), 0);
}

TEST_F(ConnectTunnel, CountsATunnelToAMarkerHostOnce) {
  const std::string marker_target = std::string(app_host) + ":443";
  const std::string tunnels[] = {marker_target, upper_case(marker_target), "192.0.2.7:443"};
  std::vector<NetSocket> clients;
  for (const std::string& target : tunnels) {
    SCOPED_TRACE(target);
    NetSocket client = open_tunnel(target);
    ASSERT_NE(client, kInvalidSocket);
    clients.push_back(client);
    // An echo through the tunnel shows that its thread is past counting.
    ASSERT_EQ(harness_send(client, "ping"), 1);
    ASSERT_EQ(harness_read(client, 4), "ping");
  }
  EXPECT_EQ(proxy_->context.app_tunnel_count.load(), 1);

  // A marker inside a longer name counts as well.
  const std::string inside = std::string("edge.") + app_traffic_markers[3] + ".example:443";
  NetSocket client = open_tunnel(inside);
  ASSERT_NE(client, kInvalidSocket);
  clients.push_back(client);
  EXPECT_EQ(harness_wait_at_least(proxy_->context.app_tunnel_count, 2), 1);
  for (NetSocket open : clients) net_close(open);
}

TEST_F(ConnectTunnel, ForwardsBytesSentBehindTheHead) {
  std::string early(3000, '\0');
  for (size_t i = 0; i < early.size(); ++i) early[i] = static_cast<char>('a' + i % 26);
  NetSocket client = connect_client();
  ASSERT_NE(client, kInvalidSocket);
  // Head and first bytes in one write, as a client that does not wait for the 200.
  ASSERT_EQ(harness_send(client, harness_connect_head("192.0.2.7:443") + early), 1);
  ASSERT_EQ(harness_read(client, kExpectEstablished.size()), kExpectEstablished);
  ASSERT_EQ(harness_send(client, "-late"), 1);
  EXPECT_EQ(harness_read(client, early.size() + 5), early + "-late");
  net_close(client);
}

// The whole content of the file at path.
std::string read_file(const char* path) {
  std::string content;
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return content;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) content.append(buffer, n);
  fclose(file);
  return content;
}

// The whole content of the file at path, then removes it.
std::string take_file(const char* path) {
  std::string content = read_file(path);
  unlink(path);
  return content;
}

TEST_F(ConnectTunnel, ForwardsOneRequestToItsOriginAndLogsNoPassword) {
  // The run's log records every request, without a URL's user information.
  char log_path[] = "/tmp/lumaret-tunnel-log-XXXXXX";
  const int log_file = mkstemp(log_path);
  ASSERT_GE(log_file, 0);
  close(log_file);
  ASSERT_EQ(run_log_open(log_path), 1);
  StandInServer origin;
  origin.body = "page";
  ASSERT_EQ(stand_in_start(&origin, kStandInSocks5Http), 1);
  ProxyUnderTest* forwarding = harness_proxy_start(origin.port, kPlainHttpForward);
  ASSERT_NE(forwarding, nullptr);
  std::string body(20000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 251);
  const std::string url = "http://" + std::string(app_host) + "/up?x=1";
  const std::string head = "POST " + url +
                           " HTTP/1.1\r\nHost: h\r\nProxy-Connection: keep-alive\r\n"
                           "Connection: X-Hop\r\nX-Hop: 1\r\nContent-Length: 20000\r\n\r\n";
  const std::string rewritten = "POST /up?x=1 HTTP/1.1\r\nHost: " + std::string(app_host) +
                                "\r\nContent-Length: 20000\r\nConnection: close\r\n\r\n";
  NetSocket client = harness_connect(forwarding->port);
  ASSERT_NE(client, kInvalidSocket);
  // The head and the body's first bytes arrive together; the rest follows with
  // a pipelined request, which no origin may see.
  ASSERT_EQ(harness_send(client, head + body.substr(0, 1000)), 1);
  ASSERT_EQ(harness_send(client, body.substr(1000) + "GET http://other.example/ HTTP/1.1\r\n\r\n"),
            1);
  int closed = 0;
  EXPECT_EQ(harness_read_to_end(client, &closed),
            "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\npage");
  EXPECT_EQ(closed, 1);
  net_close(client);
  const std::vector<std::string> requests = stand_in_requests(&origin);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0] == rewritten + body);
  EXPECT_EQ(stand_in_last_host(&origin), app_host);
  EXPECT_EQ(stand_in_last_port(&origin), 80);
  EXPECT_EQ(forwarding->context.app_tunnel_count.load(), 1);

  // Refused before anything goes upstream: forms that are not forwarded (405)
  // and bodies whose length cannot be told (400; the head tables hold the rest).
  const std::string post = "POST http://h/ HTTP/1.1\r\n";
  const std::string chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
  const std::pair<std::string, std::string> refused[] = {
      {"GET http://h/" + std::string(600, 'p') + " HTTP/1.1\r\n\r\n", kExpectRefused},
      {padded_head("GET http://h/ HTTP/1.1\r\n", 16384), kExpectRefused},
      {"GET http://user:secret@h/ HTTP/1.1\r\n\r\n", kExpectRefused},
      {post + "Content-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n",
       kExpectBadRequest},
      {post + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab", kExpectBadRequest},
      {chunked + "zz\r\n", kExpectBadRequest},
  };
  for (const auto& request : refused) {
    SCOPED_TRACE(request.first.substr(0, 60));
    client = harness_connect(forwarding->port);
    ASSERT_NE(client, kInvalidSocket);
    ASSERT_EQ(harness_send(client, request.first), 1);
    EXPECT_EQ(harness_read_to_end(client, &closed), request.second);
    EXPECT_EQ(closed, 1);
    net_close(client);
  }
  EXPECT_EQ(origin.granted.load(), 1);

  // Answers as the origin sends them and as the client gets them: interim
  // answers unchanged, nothing behind the final answer's end, and 502 for a
  // head that is malformed or does not end within the head buffer.
  const std::pair<std::string, std::string> answers[] = {
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nKeep-Alive: 1\r\nTransfer-Encoding: "
       "chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\nHTTP/1.1 200 OK\r\n",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"
       "Connection: close\r\n\r\n3\r\nabc\r\n0\r\n\r\n"},
      {"HTTP/1.1 200 OK\r\nX: " + std::string(16384, 'p'), kExpectBadGateway},
      {"ICY 200 OK\r\n\r\n", kExpectBadGateway},
  };
  for (const auto& answer : answers) {
    {
      std::lock_guard<std::mutex> guard(origin.lock);
      origin.answer = answer.first;
    }
    client = harness_connect(forwarding->port);
    ASSERT_NE(client, kInvalidSocket);
    ASSERT_EQ(harness_send(client, "GET http://h/ HTTP/1.1\r\n\r\n"), 1);
    EXPECT_EQ(harness_read_to_end(client, &closed), answer.second);
    EXPECT_EQ(closed, 1);
    net_close(client);
  }

  // Request lines that hold passwords (pa/ss, p@ss, a long one, pw, secret),
  // to the proxy of the default mode.
  const std::string long_password(600, 'q');
  const std::string with_passwords[] = {
      "GET http://alice:pa/ss@a.example/ HTTP/1.1\r\n\r\n",
      "GET http://alice:p@ss@a.example/ HTTP/1.1\r\n\r\n",
      "GET http://alice:" + long_password + "@a.example/ HTTP/1.1\r\n\r\n",
      "GET\vhttp://a:pw@h/ HTTP/1.1\r\n\r\n",
      "CONNECT alice:secret@a.example:443 HTTP/1.1\r\n\r\n",
  };
  for (const std::string& request : with_passwords) {
    client = connect_client();
    ASSERT_NE(client, kInvalidSocket);
    ASSERT_EQ(harness_send(client, request), 1);
    harness_read(client, 1);
    net_close(client);
  }
  EXPECT_EQ(harness_proxy_stop(forwarding), 1);
  stand_in_stop(&origin);
  const std::string expected[] = {
      "opened: POST " + url + ", host " + std::string(app_host) + " port 80",
      "closed: target " + url + ", " + std::to_string(rewritten.size() + body.size()) +
          " bytes up, 61 bytes down",
      "GET http://...@h/: refused with 405",
      "GET http://...@a.example/: refused with 405",
      "opened: target ...@a.example:443, SOCKS5 reply 0",
  };
  std::string log;
  for (int i = 0; i < 2000; ++i) {
    log = read_file(log_path);
    int found = 0;
    for (const std::string& line : expected) found += log.find(line) != std::string::npos;
    if (found == 5) break;
    usleep(10000);
  }
  unlink(log_path);
  for (const std::string& line : expected) EXPECT_NE(log.find(line), std::string::npos) << line;
  for (const char* password : {"secret", "pa/ss", "p@ss", "ss@", ":pw", "qqq"}) {
    EXPECT_EQ(log.find(password), std::string::npos) << password << " in " << log;
  }
}

TEST_F(ConnectTunnel, EitherSideClosingClosesBoth) {
  // The client closes: the upstream sees its end.
  NetSocket client = open_tunnel("192.0.2.7:443");
  ASSERT_NE(client, kInvalidSocket);
  ASSERT_EQ(harness_send(client, "ping"), 1);
  ASSERT_EQ(harness_read(client, 4), "ping");
  const int32_t closed_before = socks_.peer_closed.load();
  net_close(client);
  EXPECT_EQ(harness_wait_at_least(socks_.peer_closed, closed_before + 1), 1);

  // The upstream closes: the client sees its end.
  client = open_tunnel("192.0.2.7:443");
  ASSERT_NE(client, kInvalidSocket);
  ASSERT_EQ(harness_send(client, "close-now"), 1);
  int closed = 0;
  EXPECT_EQ(harness_read_to_end(client, &closed), "");
  EXPECT_EQ(closed, 1);
  net_close(client);
}

TEST(ConnectTunnelPeers, CurlFetchesAndPostsThroughMicrosocks) {
  if (!peer_program_exists("microsocks") || !peer_program_exists("curl")) {
    GTEST_SKIP() << "microsocks or curl missing";
  }
  StandInServer web;
  web.body.resize(3 * 1024 * 1024 + 17);
  uint32_t state = 12345;
  for (char& byte : web.body) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  ASSERT_EQ(stand_in_start(&web, kStandInHttpFile), 1);
  PeerProcess socks = {};
  const uint16_t socks_port = peer_free_port();
  ASSERT_EQ(peer_start_microsocks(&socks, socks_port), 1);
  ProxyUnderTest* proxy = harness_proxy_start(socks_port);
  ASSERT_NE(proxy, nullptr);

  char proxy_url[64];
  char file_url[80];
  char refused_url[64];
  char path[] = "/tmp/lumaret-proxy-test-XXXXXX";
  char post_path[] = "/tmp/lumaret-proxy-post-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  snprintf(proxy_url, sizeof(proxy_url), "http://127.0.0.1:%u", static_cast<unsigned>(proxy->port));
  snprintf(file_url, sizeof(file_url), "http://127.0.0.1:%u/file.bin?q=1#part",
           static_cast<unsigned>(web.port));
  const char* const tunnel[] = {"curl",    "-sS", "--max-time", "20",     "-p",   "-x",
                                proxy_url, "-o",  path,         file_url, nullptr};
  EXPECT_EQ(peer_run(tunnel, nullptr), 0);
  std::string fetched = take_file(path);
  EXPECT_EQ(fetched.size(), web.body.size());
  EXPECT_TRUE(fetched == web.body);
  EXPECT_EQ(proxy->context.app_tunnel_count.load(), 0);

  // Forwarded: a POST of a few hundred KiB reaches the origin whole, with its
  // head rewritten, and the answer comes back whole.
  ProxyUnderTest* forwarding = harness_proxy_start(socks_port, kPlainHttpForward);
  ASSERT_NE(forwarding, nullptr);
  snprintf(proxy_url, sizeof(proxy_url), "http://127.0.0.1:%u",
           static_cast<unsigned>(forwarding->port));
  const std::string posted = web.body.substr(0, 300 * 1024);
  fd = mkstemp(post_path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, posted.data(), posted.size()), static_cast<ssize_t>(posted.size()));
  close(fd);
  const std::string data_argument = std::string("@") + post_path;
  const char* const post[] = {"curl",
                              "-sS",
                              "--max-time",
                              "20",
                              "-x",
                              proxy_url,
                              "-o",
                              path,
                              "-H",
                              "Connection: X-Hop",
                              "-H",
                              "X-Hop: 1",
                              "-H",
                              "Keep-Alive: 5",
                              "-H",
                              "X-Kept: 2",
                              "-H",
                              "Expect: 100-continue",
                              "--data-binary",
                              data_argument.c_str(),
                              file_url,
                              nullptr};
  EXPECT_EQ(peer_run(post, nullptr), 0);
  unlink(post_path);
  fetched = take_file(path);
  EXPECT_TRUE(fetched == web.body);
  const std::string request = stand_in_last_request(&web);
  const size_t head_end = request.find("\r\n\r\n");
  ASSERT_NE(head_end, std::string::npos);
  const std::string head = request.substr(0, head_end + 4);
  EXPECT_EQ(head.substr(0, head.find("\r\n")), "POST /file.bin?q=1 HTTP/1.1");
  EXPECT_NE(head.find("\r\nX-Kept: 2\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nConnection: close\r\n\r\n"), std::string::npos) << head;
  for (const char* dropped : {"X-Hop", "Keep-Alive", "Connection: X", "Proxy-"}) {
    EXPECT_EQ(head.find(dropped), std::string::npos) << dropped << " in " << head;
  }
  EXPECT_TRUE(request.substr(head_end + 4) == posted);

  // Each request reaches only its own origin, although both answer keep-alive:
  // curl with URLs of two hosts, then a second and a pipelined request on one
  // connection, and a chunked upload with a request behind it.
  StandInServer other;
  other.body = "the other site";
  ASSERT_EQ(stand_in_start(&other, kStandInHttpFile, "127.0.0.2"), 1);
  const std::string web_authority = "127.0.0.1:" + std::to_string(web.port);
  const std::string other_authority = "127.0.0.2:" + std::to_string(other.port);
  const std::string urls[] = {"http://" + web_authority + "/a", "http://" + other_authority + "/b",
                              "http://" + web_authority + "/c"};
  const char* const three[] = {
      "curl",          "-sS",           "--max-time",    "20",   "-x", proxy_url,
      urls[0].c_str(), urls[1].c_str(), urls[2].c_str(), nullptr};
  std::string pages;
  EXPECT_EQ(peer_run(three, &pages), 0);
  EXPECT_TRUE(pages == web.body + other.body + web.body);
  const std::string page_head = "HTTP/1.1 200 OK\r\nContent-Length: " +
                                std::to_string(web.body.size()) + "\r\nConnection: close\r\n\r\n";
  NetSocket client = harness_connect(forwarding->port);
  ASSERT_NE(client, kInvalidSocket);
  ASSERT_EQ(harness_send(client, "GET " + urls[0] + " HTTP/1.1\r\nHost: wrong\r\n\r\nGET " +
                                     urls[1] + " HTTP/1.1\r\n\r\n"),
            1);
  int closed = 0;
  EXPECT_TRUE(harness_read_to_end(client, &closed) == page_head + web.body);
  EXPECT_EQ(closed, 1);
  harness_send(client, "GET " + urls[2] + " HTTP/1.1\r\n\r\n");
  net_close(client);
  std::string chunks;
  for (int i = 0; i < 70; ++i)
    chunks += "3e8\r\n" + std::string(1000, static_cast<char>('a' + i % 26)) + "\r\n";
  chunks += "0\r\n\r\n";
  const std::string upload = "POST /up HTTP/1.1\r\nHost: " + web_authority +
                             "\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n" + chunks;
  client = harness_connect(forwarding->port);
  ASSERT_NE(client, kInvalidSocket);
  ASSERT_EQ(harness_send(client, "POST http://" + web_authority +
                                     "/up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks +
                                     "GET " + urls[1] + " HTTP/1.1\r\n\r\n"),
            1);
  EXPECT_TRUE(harness_read_to_end(client, &closed) == page_head + web.body);
  net_close(client);
  std::vector<std::string> seen = stand_in_requests(&web);
  ASSERT_EQ(seen.size(), 6u);
  for (int i : {2, 3, 4}) {
    const char* paths[] = {"/a", "/c", "/a"};
    EXPECT_EQ(seen[i].substr(0, seen[i].find("\r\n", seen[i].find("\r\n") + 2)),
              "GET " + std::string(paths[i - 2]) + " HTTP/1.1\r\nHost: " + web_authority);
  }
  EXPECT_TRUE(seen[5] == upload);
  seen = stand_in_requests(&other);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].substr(0, seen[0].find("\r\n", seen[0].find("\r\n") + 2)),
            "GET /b HTTP/1.1\r\nHost: " + other_authority);
  stand_in_stop(&other);

  // A target the SOCKS5 server cannot reach gives 502; a form that is not
  // forwarded gives 405.
  snprintf(refused_url, sizeof(refused_url), "http://127.0.0.1:%u/",
           static_cast<unsigned>(peer_free_port()));
  const char* const unreachable[] = {"curl", "-s",           "--max-time", "20",
                                     "-x",   proxy_url,      "-o",         "/dev/null",
                                     "-w",   "%{http_code}", refused_url,  nullptr};
  std::string status;
  peer_run(unreachable, &status);
  EXPECT_EQ(status, "502");
  const char* const other_scheme[] = {
      "curl", "-s",           "--max-time",        "20",   "-x", proxy_url, "-o", "/dev/null",
      "-w",   "%{http_code}", "ftp://127.0.0.1/x", nullptr};
  status.clear();
  peer_run(other_scheme, &status);
  EXPECT_EQ(status, "405");

  EXPECT_EQ(harness_proxy_stop(forwarding), 1);
  EXPECT_EQ(harness_proxy_stop(proxy), 1);
  peer_stop(&socks);
  stand_in_stop(&web);
}
