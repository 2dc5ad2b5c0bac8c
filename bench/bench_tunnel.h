// The benchmark's client side: opening a tunnel to the target either through
// the local proxy (HTTP CONNECT) or directly through the SOCKS5 server, and
// reading a process's CPU time, resident memory and thread count.
#pragma once

#include <cstdint>

#include "platform/net.h"

enum BenchPath { kPathDirect = 0, kPathProxy = 1 };

// Where the tunnels go: the proxy's port, the SOCKS5 server's port, the
// target's port and the plain-HTTP origin's port, all on 127.0.0.1.
struct BenchRoute {
  uint16_t proxy_port;
  uint16_t socks_port;
  uint16_t target_port;
  uint16_t origin_port;
};

// Limit of every send and receive of a benchmark client, so that a broken
// peer fails a measurement instead of hanging it.
constexpr int kClientLimitMs = 60000;

// Opens a tunnel to the target along path: through the proxy, a CONNECT
// request answered by "200" (HTTP/1.0 or 1.1); directly, a SOCKS5 CONNECT by the core's client.
// Returns the socket positioned at the first tunnel byte, or kInvalidSocket.
NetSocket tunnel_open(const BenchRoute* route, int path);

// A process's cumulative CPU time (user and system, all threads), resident
// memory and thread count, from /proc.
struct ProcessSample {
  double cpu_seconds;
  long rss_kib;
  int threads;
};

// Reads the sample of pid. Returns 1 on success.
int process_sample(int pid, ProcessSample* sample);

// Cumulative CPU seconds of every process in the process group (a server
// that forks helpers, such as danted), or -1 when none was found.
double process_group_cpu(int group);

// Cumulative CPU seconds of the calling process, all threads.
double process_self_cpu();

// CPU seconds the whole machine has been busy (user, nice, system, irq,
// softirq over all cpus) since boot, from /proc/stat; -1 when unreadable.
double machine_busy_cpu();

// Seconds on the monotonic clock.
double bench_now();
