// The proxy benchmark: starts a SOCKS5 server (dante by default), the local
// proxy alone (lumaret_bench_proxy) and a target server, and measures on
// loopback, side by side for a tunnel through the proxy and a direct SOCKS5
// tunnel to the same server:
//   bulk  - one tunnel, a checked pseudo-random stream each way: MB/s and the
//           proxy's CPU seconds per GB;
//   setup - tunnels opened and closed by 1, 50, 500 concurrent clients: rate,
//           p50 and p99 of the time from connect to the first tunnel byte;
//   idle  - thousands of tunnels held at once by a fresh proxy: failures, a
//           new tunnel still working, and the proxy's resident memory per tunnel.
// Results go to standard output, as tables and as "= key value" lines that
// bench/run.sh gathers over several runs.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <ctime>
#include <unistd.h>

#include "bench_stream.h"
#include "bench_target.h"
#include "bench_tunnel.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "support/peer_process.h"

namespace {

constexpr int kMaxLevels = 8;
constexpr size_t kClientChunk = 256 * 1024;
constexpr int kMaxIdleTunnels = 20000;
constexpr int kIdleOpeners = 16;
constexpr int kIdleEchoBytes = 64;
constexpr int kWarmBytes = 65536;
constexpr size_t kMaxLatencies = 1 << 22;

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
  double hold_seconds;  // keeps the idle tunnels open this long, for inspection
  char setup_servers[64];  // comma-separated: dante, microsocks
};

struct Bench {
  BenchOptions options;
  PeerProcess upstream;
  PeerProcess proxy;
  TargetServer target;
  BenchRoute route;
};

const char* path_name(int path) { return path == kPathProxy ? "proxy" : "direct"; }

void print_key(const char* key, double value) { printf("= %s %.4g\n", key, value); }

void read_load(char* text, size_t capacity) {
  text[0] = '\0';
  FILE* file = fopen("/proc/loadavg", "r");
  if (file == nullptr) return;
  if (fgets(text, static_cast<int>(capacity), file) == nullptr) text[0] = '\0';
  fclose(file);
  size_t length = strlen(text);
  if (length > 0 && text[length - 1] == '\n') text[length - 1] = '\0';
}

int parse_list(const char* text, int* values, int* count) {
  *count = 0;
  const char* rest = text;
  while (*rest != '\0' && *count < kMaxLevels) {
    char* end = nullptr;
    long value = strtol(rest, &end, 10);
    if (end == rest || value < 1 || value > kMaxIdleTunnels) return 0;
    values[(*count)++] = static_cast<int>(value);
    rest = *end == ',' ? end + 1 : end;
    if (*end != ',' && *end != '\0') return 0;
  }
  return *count > 0;
}

int usage() {
  fprintf(stderr,
          "usage: lumaret_bench [--smoke] [--bulk-mib N] [--rounds N] [--setup-seconds S]\n"
          "                     [--levels 1,50,500] [--idle 1000,5000]\n"
          "                     [--server dante|microsocks] [--proxy-program PATH]\n"
          "                     [--setup-servers dante,microsocks] [--hold-seconds S]\n");
  return 2;
}

int parse_options(int argc, char** argv, BenchOptions* options) {
  memset(options, 0, sizeof(*options));
  options->bulk_bytes = 1ULL << 30;
  options->rounds = 2;
  options->setup_seconds = 3.0;
  parse_list("1,50,500", options->levels, &options->level_count);
  parse_list("1000,5000", options->idle_counts, &options->idle_count_count);
  snprintf(options->server, sizeof(options->server), "dante");
  snprintf(options->setup_servers, sizeof(options->setup_servers), "dante,microsocks");
  char self[4000];
  ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  self[length > 0 ? length : 0] = '\0';
  char* slash = strrchr(self, '/');
  if (slash != nullptr) *slash = '\0';
  snprintf(options->proxy_program, sizeof(options->proxy_program), "%s/lumaret_bench_proxy", self);
  for (int i = 1; i < argc; ++i) {
    const char* name = argv[i];
    if (strcmp(name, "--smoke") == 0) {
      options->smoke = 1;
      options->bulk_bytes = 10ULL << 20;
      options->rounds = 1;
      options->setup_seconds = 0.3;
      parse_list("1,10", options->levels, &options->level_count);
      parse_list("10", options->idle_counts, &options->idle_count_count);
      continue;
    }
    if (i + 1 >= argc) return 0;
    const char* value = argv[++i];
    if (strcmp(name, "--bulk-mib") == 0) {
      long mib = strtol(value, nullptr, 10);
      if (mib < 1) return 0;
      options->bulk_bytes = static_cast<uint64_t>(mib) << 20;
    } else if (strcmp(name, "--rounds") == 0) {
      options->rounds = static_cast<int>(strtol(value, nullptr, 10));
      if (options->rounds < 1) return 0;
    } else if (strcmp(name, "--setup-seconds") == 0) {
      options->setup_seconds = strtod(value, nullptr);
      if (options->setup_seconds <= 0) return 0;
    } else if (strcmp(name, "--levels") == 0) {
      if (!parse_list(value, options->levels, &options->level_count)) return 0;
    } else if (strcmp(name, "--idle") == 0) {
      if (!parse_list(value, options->idle_counts, &options->idle_count_count)) return 0;
    } else if (strcmp(name, "--server") == 0) {
      if (strcmp(value, "dante") != 0 && strcmp(value, "microsocks") != 0) return 0;
      snprintf(options->server, sizeof(options->server), "%s", value);
    } else if (strcmp(name, "--setup-servers") == 0) {
      snprintf(options->setup_servers, sizeof(options->setup_servers), "%s", value);
    } else if (strcmp(name, "--hold-seconds") == 0) {
      options->hold_seconds = strtod(value, nullptr);
    } else if (strcmp(name, "--proxy-program") == 0) {
      snprintf(options->proxy_program, sizeof(options->proxy_program), "%s", value);
    } else {
      return 0;
    }
  }
  return 1;
}

// ---- processes ----

int start_upstream(Bench* bench) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    uint16_t port = peer_free_port();
    int ok = strcmp(bench->options.server, "dante") == 0 ? peer_start_dante(&bench->upstream, port)
                                                          : peer_start_microsocks(&bench->upstream, port);
    if (ok) {
      bench->route.socks_port = port;
      return 1;
    }
  }
  return 0;
}

// Starts a fresh proxy process on a new port.
int start_proxy(Bench* bench) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    uint16_t port = peer_free_port();
    char port_text[8];
    char socks_text[8];
    snprintf(port_text, sizeof(port_text), "%u", static_cast<unsigned>(port));
    snprintf(socks_text, sizeof(socks_text), "%u", static_cast<unsigned>(bench->route.socks_port));
    const char* const argv[] = {bench->options.proxy_program, "--http-port", port_text,
                                "--socks-port", socks_text, nullptr};
    if (!peer_start(&bench->proxy, argv)) return 0;
    if (peer_wait_listening(port, 5000)) {
      bench->route.proxy_port = port;
      return 1;
    }
    peer_stop(&bench->proxy);
  }
  return 0;
}

// ---- bulk ----

// CPU seconds are read around each direction for the three parties of the
// transfer: this process (client and target), the SOCKS5 server's process
// group and the proxy.
enum CpuParty { kCpuBench = 0, kCpuServer = 1, kCpuProxy = 2, kCpuParties = 3 };

struct BulkResult {
  double seconds[2];           // up, down
  double cpu[kCpuParties][2];  // CPU seconds per party and direction
  double others[2];            // CPU seconds of everything else on the machine
  int ok;
};

void sample_cpu(const Bench* bench, double* cpu) {
  ProcessSample proxy;
  cpu[kCpuBench] = process_self_cpu();
  cpu[kCpuServer] = process_group_cpu(bench->upstream.pid);
  cpu[kCpuProxy] = process_sample(bench->proxy.pid, &proxy) ? proxy.cpu_seconds : 0;
}

// Sends bytes of the stream to the target's sink and waits for its verdict.
int bulk_up(NetSocket socket, uint64_t bytes, uint64_t seed, unsigned char* buffer,
            StreamPattern* pattern) {
  TargetRequest request = {kTargetMagic, kTargetSink, bytes, seed};
  if (!net_send_all(socket, &request, sizeof(request))) return 0;
  stream_pattern_init(pattern, seed);
  uint64_t sent = 0;
  while (sent < bytes) {
    size_t take = bytes - sent < kClientChunk ? static_cast<size_t>(bytes - sent) : kClientChunk;
    stream_fill(pattern, sent, buffer, take);
    if (!net_send_all(socket, buffer, take)) return 0;
    sent += take;
  }
  uint64_t matched = 0;
  if (!net_recv_exact(socket, &matched, sizeof(matched))) return 0;
  if (matched != bytes) fprintf(stderr, "bulk up: first wrong byte at %llu\n",
                                static_cast<unsigned long long>(matched));
  return matched == bytes;
}

// Asks the target's source for bytes of the stream and checks every byte.
int bulk_down(NetSocket socket, uint64_t bytes, uint64_t seed, unsigned char* buffer,
              StreamPattern* pattern) {
  TargetRequest request = {kTargetMagic, kTargetSource, bytes, seed};
  if (!net_send_all(socket, &request, sizeof(request))) return 0;
  stream_pattern_init(pattern, seed);
  uint64_t received = 0;
  while (received < bytes) {
    uint64_t missing = bytes - received;
    size_t want = missing < kClientChunk ? static_cast<size_t>(missing) : kClientChunk;
    long n = net_recv_some(socket, buffer, want);
    if (n <= 0) return 0;
    size_t good = stream_check(pattern, received, buffer, static_cast<size_t>(n));
    if (good != static_cast<size_t>(n)) {
      fprintf(stderr, "bulk down: first wrong byte at %llu\n",
              static_cast<unsigned long long>(received + good));
      return 0;
    }
    received += static_cast<uint64_t>(n);
  }
  return 1;
}

int bulk_run(Bench* bench, int path, uint64_t seed, BulkResult* result) {
  memset(result, 0, sizeof(*result));
  unsigned char* buffer = static_cast<unsigned char*>(malloc(kClientChunk));
  StreamPattern* pattern = static_cast<StreamPattern*>(malloc(sizeof(StreamPattern)));
  NetSocket socket = tunnel_open(&bench->route, path);
  int ok = buffer != nullptr && pattern != nullptr && socket != kInvalidSocket;
  for (int direction = 0; ok && direction < 2; ++direction) {
    double before[kCpuParties];
    double after[kCpuParties];
    double machine_before = machine_busy_cpu();
    sample_cpu(bench, before);
    double start = bench_now();
    ok = direction == 0 ? bulk_up(socket, bench->options.bulk_bytes, seed, buffer, pattern)
                        : bulk_down(socket, bench->options.bulk_bytes, seed + 1, buffer, pattern);
    result->seconds[direction] = bench_now() - start;
    sample_cpu(bench, after);
    result->others[direction] = machine_busy_cpu() - machine_before;
    for (int party = 0; party < kCpuParties; ++party) {
      result->cpu[party][direction] = after[party] - before[party];
      result->others[direction] -= result->cpu[party][direction];
    }
  }
  if (socket != kInvalidSocket && !target_close_tunnel(socket)) ok = 0;
  free(pattern);
  free(buffer);
  result->ok = ok;
  return ok;
}

void bulk_phase(Bench* bench, int* failures) {
  const double bytes = static_cast<double>(bench->options.bulk_bytes);
  double best[2][2] = {{0, 0}, {0, 0}};        // [path][direction] MB/s
  double cpu[2][kCpuParties][2] = {};          // [path][party][direction] seconds
  double moved[2] = {0, 0};                    // [path] bytes each way
  double others_share = 0;                     // largest share of other programs
  printf("\nbulk: one tunnel, %.0f MiB each way, every byte checked, %d round(s)\n",
         bytes / 1048576.0, bench->options.rounds);
  printf("  %-6s %5s %9s %9s | CPU s/GB: %5s %6s %6s %6s | %6s | proxy up/down\n", "path",
         "round", "up MB/s", "down MB/s", "bench", "server", "proxy", "total", "others");
  for (int round = 0; round < bench->options.rounds; ++round) {
    for (int path = kPathDirect; path <= kPathProxy; ++path) {
      BulkResult result;
      if (!bulk_run(bench, path, 1000 + static_cast<uint64_t>(round) * 10 + path, &result)) {
        printf("  %-6s %5d FAILED\n", path_name(path), round + 1);
        ++*failures;
        continue;
      }
      double mbps[2];
      double per_gb[kCpuParties];
      double total = 0;
      for (int d = 0; d < 2; ++d) {
        mbps[d] = bytes / 1e6 / result.seconds[d];
        best[path][d] = std::max(best[path][d], mbps[d]);
      }
      for (int party = 0; party < kCpuParties; ++party) {
        for (int d = 0; d < 2; ++d) cpu[path][party][d] += result.cpu[party][d];
        per_gb[party] = (result.cpu[party][0] + result.cpu[party][1]) / (2 * bytes / 1e9);
        total += per_gb[party];
      }
      moved[path] += bytes;
      // Other programs' share of the machine's cpus while this ran: the noise.
      double others = (result.others[0] + result.others[1]) /
                      ((result.seconds[0] + result.seconds[1]) * sysconf(_SC_NPROCESSORS_ONLN));
      others_share = std::max(others_share, others);
      printf("  %-6s %5d %9.1f %9.1f |           %5.2f %6.2f %6.2f %6.2f | %5.0f%% |",
             path_name(path), round + 1, mbps[0], mbps[1], per_gb[kCpuBench], per_gb[kCpuServer],
             per_gb[kCpuProxy], total, 100 * others);
      if (path == kPathProxy) {
        printf(" %.2f / %.2f s/GB", result.cpu[kCpuProxy][0] / (bytes / 1e9),
               result.cpu[kCpuProxy][1] / (bytes / 1e9));
      }
      printf("\n");
    }
  }
  const char* names[2] = {"up", "down"};
  char key[64];
  for (int d = 0; d < 2; ++d) {
    double ratio = best[kPathDirect][d] > 0 ? best[kPathProxy][d] / best[kPathDirect][d] : 0;
    double cpu_per_gb = moved[kPathProxy] > 0 ? cpu[kPathProxy][kCpuProxy][d] / (moved[kPathProxy] / 1e9) : 0;
    printf("  %-4s best direct %.1f MB/s, best proxy %.1f MB/s, ratio %.3f; proxy %.3f CPU s/GB\n",
           names[d], best[kPathDirect][d], best[kPathProxy][d], ratio, cpu_per_gb);
    snprintf(key, sizeof(key), "bulk_%s_direct_mbps", names[d]);
    print_key(key, best[kPathDirect][d]);
    snprintf(key, sizeof(key), "bulk_%s_proxy_mbps", names[d]);
    print_key(key, best[kPathProxy][d]);
    snprintf(key, sizeof(key), "bulk_%s_ratio", names[d]);
    print_key(key, ratio);
    snprintf(key, sizeof(key), "bulk_%s_proxy_cpu_s_per_gb", names[d]);
    print_key(key, cpu_per_gb);
  }
  // The whole pipeline's CPU per GB moved (each way counted once): with every
  // party on two shared cores, the throughput ratio follows the ratio of these.
  const char* party_names[kCpuParties] = {"bench", "server", "proxy"};
  double totals[2] = {0, 0};
  for (int path = kPathDirect; path <= kPathProxy; ++path) {
    for (int party = 0; party < kCpuParties; ++party) {
      double per_gb = moved[path] > 0 ? (cpu[path][party][0] + cpu[path][party][1]) / (2 * moved[path] / 1e9) : 0;
      totals[path] += per_gb;
      snprintf(key, sizeof(key), "bulk_%s_cpu_%s_s_per_gb", path_name(path), party_names[party]);
      print_key(key, per_gb);
    }
    snprintf(key, sizeof(key), "bulk_%s_cpu_total_s_per_gb", path_name(path));
    print_key(key, totals[path]);
  }
  double proxy_total = cpu[kPathProxy][kCpuProxy][0] + cpu[kPathProxy][kCpuProxy][1];
  print_key("bulk_proxy_cpu_s_per_gb", moved[kPathProxy] > 0 ? proxy_total / (2 * moved[kPathProxy] / 1e9) : 0);
  printf("  pipeline CPU per GB: direct %.2f s, through the proxy %.2f s (CPU-bound ratio %.3f)\n",
         totals[kPathDirect], totals[kPathProxy], totals[kPathProxy] > 0 ? totals[kPathDirect] / totals[kPathProxy] : 0);
  print_key("bulk_others_cpu_share_max", others_share);
  print_key("bulk_cpu_bound_ratio", totals[kPathProxy] > 0 ? totals[kPathDirect] / totals[kPathProxy] : 0);
}

// ---- set-up rate and latency ----

uint32_t g_latency_us[kMaxLatencies];
std::atomic<size_t> g_latency_count;
std::atomic<int32_t> g_setup_failures;
std::atomic<int32_t> g_setup_go;
double g_setup_deadline;

struct SetupWorker {
  const BenchRoute* route;
  int path;
};

unsigned run_setup_worker(void* argument) {
  SetupWorker* worker = static_cast<SetupWorker*>(argument);
  while (g_setup_go.load() == 0) thread_sleep_ms(1);
  while (bench_now() < g_setup_deadline) {
    double start = bench_now();
    NetSocket socket = tunnel_open(worker->route, worker->path);
    double took = bench_now() - start;
    if (socket == kInvalidSocket) {
      g_setup_failures.fetch_add(1);
      thread_sleep_ms(1);
      continue;
    }
    size_t slot = g_latency_count.fetch_add(1);
    if (slot < kMaxLatencies) g_latency_us[slot] = static_cast<uint32_t>(took * 1e6);
    if (!target_close_tunnel(socket)) g_setup_failures.fetch_add(1);
  }
  return 0;
}

struct SetupResult {
  double proxy_cpu_us;   // the proxy's CPU per tunnel (through the proxy only)
  double server_cpu_us;  // the SOCKS5 server's CPU per tunnel
  double rate;
  double p50_ms;
  double p99_ms;
  int failures;
  size_t count;
};

void setup_run(Bench* bench, int clients, int path, SetupResult* result) {
  static SetupWorker workers[kMaxIdleTunnels];
  static ThreadHandle threads[kMaxIdleTunnels];
  g_latency_count.store(0);
  g_setup_failures.store(0);
  g_setup_go.store(0);
  int started = 0;
  for (int i = 0; i < clients; ++i) {
    workers[i].route = &bench->route;
    workers[i].path = path;
    threads[i] = thread_start(run_setup_worker, &workers[i]);
    if (threads[i] == kNoThread) break;
    ++started;
  }
  double start = bench_now();
  g_setup_deadline = start + bench->options.setup_seconds;
  g_setup_go.store(1);
  for (int i = 0; i < started; ++i) thread_wait_and_close(threads[i], 120000);
  double elapsed = bench_now() - start;
  size_t count = std::min(g_latency_count.load(), kMaxLatencies);
  std::sort(g_latency_us, g_latency_us + count);
  result->count = count;
  result->rate = static_cast<double>(count) / elapsed;
  result->p50_ms = count > 0 ? g_latency_us[count / 2] / 1000.0 : 0;
  result->p99_ms = count > 0 ? g_latency_us[std::min(count - 1, count * 99 / 100)] / 1000.0 : 0;
  result->failures = g_setup_failures.load() + (clients - started);
}

void setup_levels(Bench* bench, const char* server, int server_pid, int* failures) {
  char key[96];
  for (int l = 0; l < bench->options.level_count; ++l) {
    int clients = bench->options.levels[l];
    SetupResult results[2];
    for (int path = kPathDirect; path <= kPathProxy; ++path) {
      SetupResult* r = &results[path];
      ProcessSample proxy_before;
      ProcessSample proxy_after;
      process_sample(bench->proxy.pid, &proxy_before);
      double server_before = process_group_cpu(server_pid);
      setup_run(bench, clients, path, r);
      process_sample(bench->proxy.pid, &proxy_after);
      double server_after = process_group_cpu(server_pid);
      double tunnels = r->count > 0 ? static_cast<double>(r->count) : 1;
      r->proxy_cpu_us = path == kPathProxy ? (proxy_after.cpu_seconds - proxy_before.cpu_seconds) * 1e6 / tunnels : 0;
      r->server_cpu_us = (server_after - server_before) * 1e6 / tunnels;
      printf("  %-10s %7d %-6s %9zu %9.0f %9.2f %8.2f %8d %9.0f %9.0f\n", server, clients,
             path_name(path), r->count, r->rate, r->p50_ms, r->p99_ms, r->failures,
             r->server_cpu_us, r->proxy_cpu_us);
      fflush(stdout);
      *failures += r->failures;
      snprintf(key, sizeof(key), "setup_%s_c%d_%s_per_s", server, clients, path_name(path));
      print_key(key, r->rate);
      snprintf(key, sizeof(key), "setup_%s_c%d_%s_p50_ms", server, clients, path_name(path));
      print_key(key, r->p50_ms);
      snprintf(key, sizeof(key), "setup_%s_c%d_%s_p99_ms", server, clients, path_name(path));
      print_key(key, r->p99_ms);
      snprintf(key, sizeof(key), "setup_%s_c%d_%s_failures", server, clients, path_name(path));
      print_key(key, r->failures);
      snprintf(key, sizeof(key), "setup_%s_c%d_%s_server_cpu_us", server, clients, path_name(path));
      print_key(key, r->server_cpu_us);
      if (path == kPathProxy) {
        snprintf(key, sizeof(key), "setup_%s_c%d_proxy_cpu_us", server, clients);
        print_key(key, r->proxy_cpu_us);
      }
      // Let the last tunnels finish their teardown before the next measurement.
      thread_sleep_ms(300);
    }
    snprintf(key, sizeof(key), "setup_%s_c%d_rate_ratio", server, clients);
    print_key(key, results[kPathDirect].rate > 0 ? results[kPathProxy].rate / results[kPathDirect].rate : 0);
  }
}

// Runs the set-up levels against each server named in --setup-servers; a
// server other than the main one runs with a proxy of its own meanwhile.
void setup_phase(Bench* bench, int* failures) {
  printf("\nsetup: clients open a tunnel (connect to the 200 or SOCKS5 reply), then the target\n"
         "closes it; %.1f s per line; CPU microseconds per tunnel of the server and the proxy\n",
         bench->options.setup_seconds);
  printf("  %-10s %7s %-6s %9s %9s %9s %8s %8s %9s %9s\n", "server", "clients", "path", "tunnels",
         "per s", "p50 ms", "p99 ms", "failed", "server us", "proxy us");
  char names[sizeof(bench->options.setup_servers)];
  snprintf(names, sizeof(names), "%s", bench->options.setup_servers);
  char* saved = nullptr;
  for (char* server = strtok_r(names, ",", &saved); server != nullptr;
       server = strtok_r(nullptr, ",", &saved)) {
    if (strcmp(server, bench->options.server) == 0) {
      setup_levels(bench, server, bench->upstream.pid, failures);
      continue;
    }
    PeerProcess other;
    uint16_t main_port = bench->route.socks_port;
    uint16_t port = peer_free_port();
    int started = strcmp(server, "microsocks") == 0 ? peer_start_microsocks(&other, port)
                                                    : peer_start_dante(&other, port);
    peer_stop(&bench->proxy);
    bench->route.socks_port = port;
    if (started && start_proxy(bench)) {
      setup_levels(bench, server, other.pid, failures);
    } else {
      printf("  %-10s did not start\n", server);
      ++*failures;
    }
    peer_stop(&bench->proxy);
    if (started) peer_stop(&other);
    bench->route.socks_port = main_port;
    if (!start_proxy(bench)) ++*failures;
  }
}

// ---- idle tunnels ----

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
      if (!idle_pull(g_idle[index], 5000 + static_cast<uint64_t>(index))) g_idle_failures.fetch_add(1);
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

void idle_phase(Bench* bench, int* failures) {
  printf("\nidle: a fresh proxy holds N tunnels at once (each echoed %d bytes), then each pulls %d bytes\n",
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
    double per_tunnel = established > 0 ? static_cast<double>(held.rss_kib - base.rss_kib) / established : 0;
    double warm_per_tunnel = established > 0 ? static_cast<double>(warm.rss_kib - base.rss_kib) / established : 0;
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

}  // namespace

int main(int argc, char** argv) {
  Bench* bench = static_cast<Bench*>(calloc(1, sizeof(Bench)));
  if (bench == nullptr) return 1;
  if (!parse_options(argc, argv, &bench->options)) return usage();
  if (!net_startup()) return 1;
  for (int i = 0; i < kMaxIdleTunnels; ++i) g_idle[i] = kInvalidSocket;

  // Every tunnel costs the benchmark two descriptors and the proxy and the
  // server two each; the children inherit the raised limit.
  rlimit files;
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);

  char load[128];
  read_load(load, sizeof(load));
  utsname machine;
  uname(&machine);
  time_t now = time(nullptr);
  char date[64];
  strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", localtime(&now));
  printf("lumaret proxy benchmark %s%s\n", date, bench->options.smoke ? " (smoke)" : "");
  printf("machine: %s %s, %ld cpus; load at start: %s; open files limit %llu\n", machine.nodename,
         machine.release, sysconf(_SC_NPROCESSORS_ONLN), load,
         static_cast<unsigned long long>(files.rlim_cur));
  print_key("load_1min_start", strtod(load, nullptr));

  int failures = 0;
  if (!target_start(&bench->target)) {
    fprintf(stderr, "the target server did not start\n");
    return 1;
  }
  bench->route.target_port = bench->target.port;
  if (!start_upstream(bench)) {
    fprintf(stderr, "the SOCKS5 server (%s) did not start\n", bench->options.server);
    target_stop(&bench->target);
    return 1;
  }
  if (!start_proxy(bench)) {
    fprintf(stderr, "the proxy (%s) did not start\n", bench->options.proxy_program);
    peer_stop(&bench->upstream);
    target_stop(&bench->target);
    return 1;
  }
  printf("SOCKS5 server: %s on port %u; proxy pid %d; target port %u\n", bench->options.server,
         static_cast<unsigned>(bench->route.socks_port), bench->proxy.pid,
         static_cast<unsigned>(bench->route.target_port));
  fflush(stdout);

  bulk_phase(bench, &failures);
  fflush(stdout);
  setup_phase(bench, &failures);
  fflush(stdout);
  idle_phase(bench, &failures);

  read_load(load, sizeof(load));
  printf("\nload at end: %s; target server failures: %d\n", load, bench->target.failures.load());
  print_key("load_1min_end", strtod(load, nullptr));
  print_key("failures", failures);
  fflush(stdout);

  peer_stop(&bench->proxy);
  peer_stop(&bench->upstream);
  target_stop(&bench->target);
  printf("%s\n", failures == 0 ? "benchmark complete" : "benchmark complete WITH FAILURES");
  return failures == 0 ? 0 : 1;
}
