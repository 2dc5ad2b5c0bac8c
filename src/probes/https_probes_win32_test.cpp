// The probes through the real WinHTTP under Wine, against the local test
// environment (tests/env/test_env.py), which serves the test-hosts build's
// app.lumaret.test and ip.echo.test. The proxied requests go through the
// launcher's own proxy listener to the environment's SOCKS5 server. Skipped
// when the environment is not running.
#include "probes/https_probes.h"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/net.h"
#include "platform/thread.h"
#include "probes/address_text.h"
#include "proxy/proxy_context.h"
#include "proxy/proxy_listener.h"

namespace {

ProxyContext g_context;
ThreadHandle g_listener = kNoThread;

uint16_t free_loopback_port() {
  SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(probe);
  return ntohs(address.sin_port);
}

// Sends one command line to the environment's control port; 1 when it said ok.
int control(const std::string& command) {
  NetSocket socket = net_connect_first("127.0.0.1", getenv("LUMARET_TEST_CONTROL_PORT"));
  if (socket == kInvalidSocket) return 0;
  std::string line = command + "\n";
  char reply[3] = {};
  int ok = net_send_all(socket, line.data(), line.size()) && net_recv_exact(socket, reply, 3) &&
           memcmp(reply, "ok\n", 3) == 0;
  net_close(socket);
  return ok;
}

std::string hex(const std::string& bytes) {
  if (bytes.empty()) return "-";
  std::string text;
  char pair[3];
  for (unsigned char c : bytes) {
    snprintf(pair, sizeof(pair), "%02x", c);
    text += pair;
  }
  return text;
}

class HttpsProbes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (getenv("LUMARET_TEST_SOCKS_PORT") == nullptr) return;
    ASSERT_EQ(net_startup(), 1);
    proxy_context_set_defaults(&g_context);
    snprintf(g_context.socks_port, sizeof(g_context.socks_port), "%s",
             getenv("LUMARET_TEST_SOCKS_PORT"));
    g_context.http_port = free_loopback_port();
    g_listener = thread_start(run_proxy_listener, &g_context);
    ASSERT_NE(g_listener, kNoThread);
    thread_sleep_ms(300);
    ASSERT_NE(g_context.listen_socket.load(), kInvalidSocket);
  }

  static void TearDownTestSuite() {
    if (g_listener == kNoThread) return;
    proxy_listener_stop(&g_context);
    thread_wait_and_close(g_listener, 2000);
    g_listener = kNoThread;
    net_cleanup();
  }

  void SetUp() override {
    if (g_listener == kNoThread) GTEST_SKIP() << "no test environment (tests/env/test_env.py)";
    ASSERT_TRUE(control("app-status 200") && control("app-mode answer") &&
                control("app-certificate trusted") && control("clear-refusals"));
  }

  uint16_t port() const { return g_context.http_port; }
};

struct BodyCase {
  int status;
  std::string body;
  std::string address;  // empty when the query must fail
};

}  // namespace

TEST_F(HttpsProbes, HeadPassesWithEveryHttpStatus) {
  for (int status : {200, 403, 404, 503, 599}) {
    ASSERT_TRUE(control("app-status " + std::to_string(status)));
    uint32_t status_code = 0;
    EXPECT_EQ(probe_https_through_proxy(port(), &status_code), 1) << status;
    EXPECT_EQ(status_code, static_cast<uint32_t>(status));
  }
}

TEST_F(HttpsProbes, HeadFailsWhenTheRouteOrTheAnswerIsBroken) {
  const char* const setups[][2] = {
      {"app-status 600", "status above 599"},
      {"app-certificate untrusted", "certificate from an untrusted CA"},
      {"app-certificate wrong-name", "certificate for another name"},
      {"app-mode close", "server closes without an answer"},
      {"refuse app.lumaret.test 5 0", "SOCKS5 connection refused"},
      {"refuse app.lumaret.test 2 0", "SOCKS5 not allowed by rule set"},
  };
  for (const auto& setup : setups) {
    ASSERT_TRUE(control(setup[0]));
    uint32_t status_code = 0;
    EXPECT_EQ(probe_https_through_proxy(port(), &status_code), 0) << setup[1];
    ASSERT_TRUE(control("app-status 200") && control("app-mode answer") &&
                control("app-certificate trusted") && control("clear-refusals"));
  }
}

TEST_F(HttpsProbes, AddressQueryThroughTheProxyChecksStatusAndBody) {
  const BodyCase cases[] = {
      {200, "203.0.113.7\n", "203.0.113.7"},
      {200, "2001:db8::7\r\n", "2001:db8::7"},
      {200, "::1", "::1"},
      {200, std::string(100, 'f'), std::string(79, 'f')},
      {200, " 203.0.113.7", ""},
      {200, "fe80::1%3", ""},
      {200, " \r\n", ""},
      {200, "", ""},
      {204, "203.0.113.7", ""},
      {301, "203.0.113.7", ""},
      {429, "203.0.113.7", ""},
  };
  for (const BodyCase& c : cases) {
    ASSERT_TRUE(control("address proxied " + std::to_string(c.status) + " " + hex(c.body)));
    char out[kAddressTextCapacity];
    memset(out, 'x', sizeof(out));
    EXPECT_EQ(query_public_address(1, port(), out), c.address.empty() ? 0 : 1)
        << c.status << " " << c.body;
    EXPECT_EQ(std::string(out), c.address) << c.status << " " << c.body;
  }
}

TEST_F(HttpsProbes, DirectAddressQueryBypassesTheProxy) {
  if (strcmp(getenv("LUMARET_TEST_DIRECT_AVAILABLE"), "1") != 0) {
    GTEST_SKIP() << "the environment cannot serve the direct route here";
  }
  ASSERT_TRUE(control("address direct 200 " + hex("198.51.100.7\r\n")));
  ASSERT_TRUE(control("address proxied 200 " + hex("203.0.113.7\n")));
  char out[kAddressTextCapacity];
  EXPECT_EQ(query_public_address(0, port(), out), 1);
  EXPECT_STREQ(out, "198.51.100.7");
  // The port is not used for the direct query; a closed one must not matter.
  EXPECT_EQ(query_public_address(0, 1, out), 1);
  EXPECT_STREQ(out, "198.51.100.7");
  ASSERT_TRUE(control("address direct 503 " + hex("198.51.100.7")));
  EXPECT_EQ(query_public_address(0, port(), out), 0);
  EXPECT_STREQ(out, "");
}
