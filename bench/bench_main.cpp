// The proxy benchmark: starts a SOCKS5 server (dante by default), the local
// proxy alone (lumaret_bench_proxy) and a target server, and measures on
// loopback, side by side for a tunnel through the proxy and a direct SOCKS5
// tunnel to the same server:
//   bulk  - one tunnel, a checked pseudo-random stream each way: MB/s and the
//           proxy's CPU seconds per GB;
//   setup - tunnels opened and closed by 1, 50, 500 concurrent clients: rate,
//           p50 and p99 of the time from connect to the first tunnel byte;
//           then plain-HTTP requests, one per connection; both beside
//           tinyproxy and privoxy towards the same SOCKS5 server;
//   idle  - thousands of tunnels held at once by a fresh proxy: failures, a
//           new tunnel still working, and the proxy's resident memory per tunnel.
// Results go to standard output, as tables and as "= key value" lines that
// bench/run.sh gathers over several runs. This file holds the options, the
// processes and the run; each measurement has a file of its own.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "bench.h"
#include "platform/net.h"

namespace {

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
  fprintf(
      stderr,
      "usage: lumaret_bench [--smoke] [--bulk-mib N] [--rounds N] [--setup-seconds S]\n"
      "                     [--levels 1,50,500] [--idle 1000,5000]\n"
      "                     [--server dante|microsocks] [--proxy-program PATH]\n"
      "                     [--setup-servers dante,microsocks] [--hold-seconds S]\n"
      "                     [--compare tinyproxy,privoxy|none] [--baseline-program PATH]\n"
      "                     [--setup-rounds N] [--http-levels 1,50|none] [--http-body-bytes N]\n");
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
  snprintf(options->compare, sizeof(options->compare), "tinyproxy,privoxy");
  options->setup_rounds = 1;
  parse_list("1,50", options->http_levels, &options->http_level_count);
  options->http_body_bytes = 1024;
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
      parse_list("1,10", options->http_levels, &options->http_level_count);
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
    } else if (strcmp(name, "--compare") == 0) {
      snprintf(options->compare, sizeof(options->compare), "%s",
               strcmp(value, "none") == 0 ? "" : value);
    } else if (strcmp(name, "--baseline-program") == 0) {
      snprintf(options->baseline_program, sizeof(options->baseline_program), "%s", value);
    } else if (strcmp(name, "--setup-rounds") == 0) {
      options->setup_rounds = static_cast<int>(strtol(value, nullptr, 10));
      if (options->setup_rounds < 1 || options->setup_rounds > 32) return 0;
    } else if (strcmp(name, "--http-levels") == 0) {
      if (strcmp(value, "none") == 0) {
        options->http_level_count = 0;
      } else if (!parse_list(value, options->http_levels, &options->http_level_count)) {
        return 0;
      }
    } else if (strcmp(name, "--http-body-bytes") == 0) {
      options->http_body_bytes = static_cast<int>(strtol(value, nullptr, 10));
      if (options->http_body_bytes < 0 || options->http_body_bytes > kHttpBodyMax) return 0;
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
    int ok = strcmp(bench->options.server, "dante") == 0
                 ? peer_start_dante(&bench->upstream, port)
                 : peer_start_microsocks(&bench->upstream, port);
    if (ok) {
      bench->route.socks_port = port;
      return 1;
    }
  }
  return 0;
}

}  // namespace

const char* path_name(int path) { return path == kPathProxy ? "proxy" : "direct"; }

void print_key(const char* key, double value) { printf("= %s %.4g\n", key, value); }

int start_proxy(Bench* bench) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    uint16_t port = peer_free_port();
    char port_text[8];
    char socks_text[8];
    snprintf(port_text, sizeof(port_text), "%u", static_cast<unsigned>(port));
    snprintf(socks_text, sizeof(socks_text), "%u", static_cast<unsigned>(bench->route.socks_port));
    const char* const argv[] = {bench->options.proxy_program,
                                "--http-port",
                                port_text,
                                "--socks-port",
                                socks_text,
                                "--plain-http",
                                "forward",
                                bench->proxy_log != nullptr ? "--log" : nullptr,
                                bench->proxy_log,
                                nullptr};
    if (!peer_start(&bench->proxy, argv)) return 0;
    if (peer_wait_listening(port, 5000)) {
      bench->route.proxy_port = port;
      return 1;
    }
    peer_stop(&bench->proxy);
  }
  return 0;
}

int main(int argc, char** argv) {
  Bench* bench = static_cast<Bench*>(calloc(1, sizeof(Bench)));
  if (bench == nullptr) return 1;
  if (!parse_options(argc, argv, &bench->options)) return usage();
  if (!net_startup()) return 1;

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
  if (!origin_start(&bench->origin, bench->options.http_body_bytes)) {
    fprintf(stderr, "the HTTP origin did not start\n");
    target_stop(&bench->target);
    return 1;
  }
  bench->route.origin_port = bench->origin.port;
  if (!start_upstream(bench)) {
    fprintf(stderr, "the SOCKS5 server (%s) did not start\n", bench->options.server);
    origin_stop(&bench->origin);
    target_stop(&bench->target);
    return 1;
  }
  if (!start_proxy(bench)) {
    fprintf(stderr, "the proxy (%s) did not start\n", bench->options.proxy_program);
    peer_stop(&bench->upstream);
    origin_stop(&bench->origin);
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
  log_phase(bench, &failures);
  fflush(stdout);
  idle_phase(bench, &failures);

  read_load(load, sizeof(load));
  printf("\nload at end: %s; target server failures: %d\n", load, bench->target.failures.load());
  print_key("load_1min_end", strtod(load, nullptr));
  print_key("failures", failures);
  fflush(stdout);

  peer_stop(&bench->proxy);
  peer_stop(&bench->upstream);
  origin_stop(&bench->origin);
  target_stop(&bench->target);
  printf("%s\n", failures == 0 ? "benchmark complete" : "benchmark complete WITH FAILURES");
  return failures == 0 ? 0 : 1;
}
