// The idle measurement: a fresh proxy holds thousands of tunnels at once;
// failures, a new tunnel still working, the proxy's resident memory per tunnel
// before and after data went through each, and its threads after the close.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench.h"
#include "bench_stream.h"
#include "platform/net.h"
#include "platform/thread.h"

namespace {

constexpr int kIdleOpeners = 16;
constexpr int kIdleEchoBytes = 64;
constexpr int kWarmBytes = 65536;

NetSocket g_idle[kMaxIdleTunnels];
std::atomic<int32_t> g_idle_next;
std::atomic<int32_t> g_idle_failures;

enum IdleStep { kIdleOpen, kIdleWarm, kIdleClose };

struct IdleWork {
  const BenchRoute* route;
  int count;
  int step;  // open and echo a few bytes; pull kWarmBytes through each; close
};

// Opens a tunnel and moves a few bytes both ways through it. Returns the
// socket, or kInvalidSocket.
NetSocket idle_open(const BenchRoute* route, int bytes) {
  NetSocket socket = tunnel_open(route, kPathProxy);
  if (socket == kInvalidSocket) return kInvalidSocket;
  unsigned char sent[4096];
  unsigned char back[4096];
  for (int i = 0; i < bytes; ++i) sent[i] = static_cast<unsigned char>(i * 7 + 1);
  TargetRequest request = {kTargetMagic, kTargetEcho, static_cast<uint64_t>(bytes), 0};
  if (!net_send_all(socket, &request, sizeof(request)) || !net_send_all(socket, sent, bytes) ||
      !net_recv_exact(socket, back, bytes) || memcmp(sent, back, bytes) != 0) {
    net_close(socket);
    return kInvalidSocket;
  }
  return socket;
}

int idle_pull(NetSocket socket, uint64_t seed) {
  static thread_local unsigned char buffer[kWarmBytes];
  TargetRequest request = {kTargetMagic, kTargetSource, kWarmBytes, seed};
  if (!net_send_all(socket, &request, sizeof(request))) return 0;
  if (!net_recv_exact(socket, buffer, kWarmBytes)) return 0;
  StreamPattern* pattern = static_cast<StreamPattern*>(malloc(sizeof(StreamPattern)));
  if (pattern == nullptr) return 0;
  stream_pattern_init(pattern, seed);
  int ok = stream_check(pattern, 0, buffer, kWarmBytes) == kWarmBytes;
  free(pattern);
  return ok;
}

unsigned run_idle_worker(void* argument) {
  IdleWork* work = static_cast<IdleWork*>(argument);
  for (;;) {
    int index = g_idle_next.fetch_add(1);
    if (index >= work->count) return 0;
    if (work->step == kIdleOpen) {
      g_idle[index] = idle_open(work->route, kIdleEchoBytes);
      if (g_idle[index] == kInvalidSocket) g_idle_failures.fetch_add(1);
    } else if (g_idle[index] != kInvalidSocket && work->step == kIdleWarm) {
      if (!idle_pull(g_idle[index], 5000 + static_cast<uint64_t>(index)))
        g_idle_failures.fetch_add(1);
    } else if (g_idle[index] != kInvalidSocket) {
      if (!target_close_tunnel(g_idle[index])) g_idle_failures.fetch_add(1);
      g_idle[index] = kInvalidSocket;
    }
  }
}

void idle_spread(IdleWork* work) {
  ThreadHandle threads[kIdleOpeners];
  g_idle_next.store(0);
  for (int i = 0; i < kIdleOpeners; ++i) threads[i] = thread_start(run_idle_worker, work);
  for (int i = 0; i < kIdleOpeners; ++i) {
    if (threads[i] != kNoThread) thread_wait_and_close(threads[i], 600000);
  }
}

// Waits until the proxy runs at most threads threads, at most limit_ms.
int wait_proxy_threads(int pid, int threads, unsigned limit_ms, ProcessSample* sample) {
  for (unsigned waited = 0;; waited += 50) {
    if (process_sample(pid, sample) && sample->threads <= threads) return 1;
    if (waited >= limit_ms) return 0;
    thread_sleep_ms(50);
  }
}

}  // namespace

void idle_phase(Bench* bench, int* failures) {
  for (int i = 0; i < kMaxIdleTunnels; ++i) g_idle[i] = kInvalidSocket;
  printf(
      "\nidle: a fresh proxy holds N tunnels at once (each echoed %d bytes), then each pulls %d "
      "bytes\n",
      kIdleEchoBytes, kWarmBytes);
  printf("  %6s %7s %8s %10s %10s %12s %10s %12s %8s\n", "N", "failed", "threads", "base KiB",
         "held KiB", "KiB/tunnel", "new ok", "warm KiB/t", "drained");
  char key[64];
  for (int c = 0; c < bench->options.idle_count_count; ++c) {
    int count = bench->options.idle_counts[c];
    peer_stop(&bench->proxy);
    if (!start_proxy(bench)) {
      printf("  %6d proxy did not start\n", count);
      ++*failures;
      continue;
    }
    ProcessSample base;
    // The port check connected once; wait until that tunnel's thread is gone.
    wait_proxy_threads(bench->proxy.pid, 1, 2000, &base);
    g_idle_failures.store(0);
    IdleWork work = {&bench->route, count, kIdleOpen};
    idle_spread(&work);
    int open_failures = g_idle_failures.load();
    thread_sleep_ms(500);
    ProcessSample held;
    process_sample(bench->proxy.pid, &held);
    if (bench->options.hold_seconds > 0) {
      printf("  holding %d tunnels for %.0f s: proxy pid %d\n", count, bench->options.hold_seconds,
             bench->proxy.pid);
      fflush(stdout);
      thread_sleep_ms(static_cast<unsigned>(bench->options.hold_seconds * 1000));
    }

    NetSocket fresh = idle_open(&bench->route, 4096);
    int fresh_ok = fresh != kInvalidSocket && target_close_tunnel(fresh);
    ProcessSample settled;
    wait_proxy_threads(bench->proxy.pid, held.threads, 2000, &settled);

    g_idle_failures.store(0);
    work.step = kIdleWarm;
    idle_spread(&work);
    int warm_failures = g_idle_failures.load();
    thread_sleep_ms(500);
    ProcessSample warm;
    process_sample(bench->proxy.pid, &warm);

    g_idle_failures.store(0);
    work.step = kIdleClose;
    idle_spread(&work);
    warm_failures += g_idle_failures.load();
    ProcessSample drained;
    int drained_ok = wait_proxy_threads(bench->proxy.pid, 1, 20000, &drained);

    int established = count - open_failures;
    double per_tunnel =
        established > 0 ? static_cast<double>(held.rss_kib - base.rss_kib) / established : 0;
    double warm_per_tunnel =
        established > 0 ? static_cast<double>(warm.rss_kib - base.rss_kib) / established : 0;
    int failed = open_failures + warm_failures;
    printf("  %6d %7d %8d %10ld %10ld %12.2f %10s %12.2f %8s\n", count, failed, held.threads,
           base.rss_kib, held.rss_kib, per_tunnel, fresh_ok ? "yes" : "NO", warm_per_tunnel,
           drained_ok ? "yes" : "NO");
    *failures += failed + (fresh_ok ? 0 : 1) + (drained_ok ? 0 : 1);
    snprintf(key, sizeof(key), "idle_%d_failures", count);
    print_key(key, failed);
    snprintf(key, sizeof(key), "idle_%d_new_tunnel_ok", count);
    print_key(key, fresh_ok);
    snprintf(key, sizeof(key), "idle_%d_kib_per_tunnel", count);
    print_key(key, per_tunnel);
    snprintf(key, sizeof(key), "idle_%d_warm_kib_per_tunnel", count);
    print_key(key, warm_per_tunnel);
    snprintf(key, sizeof(key), "idle_%d_target_failures", count);
    print_key(key, bench->target.failures.load());
  }
}
