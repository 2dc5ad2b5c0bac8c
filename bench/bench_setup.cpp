// The set-up measurement: 1, 50, 500 clients each open a tunnel, have the
// target close it and start again; then clients each send one plain-HTTP
// request per connection. Rate and latency, and the CPU time per tunnel or
// request of the proxy and the server, for the SOCKS5 server alone, the local
// proxy and each proxy it is compared with, in turns.
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
constexpr int kMaxRounds = 32;
// Direct, the local proxy and the others.
constexpr int kMaxContenders = 2 + kMaxOthers;

uint32_t g_latency_us[kMaxLatencies];
std::atomic<size_t> g_latency_count;
std::atomic<int32_t> g_setup_failures;
std::atomic<int32_t> g_setup_go;
double g_setup_deadline;

// What one client repeats: a tunnel opened (the time to its first byte) and
// closed, or one plain-HTTP request (the time to the response's end).
enum SetupWork { kWorkTunnel, kWorkHttp };

struct SetupWorker {
  const BenchRoute* route;
  int path;
  int work;
  int body_bytes;
};

unsigned run_setup_worker(void* argument) {
  SetupWorker* worker = static_cast<SetupWorker*>(argument);
  while (g_setup_go.load() == 0) thread_sleep_ms(1);
  while (bench_now() < g_setup_deadline) {
    double start = bench_now();
    int ok = 0;
    NetSocket socket = kInvalidSocket;
    if (worker->work == kWorkTunnel) {
      socket = tunnel_open(worker->route, worker->path);
      ok = socket != kInvalidSocket;
    } else {
      ok = http_request(worker->route, worker->path, worker->body_bytes);
    }
    double took = bench_now() - start;
    if (!ok) {
      g_setup_failures.fetch_add(1);
      thread_sleep_ms(1);
      continue;
    }
    size_t slot = g_latency_count.fetch_add(1);
    if (slot < kMaxLatencies) g_latency_us[slot] = static_cast<uint32_t>(took * 1e6);
    if (socket != kInvalidSocket && !target_close_tunnel(socket)) g_setup_failures.fetch_add(1);
  }
  return 0;
}

struct SetupResult {
  double proxy_cpu_us;   // the proxy's CPU per tunnel (through a proxy only)
  double server_cpu_us;  // the SOCKS5 server's CPU per tunnel
  double rate;
  double p50_ms;
  double p99_ms;
  int failures;
  size_t count;
};

// One way to the target in a set-up line: the SOCKS5 server directly, the
// local proxy or another proxy.
struct Contender {
  const char* name;  // "direct", "proxy" (the local one) or the other's name
  BenchRoute route;
  int path;
  int pid;  // the proxy's process, 0 for direct
  SetupResult rounds[kMaxRounds];
  int round_count;
};

void setup_run(const Bench* bench, int clients, Contender* contender, int work,
               SetupResult* result) {
  static SetupWorker workers[kMaxIdleTunnels];
  static ThreadHandle threads[kMaxIdleTunnels];
  g_latency_count.store(0);
  g_setup_failures.store(0);
  g_setup_go.store(0);
  int started = 0;
  for (int i = 0; i < clients; ++i) {
    workers[i].route = &contender->route;
    workers[i].path = contender->path;
    workers[i].work = work;
    workers[i].body_bytes = bench->options.http_body_bytes;
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

// The median of n values, which it sorts.
double median(double* values, int n) {
  if (n == 0) return 0;
  std::sort(values, values + n);
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The median of one field over a contender's rounds.
double median_of(const Contender* contender, double SetupResult::*field) {
  double values[kMaxRounds];
  for (int r = 0; r < contender->round_count; ++r) values[r] = contender->rounds[r].*field;
  return median(values, contender->round_count);
}

// Runs every contender once per round, each round starting one further along
// the list so that none is always first after a pause; prints a row per run,
// then the medians as keys prefixed with prefix ("setup_dante_c50").
void run_line(const Bench* bench, const char* server, int server_pid, int clients, int work,
              Contender* contenders, int contender_count, const char* prefix, int* failures) {
  int rounds = std::min(bench->options.setup_rounds, kMaxRounds);
  for (int c = 0; c < contender_count; ++c) contenders[c].round_count = 0;
  for (int r = 0; r < rounds; ++r) {
    for (int step = 0; step < contender_count; ++step) {
      Contender* contender = &contenders[(r + step) % contender_count];
      SetupResult* result = &contender->rounds[contender->round_count++];
      ProcessSample proxy_before = {0, 0, 0};
      ProcessSample proxy_after = {0, 0, 0};
      if (contender->pid != 0) process_sample(contender->pid, &proxy_before);
      double server_before = process_group_cpu(server_pid);
      setup_run(bench, clients, contender, work, result);
      if (contender->pid != 0) process_sample(contender->pid, &proxy_after);
      double server_after = process_group_cpu(server_pid);
      double tunnels = result->count > 0 ? static_cast<double>(result->count) : 1;
      result->proxy_cpu_us = (proxy_after.cpu_seconds - proxy_before.cpu_seconds) * 1e6 / tunnels;
      result->server_cpu_us = (server_after - server_before) * 1e6 / tunnels;
      printf("  %-10s %-5s %7d %-10s %9zu %9.0f %9.2f %8.2f %8d %9.0f %9.0f\n", server,
             work == kWorkTunnel ? "CONN" : "HTTP", clients, contender->name, result->count,
             result->rate, result->p50_ms, result->p99_ms, result->failures, result->server_cpu_us,
             result->proxy_cpu_us);
      fflush(stdout);
      *failures += result->failures;
      // Let the last tunnels finish their teardown before the next measurement.
      thread_sleep_ms(300);
    }
  }
  char key[128];
  for (int c = 0; c < contender_count; ++c) {
    const Contender* contender = &contenders[c];
    int failed = 0;
    for (int r = 0; r < contender->round_count; ++r) failed += contender->rounds[r].failures;
    snprintf(key, sizeof(key), "%s_%s_per_s", prefix, contender->name);
    print_key(key, median_of(contender, &SetupResult::rate));
    snprintf(key, sizeof(key), "%s_%s_p50_ms", prefix, contender->name);
    print_key(key, median_of(contender, &SetupResult::p50_ms));
    snprintf(key, sizeof(key), "%s_%s_p99_ms", prefix, contender->name);
    print_key(key, median_of(contender, &SetupResult::p99_ms));
    snprintf(key, sizeof(key), "%s_%s_failures", prefix, contender->name);
    print_key(key, failed);
    snprintf(key, sizeof(key), "%s_%s_server_cpu_us", prefix, contender->name);
    print_key(key, median_of(contender, &SetupResult::server_cpu_us));
    if (contender->pid != 0) {
      snprintf(key, sizeof(key), "%s_%s_cpu_us", prefix, contender->name);
      print_key(key, median_of(contender, &SetupResult::proxy_cpu_us));
    }
  }
  // The local proxy against each of the others: ratios of the medians.
  const Contender* local = nullptr;
  for (int c = 0; c < contender_count; ++c) {
    if (strcmp(contenders[c].name, "proxy") == 0) local = &contenders[c];
  }
  if (local == nullptr) return;
  double local_rate = median_of(local, &SetupResult::rate);
  for (int c = 0; c < contender_count; ++c) {
    if (&contenders[c] == local) continue;
    double rate = median_of(&contenders[c], &SetupResult::rate);
    if (strcmp(contenders[c].name, "direct") == 0) {
      snprintf(key, sizeof(key), "%s_rate_ratio", prefix);
    } else {
      snprintf(key, sizeof(key), "%s_vs_%s", prefix, contenders[c].name);
    }
    print_key(key, rate > 0 ? local_rate / rate : 0);
    // The same round's runs see about the same load from other programs, so
    // the median of the rounds' own ratios moves less with the machine.
    double ratios[kMaxRounds];
    int n = std::min(local->round_count, contenders[c].round_count);
    for (int r = 0; r < n; ++r) {
      double other = contenders[c].rounds[r].rate;
      ratios[r] = other > 0 ? local->rounds[r].rate / other : 0;
    }
    snprintf(key, sizeof(key), "%s_vs_%s_rounds", prefix, contenders[c].name);
    print_key(key, median(ratios, n));
  }
}

// The contenders of the lines against one server: direct, the local proxy and
// every other proxy that runs. Returns their count.
int list_contenders(const Bench* bench, Contender* contenders) {
  int count = 0;
  contenders[count].name = "direct";
  contenders[count].route = bench->route;
  contenders[count].path = kPathDirect;
  contenders[count].pid = 0;
  ++count;
  contenders[count].name = "proxy";
  contenders[count].route = bench->route;
  contenders[count].path = kPathProxy;
  contenders[count].pid = bench->proxy.pid;
  ++count;
  for (int i = 0; i < bench->other_count; ++i) {
    contenders[count].name = bench->others[i].name;
    contenders[count].route = bench->route;
    contenders[count].route.proxy_port = bench->others[i].port;
    contenders[count].path = kPathProxy;
    contenders[count].pid = bench->others[i].process.pid;
    ++count;
  }
  return count;
}

void setup_levels(Bench* bench, const char* server, int server_pid, int* failures) {
  static Contender contenders[kMaxContenders];
  char prefix[64];
  int count = list_contenders(bench, contenders);
  for (int l = 0; l < bench->options.level_count; ++l) {
    int clients = bench->options.levels[l];
    snprintf(prefix, sizeof(prefix), "setup_%s_c%d", server, clients);
    run_line(bench, server, server_pid, clients, kWorkTunnel, contenders, count, prefix, failures);
  }
  // A build of the local proxy forwards plain HTTP only when it has been built
  // to; one that refuses is left out of the HTTP lines, not counted as failing.
  int kept = 0;
  for (int c = 0; c < count && bench->options.http_level_count > 0; ++c) {
    if (contenders[c].path == kPathProxy &&
        !http_request(&contenders[c].route, kPathProxy, bench->options.http_body_bytes)) {
      printf("  %-10s HTTP  %s does not forward plain HTTP: left out\n", server,
             contenders[c].name);
      continue;
    }
    contenders[kept++] = contenders[c];
  }
  count = kept;
  for (int l = 0; l < bench->options.http_level_count; ++l) {
    int clients = bench->options.http_levels[l];
    snprintf(prefix, sizeof(prefix), "http_%s_c%d", server, clients);
    run_line(bench, server, server_pid, clients, kWorkHttp, contenders, count, prefix, failures);
  }
}

}  // namespace

void setup_phase(Bench* bench, int* failures) {
  printf(
      "\nsetup: clients open a tunnel (CONN: connect to the 200 or SOCKS5 reply, then the target\n"
      "closes it) or send one plain-HTTP GET per connection (HTTP: connect to the response's\n"
      "end, %d bytes of body); %.1f s per run, %d round(s); CPU microseconds per tunnel or\n"
      "request of the server and the proxy\n",
      bench->options.http_body_bytes, bench->options.setup_seconds, bench->options.setup_rounds);
  printf("  %-10s %-5s %7s %-10s %9s %9s %9s %8s %8s %9s %9s\n", "server", "what", "clients",
         "path", "count", "per s", "p50 ms", "p99 ms", "failed", "server us", "proxy us");
  char names[sizeof(bench->options.setup_servers)];
  snprintf(names, sizeof(names), "%s", bench->options.setup_servers);
  char* saved = nullptr;
  for (char* server = strtok_r(names, ",", &saved); server != nullptr;
       server = strtok_r(nullptr, ",", &saved)) {
    if (strcmp(server, bench->options.server) == 0) {
      if (!others_start(bench)) ++*failures;
      setup_levels(bench, server, bench->upstream.pid, failures);
      others_stop(bench);
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
      if (!others_start(bench)) ++*failures;
      setup_levels(bench, server, other.pid, failures);
      others_stop(bench);
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
        Contender proxy = {};
        proxy.name = "proxy";
        proxy.route = bench->route;
        proxy.path = kPathProxy;
        proxy.pid = bench->proxy.pid;
        setup_run(bench, kClients, &proxy, kWorkTunnel, &result);
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
