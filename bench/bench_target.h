// The benchmark's target server: what the tunnels lead to. It runs on threads
// of the benchmark process, one per connection, and serves a sequence of
// requests on each connection until the peer closes:
//   request (24 bytes): magic, mode, count, seed (little-endian words)
//   sink:   receives count stream bytes, checks every one, answers with the
//           8-byte count of bytes that matched before the first difference
//   source: sends count stream bytes
//   echo:   sends back the count bytes it receives
//   close:  closes the connection at once
// The target closing first matters: the side that closes first keeps the
// connection in TIME_WAIT for a minute, and danted binds its outgoing sockets
// to ports of its own before connecting, so tunnels closed by their clients
// would use up the loopback's ephemeral ports within a few thousand set-ups.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net.h"
#include "platform/thread.h"

constexpr uint32_t kTargetMagic = 0x4C424E43;  // "CNBL" on the wire
constexpr uint32_t kTargetSink = 1;
constexpr uint32_t kTargetSource = 2;
constexpr uint32_t kTargetEcho = 3;
constexpr uint32_t kTargetClose = 4;

struct TargetRequest {
  uint32_t magic;
  uint32_t mode;
  uint64_t count;
  uint64_t seed;
};
static_assert(sizeof(TargetRequest) == 24, "the request is 24 bytes on the wire");

struct TargetServer {
  NetSocket listener;
  uint16_t port;
  ThreadHandle acceptor;
  std::atomic<int32_t> connections;  // accepted so far
  std::atomic<int32_t> open;         // connections whose thread still runs
  std::atomic<int32_t> failures;     // bad requests, wrong bytes, threads not started
};

// Starts the server on a free loopback port. Returns 1 when it listens.
int target_start(TargetServer* server);

// Asks the target at the end of the tunnel to close first, waits for the end
// of the stream and closes socket. Returns 1 when the tunnel ended cleanly.
int target_close_tunnel(NetSocket socket);

// Closes the listener and waits for the acceptor. Connection threads end when
// their peers close.
void target_stop(TargetServer* server);
