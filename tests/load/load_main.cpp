// Load test of the local proxy (native): the proxy alone in a process of its
// own (lumaret_bench_proxy), microsocks as its SOCKS5 server and the
// benchmark's checked-stream target (bench/bench_target.h) on threads of this
// process, all on loopback. Three scenarios, each with a verdict:
//   concurrent - N tunnels open at once, each pushing a pseudo-random stream
//                to the target (checked there) and pulling one back (checked
//                here), round after round for some seconds;
//   silent     - S clients send a request line and then nothing (each holds a
//                tunnel thread), and M normal tunnels must still work promptly;
//   sequential - K tunnels one after another (open, echo 64 bytes, close),
//                then the proxy's descriptors, threads and resident memory
//                must be back where they were.
// Figures go to standard output; the exit code is 0 when every verdict passed.
//
//   lumaret_load --proxy-program PATH [--tunnels N] [--seconds S] [--silent S]
//                [--after-silent M] [--sequential K] [--rss-growth-limit-kib L]
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <dirent.h>
#include <sys/resource.h>
#include <vector>

#include "bench_stream.h"
#include "bench_target.h"
#include "bench_tunnel.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "support/peer_process.h"

namespace {

// Bytes per direction and round of a concurrent tunnel: small enough that a
// thousand tunnels take turns many times within a few seconds.
constexpr size_t kRoundBytes = 16 * 1024;
constexpr size_t kEchoBytes = 64;
// Tunnels run before the sequential baseline, so that one-time costs (malloc
// arenas, the stack cache, the resolver's first use) are not counted as growth.
constexpr int kWarmUpTunnels = 200;
// How long the proxy gets to finish closing tunnels before it is measured.
constexpr unsigned kSettleMs = 1000;
constexpr unsigned kWaitLimitMs = 30000;

struct LoadOptions {
  char proxy_program[4096];
  int tunnels;
  double seconds;
  int silent;
  int after_silent;
  int sequential;
  long rss_growth_limit_kib;  // 0: memory is reported, not judged
  unsigned prompt_limit_ms;   // the slowest tunnel beside the silent clients
};

struct Load {
  LoadOptions options;
  BenchRoute route;
  PeerProcess socks;
  PeerProcess proxy;
  TargetServer target;
  int idle_threads;  // the proxy's threads with no client: its listener
  int failures;      // verdicts that failed
};

// One client thread of the concurrent and silent scenarios.
struct TunnelJob {
  Load* load;
  int index;
  int rounds_wanted;  // 0: until the deadline of the concurrent scenario
  int opened;
  int rounds;  // completed rounds, one push and one pull each
  int failed;
  uint64_t bytes_up;
  uint64_t bytes_down;
  double seconds;  // from connect to the end of the last round
};

// The start gate of the concurrent scenario: a thousand threads polling a
// flag would take the CPU from the tunnels still opening.
std::atomic<int32_t> g_ready;  // concurrent tunnels that opened or failed
std::mutex g_gate_lock;
std::condition_variable g_gate;
int g_go;  // guarded by g_gate_lock; set once all are ready
std::atomic<int64_t> g_deadline_ms;

long now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int count_descriptors(int pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/fd", pid);
  DIR* directory = opendir(path);
  if (directory == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(directory);
  return count;
}

struct ProxyFigures {
  int descriptors;
  int threads;
  long rss_kib;
};

ProxyFigures measure_proxy(const Load* load) {
  ProxyFigures figures = {-1, -1, -1};
  ProcessSample sample;
  if (process_sample(load->proxy.pid, &sample)) {
    figures.threads = sample.threads;
    figures.rss_kib = sample.rss_kib;
  }
  figures.descriptors = count_descriptors(load->proxy.pid);
  return figures;
}

// Waits until the proxy runs at least (or, with at_most, at most) threads.
int wait_proxy_threads(const Load* load, int threads, int at_most) {
  long end = now_ms() + kWaitLimitMs;
  while (now_ms() < end) {
    int now = measure_proxy(load).threads;
    if (at_most ? (now >= 0 && now <= threads) : now >= threads) return 1;
    thread_sleep_ms(20);
  }
  return 0;
}

void verdict(Load* load, const char* scenario, int passed, const char* why) {
  printf("%s: %s%s%s\n", scenario, passed ? "PASS" : "FAIL", passed ? "" : " - ",
         passed ? "" : why);
  if (!passed) ++load->failures;
  fflush(stdout);
}

// Pushes count bytes of the stream of seed to the target, which checks each
// one. Returns 1 when the target confirmed all of them.
int push_round(NetSocket socket, StreamPattern* pattern, uint64_t seed, unsigned char* buffer) {
  // Request and stream in one send: two small writes in a row would wait for
  // the peer's delayed acknowledgement.
  TargetRequest request = {kTargetMagic, kTargetSink, kRoundBytes, seed};
  memcpy(buffer, &request, sizeof(request));
  stream_pattern_init(pattern, seed);
  stream_fill(pattern, 0, buffer + sizeof(request), kRoundBytes);
  if (!net_send_all(socket, buffer, sizeof(request) + kRoundBytes)) return 0;
  uint64_t matched = 0;
  if (!net_recv_exact(socket, &matched, sizeof(matched))) return 0;
  return matched == kRoundBytes;
}

// Pulls count bytes of the stream of seed from the target and checks each one.
int pull_round(NetSocket socket, StreamPattern* pattern, uint64_t seed, unsigned char* buffer) {
  TargetRequest request = {kTargetMagic, kTargetSource, kRoundBytes, seed};
  if (!net_send_all(socket, &request, sizeof(request))) return 0;
  if (!net_recv_exact(socket, buffer, kRoundBytes)) return 0;
  stream_pattern_init(pattern, seed);
  return stream_check(pattern, 0, buffer, kRoundBytes) == kRoundBytes;
}

unsigned run_tunnel_job(void* argument) {
  TunnelJob* job = static_cast<TunnelJob*>(argument);
  long started = now_ms();
  NetSocket socket = tunnel_open(&job->load->route, kPathProxy);
  job->opened = socket != kInvalidSocket;
  if (job->rounds_wanted == 0) {
    // Concurrent: every tunnel is open before any of them moves data.
    g_ready.fetch_add(1);
    std::unique_lock<std::mutex> lock(g_gate_lock);
    g_gate.wait(lock, [] { return g_go != 0; });
  }
  StreamPattern* pattern = static_cast<StreamPattern*>(malloc(sizeof(StreamPattern)));
  unsigned char buffer[sizeof(TargetRequest) + kRoundBytes];
  int ok = job->opened && pattern != nullptr;
  while (ok) {
    if (job->rounds_wanted != 0 && job->rounds >= job->rounds_wanted) break;
    if (job->rounds_wanted == 0 && job->rounds > 0 && now_ms() >= g_deadline_ms.load()) break;
    uint64_t seed =
        static_cast<uint64_t>(job->index) * 1000003ULL + static_cast<uint64_t>(job->rounds) * 2;
    ok = push_round(socket, pattern, seed, buffer);
    if (ok) job->bytes_up += kRoundBytes;
    if (ok) ok = pull_round(socket, pattern, seed + 1, buffer);
    if (ok) {
      job->bytes_down += kRoundBytes;
      ++job->rounds;
    }
  }
  free(pattern);
  job->seconds = static_cast<double>(now_ms() - started) / 1000.0;
  if (!job->opened) {
    job->failed = 1;
  } else if (!ok) {
    job->failed = 1;
    net_close(socket);
  } else if (!target_close_tunnel(socket)) {
    job->failed = 1;
  }
  return 0;
}

int scenario_concurrent(Load* load) {
  int count = load->options.tunnels;
  std::vector<TunnelJob> jobs(static_cast<size_t>(count));
  std::vector<ThreadHandle> threads(static_cast<size_t>(count), kNoThread);
  for (int i = 0; i < count; ++i)
    jobs[static_cast<size_t>(i)] = TunnelJob{load, i, 0, 0, 0, 0, 0, 0, 0};
  g_ready.store(0);
  g_go = 0;
  long started = now_ms();
  for (int i = 0; i < count; ++i) {
    threads[static_cast<size_t>(i)] = thread_start(run_tunnel_job, &jobs[static_cast<size_t>(i)]);
    if (threads[static_cast<size_t>(i)] == kNoThread) {
      jobs[static_cast<size_t>(i)].failed = 1;
      g_ready.fetch_add(1);
    }
  }
  while (g_ready.load() < count) thread_sleep_ms(5);
  double open_seconds = static_cast<double>(now_ms() - started) / 1000.0;
  ProxyFigures peak = measure_proxy(load);
  long moving = now_ms();
  g_deadline_ms.store(moving + static_cast<long>(load->options.seconds * 1000));
  {
    std::lock_guard<std::mutex> lock(g_gate_lock);
    g_go = 1;
  }
  g_gate.notify_all();
  for (int i = 0; i < count; ++i) {
    if (threads[static_cast<size_t>(i)] != kNoThread)
      thread_wait_and_close(threads[static_cast<size_t>(i)], 600000);
  }
  double data_seconds = static_cast<double>(now_ms() - moving) / 1000.0;

  int opened = 0, failed = 0, min_rounds = -1;
  uint64_t up = 0, down = 0;
  for (const TunnelJob& job : jobs) {
    opened += job.opened;
    failed += job.failed;
    up += job.bytes_up;
    down += job.bytes_down;
    if (min_rounds < 0 || job.rounds < min_rounds) min_rounds = job.rounds;
  }
  int back = wait_proxy_threads(load, load->idle_threads, 1);
  printf(
      "concurrent: %d tunnels, %d open at once in %.2f s, %d failed; data for %.2f s: "
      "%.1f MB up and %.1f MB down, every byte checked (%.1f MB/s), fewest rounds per tunnel %d; "
      "proxy at the peak: %d threads, %d descriptors, RSS %ld KiB\n",
      count, opened, open_seconds, failed, data_seconds, static_cast<double>(up) / 1e6,
      static_cast<double>(down) / 1e6, static_cast<double>(up + down) / 1e6 / data_seconds,
      min_rounds, peak.threads, peak.descriptors, peak.rss_kib);
  int passed = opened == count && failed == 0 && min_rounds >= 1 && peak.threads >= count + 1 &&
               back && load->target.failures.load() == 0;
  verdict(load, "concurrent", passed,
          "a tunnel failed, moved nothing, was not open at the peak, or the proxy kept threads");
  return passed;
}

int scenario_silent(Load* load) {
  int silent_count = load->options.silent;
  int count = load->options.after_silent;
  std::vector<NetSocket> silent(static_cast<size_t>(silent_count), kInvalidSocket);
  char line[96];
  int length = snprintf(line, sizeof(line), "CONNECT 127.0.0.1:%u HTTP/1.1\r\n",
                        static_cast<unsigned>(load->route.target_port));
  char port_text[8];
  snprintf(port_text, sizeof(port_text), "%u", static_cast<unsigned>(load->route.proxy_port));
  int silent_ok = 0;
  for (NetSocket& socket : silent) {
    socket = net_connect_first("127.0.0.1", port_text);
    if (socket != kInvalidSocket && net_send_all(socket, line, static_cast<size_t>(length)))
      ++silent_ok;
  }
  // Every silent client is accepted and waits in a tunnel thread of its own.
  int held = wait_proxy_threads(load, load->idle_threads + silent_count, 0);
  ProxyFigures holding = measure_proxy(load);

  std::vector<TunnelJob> jobs(static_cast<size_t>(count));
  std::vector<ThreadHandle> threads(static_cast<size_t>(count), kNoThread);
  long started = now_ms();
  for (int i = 0; i < count; ++i) {
    jobs[static_cast<size_t>(i)] = TunnelJob{load, 100000 + i, 1, 0, 0, 0, 0, 0, 0};
    threads[static_cast<size_t>(i)] = thread_start(run_tunnel_job, &jobs[static_cast<size_t>(i)]);
    if (threads[static_cast<size_t>(i)] == kNoThread) jobs[static_cast<size_t>(i)].failed = 1;
  }
  for (int i = 0; i < count; ++i) {
    if (threads[static_cast<size_t>(i)] != kNoThread)
      thread_wait_and_close(threads[static_cast<size_t>(i)], 600000);
  }
  double all_seconds = static_cast<double>(now_ms() - started) / 1000.0;
  int failed = 0;
  std::vector<double> times;
  for (const TunnelJob& job : jobs) {
    failed += job.failed || job.rounds != 1;
    times.push_back(job.seconds);
  }
  std::sort(times.begin(), times.end());
  // The silent clients got no answer all this time.
  int still_silent = 1;
  for (NetSocket socket : silent) {
    if (socket == kInvalidSocket) continue;
    char byte;
    net_set_timeouts(socket, 1);
    if (net_recv_some(socket, &byte, 1) >= 0) still_silent = 0;
    net_close(socket);
  }
  int back = wait_proxy_threads(load, load->idle_threads, 1);
  printf(
      "silent: %d of %d silent clients held (proxy %d threads, %d descriptors); %d tunnels beside "
      "them "
      "in %.2f s, %d failed, per tunnel p50 %.0f ms, max %.0f ms\n",
      silent_ok, silent_count, holding.threads, holding.descriptors, count, all_seconds, failed,
      times.empty() ? 0.0 : times[times.size() / 2] * 1000,
      times.empty() ? 0.0 : times.back() * 1000);
  int passed = silent_ok == silent_count && held && failed == 0 && still_silent && back &&
               !times.empty() && times.back() * 1000 <= load->options.prompt_limit_ms;
  verdict(load, "silent", passed,
          "a silent client was not held or was answered, a tunnel beside them failed or was slow, "
          "or the proxy kept threads");
  return passed;
}

// One tunnel: open, echo kEchoBytes, the target closes. Returns 1 when all came back.
int echo_tunnel(const Load* load, int index) {
  NetSocket socket = tunnel_open(&load->route, kPathProxy);
  if (socket == kInvalidSocket) return 0;
  TargetRequest request = {kTargetMagic, kTargetEcho, kEchoBytes, 0};
  unsigned char sent[sizeof(request) + kEchoBytes];
  unsigned char received[kEchoBytes];
  memcpy(sent, &request, sizeof(request));
  unsigned char* echo = sent + sizeof(request);
  for (size_t i = 0; i < kEchoBytes; ++i)
    echo[i] = static_cast<unsigned char>(index * 31 + static_cast<int>(i));
  int ok = net_send_all(socket, sent, sizeof(sent)) &&
           net_recv_exact(socket, received, sizeof(received)) &&
           memcmp(echo, received, sizeof(received)) == 0;
  if (!ok) {
    net_close(socket);
    return 0;
  }
  return target_close_tunnel(socket);
}

ProxyFigures settled_figures(const Load* load) {
  wait_proxy_threads(load, load->idle_threads, 1);
  thread_sleep_ms(kSettleMs);
  return measure_proxy(load);
}

int scenario_sequential(Load* load, const ProxyFigures* fresh) {
  int failed = 0;
  for (int i = 0; i < kWarmUpTunnels; ++i) failed += !echo_tunnel(load, i);
  ProxyFigures before = settled_figures(load);
  long started = now_ms();
  int count = load->options.sequential;
  for (int i = 0; i < count; ++i) failed += !echo_tunnel(load, i);
  double seconds = static_cast<double>(now_ms() - started) / 1000.0;
  ProxyFigures after = settled_figures(load);
  long growth = after.rss_kib - before.rss_kib;
  printf(
      "sequential: %d tunnels in %.1f s (%.0f per s) after %d warm-up tunnels, %d failed; proxy "
      "descriptors %d fresh, %d before, %d after (growth %d); threads %d before, %d after; "
      "RSS %ld KiB fresh, %ld KiB before, %ld KiB after (growth %ld KiB)\n",
      count, seconds, count / seconds, kWarmUpTunnels, failed, fresh->descriptors,
      before.descriptors, after.descriptors, after.descriptors - before.descriptors, before.threads,
      after.threads, fresh->rss_kib, before.rss_kib, after.rss_kib, growth);
  int passed =
      failed == 0 && before.descriptors > 0 && after.descriptors == before.descriptors &&
      after.threads == load->idle_threads &&
      (load->options.rss_growth_limit_kib == 0 || growth <= load->options.rss_growth_limit_kib);
  verdict(load, "sequential", passed, "a tunnel failed, or descriptors, threads or memory grew");
  return passed;
}

int parse_options(int argc, char** argv, LoadOptions* options) {
  memset(options, 0, sizeof(*options));
  options->tunnels = 1000;
  options->seconds = 3;
  options->silent = 500;
  options->after_silent = 100;
  options->sequential = 10000;
  options->rss_growth_limit_kib = 2048;
  options->prompt_limit_ms = 10000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const char* name = argv[i];
    const char* value = argv[i + 1];
    if (strcmp(name, "--proxy-program") == 0) {
      snprintf(options->proxy_program, sizeof(options->proxy_program), "%s", value);
    } else if (strcmp(name, "--tunnels") == 0) {
      options->tunnels = atoi(value);
    } else if (strcmp(name, "--seconds") == 0) {
      options->seconds = atof(value);
    } else if (strcmp(name, "--silent") == 0) {
      options->silent = atoi(value);
    } else if (strcmp(name, "--after-silent") == 0) {
      options->after_silent = atoi(value);
    } else if (strcmp(name, "--sequential") == 0) {
      options->sequential = atoi(value);
    } else if (strcmp(name, "--rss-growth-limit-kib") == 0) {
      options->rss_growth_limit_kib = atol(value);
    } else {
      return 0;
    }
  }
  return argc % 2 == 1 && options->proxy_program[0] != '\0' && options->tunnels > 0 &&
         options->after_silent > 0 && options->silent >= 0 && options->sequential > 0;
}

// Room for every tunnel's descriptors here and in the children, which inherit it.
void raise_descriptor_limit() {
  rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) != 0) return;
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
}

int start_peers(Load* load) {
  if (!target_start(&load->target)) return 0;
  load->route.target_port = load->target.port;
  load->route.socks_port = peer_free_port();
  if (!peer_start_microsocks(&load->socks, load->route.socks_port)) return 0;
  load->route.proxy_port = peer_free_port();
  char http_port[8];
  char socks_port[8];
  snprintf(http_port, sizeof(http_port), "%u", static_cast<unsigned>(load->route.proxy_port));
  snprintf(socks_port, sizeof(socks_port), "%u", static_cast<unsigned>(load->route.socks_port));
  const char* argv[] = {
      load->options.proxy_program, "--http-port", http_port, "--socks-port", socks_port, nullptr};
  return peer_start(&load->proxy, argv) && peer_wait_listening(load->route.proxy_port, 10000);
}

}  // namespace

int main(int argc, char** argv) {
  static Load load;
  if (!parse_options(argc, argv, &load.options)) {
    fprintf(stderr,
            "usage: lumaret_load --proxy-program PATH [--tunnels N] [--seconds S] [--silent S]\n"
            "                    [--after-silent M] [--sequential K] [--rss-growth-limit-kib L]\n");
    return 2;
  }
  raise_descriptor_limit();
  rlimit files;
  getrlimit(RLIMIT_NOFILE, &files);
  if (!net_startup()) return 1;
  int started = start_peers(&load);
  if (!started) {
    fprintf(stderr, "lumaret_load: the target, microsocks or the proxy did not start\n");
  } else {
    thread_sleep_ms(200);
    ProxyFigures fresh = measure_proxy(&load);
    load.idle_threads = fresh.threads;
    printf(
        "load: descriptor limit %lu; proxy pid %d fresh: %d threads, %d descriptors, RSS %ld KiB\n",
        static_cast<unsigned long>(files.rlim_cur), load.proxy.pid, fresh.threads,
        fresh.descriptors, fresh.rss_kib);
    scenario_concurrent(&load);
    scenario_silent(&load);
    scenario_sequential(&load, &fresh);
  }
  peer_stop(&load.proxy);
  peer_stop(&load.socks);
  target_stop(&load.target);
  if (!started) return 1;
  printf("load: %s\n", load.failures == 0 ? "all scenarios passed" : "FAILED");
  return load.failures == 0 ? 0 : 1;
}
