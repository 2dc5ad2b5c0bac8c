// The bulk measurement: one tunnel per path, a pseudo-random stream of
// --bulk-mib each way with every byte checked, and the CPU time each party
// spent on it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "bench.h"
#include "bench_stream.h"
#include "platform/net.h"

namespace {

constexpr size_t kClientChunk = 256 * 1024;

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
  if (matched != bytes)
    fprintf(stderr, "bulk up: first wrong byte at %llu\n",
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

}  // namespace

void bulk_phase(Bench* bench, int* failures) {
  const double bytes = static_cast<double>(bench->options.bulk_bytes);
  double best[2][2] = {{0, 0}, {0, 0}};  // [path][direction] MB/s
  double cpu[2][kCpuParties][2] = {};    // [path][party][direction] seconds
  double moved[2] = {0, 0};              // [path] bytes each way
  double others_share = 0;               // largest share of other programs
  printf("\nbulk: one tunnel, %.0f MiB each way, every byte checked, %d round(s)\n",
         bytes / 1048576.0, bench->options.rounds);
  printf("  %-6s %5s %9s %9s | CPU s/GB: %5s %6s %6s %6s | %6s | proxy up/down\n", "path", "round",
         "up MB/s", "down MB/s", "bench", "server", "proxy", "total", "others");
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
    double cpu_per_gb =
        moved[kPathProxy] > 0 ? cpu[kPathProxy][kCpuProxy][d] / (moved[kPathProxy] / 1e9) : 0;
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
      double per_gb = moved[path] > 0
                          ? (cpu[path][party][0] + cpu[path][party][1]) / (2 * moved[path] / 1e9)
                          : 0;
      totals[path] += per_gb;
      snprintf(key, sizeof(key), "bulk_%s_cpu_%s_s_per_gb", path_name(path), party_names[party]);
      print_key(key, per_gb);
    }
    snprintf(key, sizeof(key), "bulk_%s_cpu_total_s_per_gb", path_name(path));
    print_key(key, totals[path]);
  }
  double proxy_total = cpu[kPathProxy][kCpuProxy][0] + cpu[kPathProxy][kCpuProxy][1];
  print_key("bulk_proxy_cpu_s_per_gb",
            moved[kPathProxy] > 0 ? proxy_total / (2 * moved[kPathProxy] / 1e9) : 0);
  printf("  pipeline CPU per GB: direct %.2f s, through the proxy %.2f s (CPU-bound ratio %.3f)\n",
         totals[kPathDirect], totals[kPathProxy],
         totals[kPathProxy] > 0 ? totals[kPathDirect] / totals[kPathProxy] : 0);
  print_key("bulk_others_cpu_share_max", others_share);
  print_key("bulk_cpu_bound_ratio",
            totals[kPathProxy] > 0 ? totals[kPathDirect] / totals[kPathProxy] : 0);
}
