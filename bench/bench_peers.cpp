// The proxies the local proxy is compared with, and the plain-HTTP side of
// the set-up measurement: an origin server on threads of the benchmark
// process and the client that sends it one request through a proxy.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "bench.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "socks/socks_client.h"

namespace {

// The configuration of tinyproxy 1.11 (Debian 12): loopback only, every port
// open to CONNECT (no ConnectPort line), no headers of its own added to a
// forwarded request, enough clients for the largest set-up line, logging only
// what is critical (to standard output, which is /dev/null), and the SOCKS5 server as upstream for
// every host.
int write_tinyproxy_config(FILE* file, uint16_t port, uint16_t socks_port) {
  return fprintf(file,
                 "Port %u\nListen 127.0.0.1\nTimeout 600\nMaxClients %d\n"
                 "LogLevel Critical\nDisableViaHeader Yes\n"
                 "XTinyproxy No\nupstream socks5 127.0.0.1:%u\n",
                 static_cast<unsigned>(port), kMaxIdleTunnels,
                 static_cast<unsigned>(socks_port)) > 0;
}

// The configuration of privoxy 3.0 (Debian 12): loopback only, no action or
// filter files (so nothing is rewritten or blocked), no log file, enough
// clients, and every request forwarded through the SOCKS5 server, which
// resolves the names.
int write_privoxy_config(FILE* file, uint16_t port, uint16_t socks_port) {
  return fprintf(file,
                 "listen-address 127.0.0.1:%u\nmax-client-connections %d\n"
                 "forward-socks5 / 127.0.0.1:%u .\n",
                 static_cast<unsigned>(port), kMaxIdleTunnels,
                 static_cast<unsigned>(socks_port)) > 0;
}

void remove_config(OtherProxy* proxy) {
  if (proxy->directory[0] == '\0') return;
  char path[sizeof(proxy->directory) + 16];
  snprintf(path, sizeof(path), "%s/proxy.conf", proxy->directory);
  unlink(path);
  rmdir(proxy->directory);
  proxy->directory[0] = '\0';
}

// Starts one proxy of kind name at a free port towards socks_port. Returns 1
// when it listens.
int other_proxy_start(const Bench* bench, const char* name, OtherProxy* proxy) {
  memset(proxy, 0, sizeof(*proxy));
  snprintf(proxy->name, sizeof(proxy->name), "%s", name);
  uint16_t socks_port = bench->route.socks_port;
  for (int attempt = 0; attempt < 5; ++attempt) {
    uint16_t port = peer_free_port();
    char port_text[8];
    char socks_text[8];
    snprintf(port_text, sizeof(port_text), "%u", static_cast<unsigned>(port));
    snprintf(socks_text, sizeof(socks_text), "%u", static_cast<unsigned>(socks_port));
    char config[sizeof(proxy->directory) + 16];
    int started = 0;
    if (strcmp(name, "baseline") == 0) {
      const char* const argv[] = {bench->options.baseline_program,
                                  "--http-port",
                                  port_text,
                                  "--socks-port",
                                  socks_text,
                                  "--plain-http",
                                  "forward",
                                  nullptr};
      started = peer_start(&proxy->process, argv);
    } else {
      snprintf(proxy->directory, sizeof(proxy->directory), "/tmp/lumaret-bench-XXXXXX");
      if (mkdtemp(proxy->directory) == nullptr) return 0;
      snprintf(config, sizeof(config), "%s/proxy.conf", proxy->directory);
      FILE* file = fopen(config, "w");
      if (file == nullptr) {
        remove_config(proxy);
        return 0;
      }
      int written = strcmp(name, "tinyproxy") == 0 ? write_tinyproxy_config(file, port, socks_port)
                                                   : write_privoxy_config(file, port, socks_port);
      if (fclose(file) != 0 || !written) {
        remove_config(proxy);
        return 0;
      }
      // Both stay in the foreground, so that their process is the one measured.
      const char* const tinyproxy[] = {"tinyproxy", "-d", "-c", config, nullptr};
      const char* program = access("/usr/sbin/privoxy", X_OK) == 0 ? "/usr/sbin/privoxy"
                                                                   : "privoxy";
      const char* const privoxy[] = {program, "--no-daemon", config, nullptr};
      started = peer_start(&proxy->process, strcmp(name, "tinyproxy") == 0 ? tinyproxy : privoxy);
    }
    if (started && peer_wait_listening(port, 5000)) {
      proxy->port = port;
      return 1;
    }
    if (started) peer_stop(&proxy->process);
    remove_config(proxy);
  }
  return 0;
}

// The origin's one response: a fixed head and body_bytes of body.
struct OriginConnection {
  NetSocket socket;
  int body_bytes;
};

constexpr size_t kOriginHeadMax = 16384;

// The body of every response, filled before the origin accepts.
char g_origin_body[kHttpBodyMax];

unsigned run_origin_connection(void* argument) {
  OriginConnection* connection = static_cast<OriginConnection*>(argument);
  NetSocket socket = connection->socket;
  int body_bytes = connection->body_bytes;
  free(connection);
  char head[kOriginHeadMax + 1];
  size_t count = 0;
  int complete = 0;
  while (!complete && count < kOriginHeadMax) {
    long n = net_recv_some(socket, head + count, kOriginHeadMax - count);
    if (n <= 0) break;
    count += static_cast<size_t>(n);
    head[count] = '\0';
    complete = strstr(head, "\r\n\r\n") != nullptr;
  }
  if (complete) {
    char response_head[128];
    int length = snprintf(response_head, sizeof(response_head),
                          "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                          "Content-Length: %d\r\nConnection: close\r\n\r\n",
                          body_bytes);
    // Two writes: the receiver acknowledges the head at once (a connection
    // starts in quick-acknowledgement mode), so the body is not held back.
    if (net_send_all(socket, response_head, static_cast<size_t>(length))) {
      net_send_all(socket, g_origin_body, static_cast<size_t>(body_bytes));
    }
  }
  // The origin closes first, so the TIME_WAIT stays on its listening port.
  net_close(socket);
  return 0;
}

unsigned run_origin_acceptor(void* argument) {
  HttpOrigin* origin = static_cast<HttpOrigin*>(argument);
  for (;;) {
    int failure = kAcceptFailed;
    NetSocket client = net_accept(origin->listener, &failure);
    if (client == kInvalidSocket) {
      if (failure == kAcceptFailed) return 0;
      if (failure == kAcceptRetryAfterPause) thread_sleep_ms(10);
      continue;
    }
    OriginConnection* connection = static_cast<OriginConnection*>(malloc(sizeof(OriginConnection)));
    if (connection == nullptr) {
      net_close(client);
      continue;
    }
    connection->socket = client;
    connection->body_bytes = origin->body_bytes;
    if (!thread_start_detached(run_origin_connection, connection)) {
      net_close(client);
      free(connection);
    }
  }
}

}  // namespace

int others_start(Bench* bench) {
  bench->other_count = 0;
  char names[sizeof(bench->options.compare) + 16];
  snprintf(names, sizeof(names), "%s%s%s", bench->options.compare,
           bench->options.baseline_program[0] != '\0' ? "," : "",
           bench->options.baseline_program[0] != '\0' ? "baseline" : "");
  char* saved = nullptr;
  int ok = 1;
  for (char* name = strtok_r(names, ",", &saved); name != nullptr;
       name = strtok_r(nullptr, ",", &saved)) {
    if (bench->other_count >= kMaxOthers) break;
    OtherProxy* proxy = &bench->others[bench->other_count];
    if (other_proxy_start(bench, name, proxy)) {
      ++bench->other_count;
    } else {
      printf("  %s did not start\n", name);
      ok = 0;
    }
  }
  return ok;
}

void others_stop(Bench* bench) {
  for (int i = 0; i < bench->other_count; ++i) {
    peer_stop(&bench->others[i].process);
    remove_config(&bench->others[i]);
  }
  bench->other_count = 0;
}

int origin_start(HttpOrigin* origin, int body_bytes) {
  origin->body_bytes = body_bytes;
  memset(g_origin_body, 'b', sizeof(g_origin_body));
  for (int attempt = 0; attempt < 10; ++attempt) {
    int failed_step = 0;
    origin->port = peer_free_port();
    origin->listener = net_listen_loopback(origin->port, &failed_step);
    if (origin->listener != kInvalidSocket) break;
  }
  if (origin->listener == kInvalidSocket) return 0;
  origin->acceptor = thread_start(run_origin_acceptor, origin);
  if (origin->acceptor == kNoThread) {
    net_close(origin->listener);
    return 0;
  }
  return 1;
}

void origin_stop(HttpOrigin* origin) {
  net_close_listener(origin->listener);
  thread_wait_and_close(origin->acceptor, 5000);
  origin->listener = kInvalidSocket;
  origin->acceptor = kNoThread;
}

int http_request(const BenchRoute* route, int path, int body_bytes) {
  char port_text[8];
  char head[256];
  NetSocket socket = kInvalidSocket;
  int length = 0;
  if (path == kPathProxy) {
    snprintf(port_text, sizeof(port_text), "%u", static_cast<unsigned>(route->proxy_port));
    socket = net_connect_first("127.0.0.1", port_text);
    // What a browser sends to a proxy, less its many headers; one request per
    // connection, so every proxy closes when the response is through.
    length = snprintf(head, sizeof(head),
                      "GET http://127.0.0.1:%u/bench/page HTTP/1.1\r\nHost: 127.0.0.1:%u\r\n"
                      "User-Agent: lumaret-bench\r\nAccept: */*\r\nConnection: close\r\n\r\n",
                      static_cast<unsigned>(route->origin_port),
                      static_cast<unsigned>(route->origin_port));
  } else {
    snprintf(port_text, sizeof(port_text), "%u", static_cast<unsigned>(route->socks_port));
    socket = net_connect_first("127.0.0.1", port_text);
    if (socket != kInvalidSocket && !socks5_connect(socket, "127.0.0.1", route->origin_port)) {
      net_close(socket);
      socket = kInvalidSocket;
    }
    length = snprintf(head, sizeof(head),
                      "GET /bench/page HTTP/1.1\r\nHost: 127.0.0.1:%u\r\n"
                      "User-Agent: lumaret-bench\r\nAccept: */*\r\nConnection: close\r\n\r\n",
                      static_cast<unsigned>(route->origin_port));
  }
  if (socket == kInvalidSocket) return 0;
  net_set_timeouts(socket, kClientLimitMs);
  int ok = net_send_all(socket, head, static_cast<size_t>(length));
  // The whole response, to the origin's close: the status line, and the body's
  // bytes at its end (the run of body bytes last received).
  char status[13];
  char chunk[4096];
  size_t count = 0;
  size_t body_run = 0;
  while (ok) {
    long n = net_recv_some(socket, chunk, sizeof(chunk));
    if (n < 0) ok = 0;
    if (n <= 0) break;
    for (long i = 0; i < n; ++i) {
      if (count + static_cast<size_t>(i) < sizeof(status)) status[count + i] = chunk[i];
      body_run = chunk[i] == 'b' ? body_run + 1 : 0;
    }
    count += static_cast<size_t>(n);
  }
  net_close(socket);
  if (!ok || count < sizeof(status) || body_run < static_cast<size_t>(body_bytes)) return 0;
  return strncmp(status, "HTTP/1.", 7) == 0 && strncmp(status + 8, " 200 ", 5) == 0;
}
