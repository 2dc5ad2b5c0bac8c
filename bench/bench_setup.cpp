// The set-up measurement: 1, 50, 500 clients each open a tunnel, have the
// target close it and start again; rate and latency of the opening, and the
// CPU time per tunnel of the proxy and the server.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "bench.h"
#include "platform/net.h"
#include "platform/thread.h"

namespace {

constexpr size_t kMaxLatencies = 1 << 22;

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
      r->proxy_cpu_us = path == kPathProxy
                            ? (proxy_after.cpu_seconds - proxy_before.cpu_seconds) * 1e6 / tunnels
                            : 0;
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
    print_key(key, results[kPathDirect].rate > 0
                       ? results[kPathProxy].rate / results[kPathDirect].rate
                       : 0);
  }
}

// Runs the set-up levels against each server named in --setup-servers; a
// server other than the main one runs with a proxy of its own meanwhile.
}  // namespace

void setup_phase(Bench* bench, int* failures) {
  printf(
      "\nsetup: clients open a tunnel (connect to the 200 or SOCKS5 reply), then the target\n"
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

void log_phase(Bench* bench, int* failures) {
  constexpr int kClients = 50;
  constexpr int kRounds = 5;
  char log_path[] = "/tmp/lumaret-bench-log-XXXXXX";
  int descriptor = mkstemp(log_path);
  if (descriptor < 0) {
    ++*failures;
    return;
  }
  close(descriptor);
  printf(
      "\nlog: %d clients open and close tunnels through the proxy via microsocks, without\n"
      "and with --log, %d alternating rounds of %.1f s each; the median of the rounds'\n"
      "ratios, the best rate of each and the proxy's CPU per tunnel\n",
      kClients, kRounds, bench->options.setup_seconds);
  PeerProcess socks;
  const uint16_t main_port = bench->route.socks_port;
  const uint16_t port = peer_free_port();
  double best[2] = {0, 0};
  size_t tunnels[2] = {0, 0};
  double cpu_seconds[2] = {0, 0};
  // Each round's pair runs back to back, so its ratio sees about the same
  // load from other programs; the median of the pairs is the figure.
  double rates[kRounds][2] = {};
  if (peer_start_microsocks(&socks, port)) {
    bench->route.socks_port = port;
    for (int round = 0; round < kRounds; ++round) {
      for (int logged = 0; logged <= 1; ++logged) {
        peer_stop(&bench->proxy);
        bench->proxy_log = logged ? log_path : nullptr;
        SetupResult result;
        if (!start_proxy(bench)) {
          ++*failures;
          continue;
        }
        ProcessSample before;
        ProcessSample after;
        process_sample(bench->proxy.pid, &before);
        setup_run(bench, kClients, kPathProxy, &result);
        process_sample(bench->proxy.pid, &after);
        cpu_seconds[logged] += after.cpu_seconds - before.cpu_seconds;
        *failures += result.failures;
        best[logged] = std::max(best[logged], result.rate);
        rates[round][logged] = result.rate;
        tunnels[logged] += result.count;
        printf("  round %d %-12s %9zu tunnels %9.0f per s %6d failed\n", round + 1,
               logged ? "with --log" : "without log", result.count, result.rate, result.failures);
        fflush(stdout);
        thread_sleep_ms(300);
      }
    }
    peer_stop(&bench->proxy);
    peer_stop(&socks);
  } else {
    printf("  microsocks did not start\n");
    ++*failures;
  }
  struct stat status;
  const double log_bytes = stat(log_path, &status) == 0 ? static_cast<double>(status.st_size) : 0;
  unlink(log_path);
  printf(
      "  best: without %.0f per s, with --log %.0f per s, ratio %.3f; %.0f log bytes per tunnel\n",
      best[0], best[1], best[0] > 0 ? best[1] / best[0] : 0,
      tunnels[1] > 0 ? log_bytes / static_cast<double>(tunnels[1]) : 0);
  print_key("log_c50_without_per_s", best[0]);
  print_key("log_c50_with_per_s", best[1]);
  double ratios[kRounds];
  for (int round = 0; round < kRounds; ++round) {
    ratios[round] = rates[round][0] > 0 ? rates[round][1] / rates[round][0] : 0;
  }
  std::sort(ratios, ratios + kRounds);
  printf("  median of the rounds' ratios (with / without): %.3f\n", ratios[kRounds / 2]);
  print_key("log_c50_best_ratio", best[0] > 0 ? best[1] / best[0] : 0);
  print_key("log_c50_rate_ratio", ratios[kRounds / 2]);
  // The proxy's CPU per tunnel tells the log's own cost also on a busy machine,
  // where the rates move with other programs' load.
  double cpu_us[2];
  for (int logged = 0; logged <= 1; ++logged) {
    cpu_us[logged] =
        tunnels[logged] > 0 ? cpu_seconds[logged] * 1e6 / static_cast<double>(tunnels[logged]) : 0;
  }
  printf("  proxy CPU per tunnel: without %.1f us, with --log %.1f us\n", cpu_us[0], cpu_us[1]);
  print_key("log_c50_without_proxy_cpu_us", cpu_us[0]);
  print_key("log_c50_with_proxy_cpu_us", cpu_us[1]);
  bench->proxy_log = nullptr;
  bench->route.socks_port = main_port;
  if (!start_proxy(bench)) ++*failures;
}
