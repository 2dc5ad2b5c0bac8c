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
  double hold_seconds;     // keeps the idle tunnels open this long, for inspection
  char setup_servers[64];  // comma-separated: dante, microsocks
};

// One benchmark run: its options, the SOCKS5 server and proxy processes, the
// target server on threads of this process, and the ports between them.
struct Bench {
  BenchOptions options;
  PeerProcess upstream;
  PeerProcess proxy;
  TargetServer target;
  BenchRoute route;
  const char* proxy_log;  // the proxy's --log file, or null for none
};

// "proxy" or "direct", the name of a BenchPath in tables and keys.
const char* path_name(int path);

// Prints the "= key value" line that bench/run.sh gathers over several runs.
void print_key(const char* key, double value);

// Starts a proxy process on a free port towards route.socks_port (the caller has
// stopped any earlier one) and sets route.proxy_port. Returns 1 when it
// listens, 0 when five ports in a row failed.
int start_proxy(Bench* bench);

// bulk: one tunnel per path and round, a checked pseudo-random stream each
// way; prints MB/s and CPU seconds per GB of each party. Adds each failed
// round to *failures.
void bulk_phase(Bench* bench, int* failures);

// setup: tunnels opened and closed by each level of concurrent clients, against
// each server of --setup-servers (restarting the proxy for a server other than
// the main one); prints rate, p50, p99 and CPU per tunnel. Adds failures.
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
