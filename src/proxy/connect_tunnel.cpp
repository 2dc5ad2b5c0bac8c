#include "proxy/connect_tunnel.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/compiler.h"
#include "platform/net.h"
#include "platform/run_log.h"
#include "proxy/connect_head.h"
#include "proxy/forward_head.h"
#include "proxy/proxy_context.h"
#include "proxy/proxy_listener.h"
#include "socks/socks_client.h"

namespace {

constexpr size_t kRelayChunk = 32768;

// The longest target token that the head parser reads.
constexpr size_t kLoggedTargetMax = 511;

// Reads the request head until its blank line, the full buffer, or the client's
// end. Returns the byte count, 0 when the client closed or failed first.
size_t read_head(NetSocket client, char* head, size_t* head_end) {
  size_t count = 0;
  size_t searched = 0;
  *head_end = 0;
  while (count < kHeadCapacity) {
    long n = net_recv_some(client, head + count, kHeadCapacity - count);
    if (n <= 0) return 0;
    count += static_cast<size_t>(n);
    head[count] = '\0';
    // Only the new bytes are searched: a head sent byte by byte costs linear time.
    *head_end = connect_head_end_next(head, count, &searched);
    if (*head_end != 0) break;
  }
  return count;
}

// Moves one chunk from one side to the other and adds it to *moved. Returns 0
// when the tunnel ends.
int relay_chunk(NetSocket from, NetSocket to, char* buffer, uint64_t* moved) {
  long n = net_recv_some(from, buffer, kRelayChunk);
  if (n <= 0) return 0;
  *moved += static_cast<uint64_t>(n);
  return net_send_all(to, buffer, static_cast<size_t>(n));
}

// Relays until either side ends; *up and *down count the bytes each way.
void relay(NetSocket client, NetSocket upstream, uint64_t* up, uint64_t* down) {
  char buffer[kRelayChunk];
  for (;;) {
    int client_ready = 0;
    int upstream_ready = 0;
    if (!net_wait_readable(client, upstream, &client_ready, &upstream_ready)) return;
    if (client_ready && !relay_chunk(client, upstream, buffer, up)) return;
    if (upstream_ready && !relay_chunk(upstream, client, buffer, down)) return;
  }
}

// Copies the request line's first token and the target token as the client
// wrote them (each cut to fit, up to the first white space) for the log.
void copy_request_words(const char* head, char* method, size_t method_capacity, char* target,
                        size_t target_capacity) {
  const char* p = head;
  char* outs[2] = {method, target};
  const size_t capacities[2] = {method_capacity, target_capacity};
  for (int word = 0; word < 2; ++word) {
    while (*p == ' ' || *p == '\t') ++p;
    size_t length = 0;
    for (; *p != '\0' && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n'; ++p) {
      if (length + 1 < capacities[word]) outs[word][length++] = *p;
    }
    outs[word][length] = '\0';
  }
  // A URL's user information may hold a password: the log keeps "..." instead.
  char* scheme_end = strstr(target, "://");
  if (scheme_end == nullptr) return;
  char* authority = scheme_end + 3;
  char* at = strchr(authority, '@');
  char* slash = strchr(authority, '/');
  if (at == nullptr || (slash != nullptr && slash < at)) return;
  // The rest moves behind the dots; what no longer fits the field is cut.
  const size_t before = static_cast<size_t>(authority - target) + 3;
  if (before >= target_capacity) {
    *authority = '\0';
    return;
  }
  size_t rest = strlen(at);
  if (before + rest + 1 > target_capacity) rest = target_capacity - 1 - before;
  memmove(authority + 3, at, rest);
  memcpy(authority, "...", 3);
  target[before + rest] = '\0';
}

// The line of a tunnel or a forwarded request that ended: the bytes each way
// and how long it lasted.
void log_closed(uint16_t client_port, const char* what, const char* written, uint64_t up,
                uint64_t down, uint64_t opened_ms) {
  const uint64_t duration = run_log_clock_ms() - opened_ms;
  run_log_printf(
      "%s from client port %u closed: target %s, %llu bytes up, %llu bytes down, "
      "%llu.%03llu s",
      what, client_port, written, static_cast<unsigned long long>(up),
      static_cast<unsigned long long>(down), static_cast<unsigned long long>(duration / 1000),
      static_cast<unsigned long long>(duration % 1000));
}

// One line for a request that got no tunnel: 405 or 502, and why.
void log_refused_request(NetSocket client, const char* head, const char* outcome) {
  char method[16];
  char target[kLoggedTargetMax + 1];
  copy_request_words(head, method, sizeof(method), target, sizeof(target));
  run_log_printf("Tunnel from client port %u: %s %s: %s", net_peer_port(client), method, target,
                 outcome);
}

// Opens the target through the SOCKS5 server with the context's login. When
// that fails, the client gets the 502 response (and the log its line), and the
// result is the invalid socket.
NetSocket open_target(NetSocket client, ProxyContext* context, const char* head,
                      const ConnectTarget* target, SocksOutcome* outcome) {
  *outcome = {-1, -1, "the SOCKS5 server could not be reached"};
  NetSocket upstream = open_upstream_connection(context->socks_host, context->socks_port);
  if (upstream != kInvalidSocket &&
      socks5_connect_report(upstream, target->host, target->port, context->socks_user,
                            context->socks_password, nullptr, outcome)) {
    return upstream;
  }
  net_close(upstream);
  if (run_log_enabled) {
    char text[160];
    snprintf(text, sizeof(text), "502, SOCKS5 reply %d: %s", outcome->reply, outcome->failure);
    log_refused_request(client, head, text);
  }
  net_send_all(client, kResponseBadGateway, strlen(kResponseBadGateway));
  return kInvalidSocket;
}

// Forwards one plain http:// request: the rewritten head, the body bytes that
// came with the head, then both ways as a tunnel until either side ends. Kept
// apart so that only a forwarding thread takes the rewritten head's stack. The
// log names the host and port, never the path, the query or a header.
LUMARET_NOINLINE void serve_forward(NetSocket client, ProxyContext* context, const char* head,
                                    size_t count, size_t head_end) {
  ForwardRequest request;
  char rewritten[kForwardHeadCapacity];
  size_t rewritten_length = 0;
  if (forward_request_parse(head, head_end, &request)) {
    rewritten_length = forward_head_rewrite(head, &request, rewritten, sizeof(rewritten));
  }
  if (rewritten_length == 0) {
    if (run_log_enabled) log_refused_request(client, head, "refused with 405");
    net_send_all(client, kResponseRefused, strlen(kResponseRefused));
    return;
  }
  SocksOutcome outcome;
  NetSocketHolder upstream(open_target(client, context, head, &request.target, &outcome));
  if (upstream.socket == kInvalidSocket) return;
  uint64_t up = rewritten_length;
  uint64_t down = 0;
  if (!net_send_all(upstream.socket, rewritten, rewritten_length)) return;
  if (count > head_end) {
    if (!net_send_all(upstream.socket, head + head_end, count - head_end)) return;
    up += count - head_end;
  }
  const int app_traffic = connect_host_is_app_traffic(request.target.host);
  if (app_traffic) context->app_tunnel_count.fetch_add(1);
  const uint16_t client_port = run_log_enabled ? net_peer_port(client) : 0;
  const uint64_t opened_ms = run_log_enabled ? run_log_clock_ms() : 0;
  char method[16];
  char written[kLoggedTargetMax + 1];
  written[0] = '\0';
  if (run_log_enabled) {
    copy_request_words(head, method, sizeof(method), written, sizeof(written));
    run_log_printf(
        "Forwarded request from client port %u opened: %s %s, host %s port %u, SOCKS5 reply %d, %s",
        client_port, method, written, request.target.host, request.target.port, outcome.reply,
        app_traffic ? "app traffic" : "not app traffic");
  }
  relay(client, upstream.socket, &up, &down);
  if (run_log_enabled) log_closed(client_port, "Forwarded request", written, up, down, opened_ms);
}

}  // namespace

unsigned run_connect_tunnel(void* argument) {
  TunnelStart* start = static_cast<TunnelStart*>(argument);
  // Declared before the upstream, so the upstream is closed first.
  NetSocketHolder client(start->client_socket);
  ProxyContext* context = start->context;
  free(start);

  char head[kHeadCapacity + 1];
  size_t head_end = 0;
  size_t count = read_head(client.socket, head, &head_end);
  if (count == 0) return 0;

  // Only the request line's words are logged, never a header: a
  // Proxy-Authorization value stays out of the log.
  ConnectTarget target;
  if (!connect_head_parse(head, &target)) {
    if (context->plain_http_mode == kPlainHttpForward) {
      serve_forward(client.socket, context, head, count, head_end);
      return 0;
    }
    if (run_log_enabled) log_refused_request(client.socket, head, "refused with 405");
    net_send_all(client.socket, kResponseRefused, strlen(kResponseRefused));
    return 0;
  }

  SocksOutcome outcome;
  NetSocketHolder upstream(open_target(client.socket, context, head, &target, &outcome));
  if (upstream.socket == kInvalidSocket) return 0;

  if (!net_send_all(client.socket, kResponseEstablished, strlen(kResponseEstablished))) return 0;
  const int app_traffic = connect_host_is_app_traffic(target.host);
  if (app_traffic) context->app_tunnel_count.fetch_add(1);

  uint64_t opened_ms = 0;
  uint16_t client_port = 0;
  char method[16];
  char written[kLoggedTargetMax + 1];
  written[0] = '\0';
  if (run_log_enabled) {
    opened_ms = run_log_clock_ms();
    client_port = net_peer_port(client.socket);
    copy_request_words(head, method, sizeof(method), written, sizeof(written));
    run_log_printf("Tunnel from client port %u opened: target %s, SOCKS5 reply %d, %s", client_port,
                   written, outcome.reply, app_traffic ? "app traffic" : "not app traffic");
  }

  // A client may send its first bytes (a TLS hello) together with the head;
  // they are the target's, so they go upstream before the relay starts.
  uint64_t up = 0;
  uint64_t down = 0;
  int alive = 1;
  if (head_end != 0 && count > head_end) {
    alive = net_send_all(upstream.socket, head + head_end, count - head_end);
    up = count - head_end;
  }
  if (alive) relay(client.socket, upstream.socket, &up, &down);
  if (run_log_enabled) log_closed(client_port, "Tunnel", written, up, down, opened_ms);
  return 0;
}
