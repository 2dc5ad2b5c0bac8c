// The local proxy alone, for the benchmark: the listener and its tunnel
// threads on 127.0.0.1 at --http-port, with the upstream SOCKS5 server at
// --socks-host / --socks-port, --plain-http refuse or forward for requests
// other than CONNECT, and with --log FILE the run's log as the launcher keeps
// it. It runs until it is killed.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/net.h"
#include "platform/run_log.h"
#include "proxy/proxy_context.h"
#include "proxy/proxy_listener.h"

namespace {

// Lives until the process ends, as in the launcher: tunnel threads hold its address.
ProxyContext g_context;

int usage() {
  fprintf(stderr,
          "usage: lumaret_bench_proxy --http-port N [--socks-host H] [--socks-port P]\n"
          "                           [--plain-http refuse|forward] [--log FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  proxy_context_set_defaults(&g_context);
  for (int i = 1; i + 1 < argc; i += 2) {
    const char* name = argv[i];
    const char* value = argv[i + 1];
    if (strcmp(name, "--http-port") == 0) {
      long port = strtol(value, nullptr, 10);
      if (port < 1 || port > 65535) return usage();
      g_context.http_port = static_cast<uint16_t>(port);
    } else if (strcmp(name, "--socks-host") == 0) {
      snprintf(g_context.socks_host, sizeof(g_context.socks_host), "%s", value);
    } else if (strcmp(name, "--socks-port") == 0) {
      snprintf(g_context.socks_port, sizeof(g_context.socks_port), "%s", value);
    } else if (strcmp(name, "--log") == 0) {
      if (!run_log_open(value)) return 2;
    } else if (strcmp(name, "--plain-http") == 0) {
      if (strcmp(value, "refuse") == 0) {
        g_context.plain_http_mode = kPlainHttpRefuse;
      } else if (strcmp(value, "forward") == 0) {
        g_context.plain_http_mode = kPlainHttpForward;
      } else {
        return usage();
      }
    } else {
      return usage();
    }
  }
  if (argc % 2 == 0) return usage();
  if (!net_startup()) return 1;
  return static_cast<int>(run_proxy_listener(&g_context));
}
