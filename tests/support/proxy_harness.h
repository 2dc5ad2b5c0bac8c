// What the local proxy's native tests share: a proxy under test on an ephemeral
// loopback port, in-test stand-ins for its peers (a SOCKS5 server that grants
// every CONNECT and echoes, a tiny HTTP file server), and client sockets whose
// every wait is limited, so that a broken proxy fails a test instead of
// hanging it. POSIX only.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/thread.h"
#include "proxy/proxy_context.h"

// The limit of every wait in the proxy tests.
constexpr unsigned kHarnessLimitMs = 5000;

// A running listener thread and its context.
struct ProxyUnderTest {
  ProxyContext context;
  ThreadHandle listener;
  uint16_t port;  // where the listener listens
};

// Starts run_proxy_listener on an ephemeral port of 127.0.0.1 with the upstream
// SOCKS5 server at 127.0.0.1:socks_port and plain HTTP in mode, and waits
// until it listens. The record
// is kept until the process ends, since detached tunnel threads may still read
// it after the test. Returns null when the proxy did not start.
ProxyUnderTest* harness_proxy_start(uint16_t socks_port, PlainHttpMode mode = kPlainHttpRefuse);

// Stops the listener with proxy_listener_stop and waits for its thread.
// Returns 1 when the thread ended within kHarnessLimitMs.
int harness_proxy_stop(ProxyUnderTest* proxy);

enum StandInKind {
  kStandInSocks5Echo,  // grants every CONNECT, then echoes; "close-now" closes
  kStandInHttpFile,    // an origin: records each request, answers body, keeps the connection
  kStandInSocks5Http   // grants every CONNECT, then serves as kStandInHttpFile does
};

constexpr int kStandInMaxConnections = 600;

struct StandInServer;

struct StandInConnection {
  int fd;
  ThreadHandle thread;
  StandInServer* server;
};

// A loopback server run by threads of the test process.
struct StandInServer {
  StandInKind kind;
  std::string body;    // what an origin serves; fixed before the start
  std::string answer;  // when set, what an origin sends instead of its answer; under lock
  int listen_fd;
  uint16_t port;
  ThreadHandle acceptor;
  std::atomic<int32_t> stopping;
  // Written by the acceptor thread only; read by stand_in_stop after joining it.
  StandInConnection connections[kStandInMaxConnections];
  int connection_count;
  std::atomic<int32_t> granted;      // CONNECT requests granted
  std::atomic<int32_t> peer_closed;  // connections whose peer closed first
  std::mutex lock;                   // guards the last request below
  std::string last_host;
  uint16_t last_port;
  std::string last_request;
  std::vector<std::string> requests;  // every request an origin received, in order
};

// Starts server (of kind, listening on an ephemeral port of address, a
// loopback IPv4 address). An origin reads each request's body by its
// Content-Length or up to its last chunk (a chunked body without trailers),
// answers "100 Continue" first when the head asks for it, and answers with
// "Connection: keep-alive". Returns 1 when it listens.
int stand_in_start(StandInServer* server, StandInKind kind, const char* address = "127.0.0.1");

// Stops the server: closes the listener and every connection, joins all threads.
void stand_in_stop(StandInServer* server);

// The host and port of the last CONNECT the server granted.
std::string stand_in_last_host(StandInServer* server);
uint16_t stand_in_last_port(StandInServer* server);
// The last request an origin received, as its bytes, and all of them.
std::string stand_in_last_request(StandInServer* server);
std::vector<std::string> stand_in_requests(StandInServer* server);

// A TCP connection to 127.0.0.1:port whose receives and sends give up after
// kHarnessLimitMs. Returns kInvalidSocket when it could not connect.
NetSocket harness_connect(uint16_t port);

// Sends text completely. Returns 1 on success.
int harness_send(NetSocket socket, const std::string& text);

// Receives exactly length bytes. Returns them, or what came before the peer
// closed, a failure or the time limit.
std::string harness_read(NetSocket socket, size_t length);

// Receives until the peer closes. Returns what came; *closed is 1 when the peer
// closed (or reset) the connection, 0 when the time limit passed first.
std::string harness_read_to_end(NetSocket socket, int* closed);

// Returns 1 when nothing arrives on socket for milliseconds (no byte, no close).
int harness_quiet_for(NetSocket socket, unsigned milliseconds);

// Waits until value reaches at least expected, at most kHarnessLimitMs.
// Returns 1 when it did.
int harness_wait_at_least(const std::atomic<int32_t>& value, int32_t expected);

// The request head "CONNECT host:port HTTP/1.1", a Host line and the blank line.
std::string harness_connect_head(const std::string& target);

// The responses of the proxy, as a client sees them.
extern const std::string kExpectRefused;
extern const std::string kExpectBadRequest;
extern const std::string kExpectBadGateway;
extern const std::string kExpectEstablished;
