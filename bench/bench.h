// What the benchmark's measurements share: the options, the processes under
// test and the route of the tunnels, the report's "= key value" lines, and one
// entry per measurement (bench_bulk.cpp, bench_setup.cpp, bench_idle.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "bench_target.h"
#include "bench_tunnel.h"
#include "support/peer_process.h"

constexpr int kMaxLevels = 8;
// The most clients of a set-up line and the most tunnels an idle line holds.
constexpr int kMaxIdleTunnels = 20000;
// The most proxies the local proxy is compared with in one run.
constexpr int kMaxOthers = 4;
// The largest body of the origin's plain-HTTP response.
constexpr int kHttpBodyMax = 65536;

// The command line's choices (lumaret_bench --help shows them).
struct BenchOptions {
  int smoke;
  uint64_t bulk_bytes;
  int rounds;
  double setup_seconds;
  int levels[kMaxLevels];
  int level_count;
  int idle_counts[kMaxLevels];
  int idle_count_count;
  char server[32];
  char proxy_program[4096];
  double hold_seconds;          // keeps the idle tunnels open this long, for inspection
  char setup_servers[64];       // comma-separated: dante, microsocks
  char compare[64];             // comma-separated: tinyproxy, privoxy; may be empty
  char baseline_program[4096];  // an earlier build of lumaret_bench_proxy, or ""
  int setup_rounds;             // each set-up line runs every proxy this many times
  int http_levels[kMaxLevels];
  int http_level_count;
  int http_body_bytes;
};

// A proxy the local proxy is compared with: tinyproxy, privoxy, or an earlier
// build of the local proxy ("baseline"), a process of its own towards the same
// SOCKS5 server.
struct OtherProxy {
  char name[16];
  PeerProcess process;
  uint16_t port;
  char directory[64];  // the temporary directory of its configuration, or ""
};

// The origin of the plain-HTTP requests: on threads of the benchmark process,
// it reads one request head per connection, answers 200 with body_bytes of
// body and "Connection: close", and closes.
struct HttpOrigin {
  NetSocket listener;
  uint16_t port;
  ThreadHandle acceptor;
  int body_bytes;
};

// One benchmark run: its options, the SOCKS5 server and proxy processes, the
// target server on threads of this process, and the ports between them.
struct Bench {
  BenchOptions options;
  PeerProcess upstream;
  PeerProcess proxy;
  TargetServer target;
  HttpOrigin origin;
  BenchRoute route;
  const char* proxy_log;          // the proxy's --log file, or null for none
  OtherProxy others[kMaxOthers];  // running while other_count > 0
  int other_count;
};

// "proxy" or "direct", the name of a BenchPath in tables and keys.
const char* path_name(int path);

// Prints the "= key value" line that bench/run.sh gathers over several runs.
void print_key(const char* key, double value);

// Starts a proxy process on a free port towards route.socks_port (the caller has
// stopped any earlier one) and sets route.proxy_port. Returns 1 when it
// listens, 0 when five ports in a row failed.
int start_proxy(Bench* bench);

// Starts the proxies of --compare and the baseline towards route.socks_port,
// each at a free port. Returns 1 when all of them listen (those that did not
// are named on standard output and left out).
int others_start(Bench* bench);

// Stops the proxies others_start started and removes their configurations.
void others_stop(Bench* bench);

// Starts the origin on a free loopback port. Returns 1 when it listens.
int origin_start(HttpOrigin* origin, int body_bytes);

// Closes the origin's listener and waits for its acceptor.
void origin_stop(HttpOrigin* origin);

// One plain-HTTP GET of the origin's page along path: through the proxy at
// route.proxy_port with an absolute URL, or directly through the SOCKS5 server
// in origin form. Reads the response to its end. Returns 1 when it was a 200
// that ended with body_bytes of the origin's body.
int http_request(const BenchRoute* route, int path, int body_bytes);

// bulk: one tunnel per path and round, a checked pseudo-random stream each
// way; prints MB/s and CPU seconds per GB of each party. Adds each failed
// round to *failures.
void bulk_phase(Bench* bench, int* failures);

// setup: tunnels opened and closed by each level of concurrent clients, then
// plain-HTTP requests by each HTTP level, against each server of
// --setup-servers (restarting the proxy for a server other than the main one),
// through the SOCKS5 server directly, the local proxy and each proxy of
// --compare, in turns; prints rate, p50, p99 and CPU per tunnel or request,
// and the medians over the rounds. Adds failures.
void setup_phase(Bench* bench, int* failures);

// log: the set-up rate through the proxy with and without its --log, against
// microsocks (whose own cost is low, so the proxy's shows), in alternating
// rounds; prints the best rate of each and their ratio. Leaves a proxy
// without a log running towards the main server. Adds failures.
void log_phase(Bench* bench, int* failures);

// idle: for each count, a fresh proxy holds that many tunnels at once; prints
// failures, whether a new tunnel works, and resident memory per tunnel, before
// and after data went through each. Leaves a fresh proxy running. Adds failures.
void idle_phase(Bench* bench, int* failures);
