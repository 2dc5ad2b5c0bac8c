#include "proxy/connect_tunnel.h"

#include <cstdlib>
#include <cstring>

#include "platform/compiler.h"
#include "platform/net.h"
#include "proxy/connect_head.h"
#include "proxy/forward_head.h"
#include "proxy/proxy_context.h"
#include "proxy/proxy_listener.h"
#include "socks/socks_client.h"

namespace {

constexpr size_t kRelayChunk = 32768;

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

// Moves one chunk from one side to the other. Returns 0 when the tunnel ends.
int relay_chunk(NetSocket from, NetSocket to, char* buffer) {
  long n = net_recv_some(from, buffer, kRelayChunk);
  if (n <= 0) return 0;
  return net_send_all(to, buffer, static_cast<size_t>(n));
}

void relay(NetSocket client, NetSocket upstream) {
  char buffer[kRelayChunk];
  for (;;) {
    int client_ready = 0;
    int upstream_ready = 0;
    if (!net_wait_readable(client, upstream, &client_ready, &upstream_ready)) return;
    if (client_ready && !relay_chunk(client, upstream, buffer)) return;
    if (upstream_ready && !relay_chunk(upstream, client, buffer)) return;
  }
}

// Opens the upstream through the SOCKS5 server to target. Returns the socket,
// or kInvalidSocket after answering the client with 502.
NetSocket open_upstream_or_answer(NetSocket client, const ProxyContext* context,
                                  const ConnectTarget& target) {
  NetSocket upstream = open_upstream_connection(context->socks_host, context->socks_port);
  if (upstream != kInvalidSocket &&
      !socks5_connect_login(upstream, target.host, target.port, context->socks_user,
                            context->socks_password, nullptr)) {
    net_close(upstream);
    upstream = kInvalidSocket;
  }
  if (upstream == kInvalidSocket) {
    net_send_all(client, kResponseBadGateway, strlen(kResponseBadGateway));
  }
  return upstream;
}

// Forwards one plain http:// request: the rewritten head, the body bytes that
// came with the head, then both ways as a tunnel until either side ends. Kept
// apart so that only a forwarding thread takes the rewritten head's stack.
LUMARET_NOINLINE void serve_forward(NetSocket client, ProxyContext* context, const char* head,
                                    size_t count, size_t head_end) {
  ForwardRequest request;
  char rewritten[kForwardHeadCapacity];
  size_t rewritten_length = 0;
  if (forward_request_parse(head, head_end, &request)) {
    rewritten_length = forward_head_rewrite(head, &request, rewritten, sizeof(rewritten));
  }
  if (rewritten_length == 0) {
    net_send_all(client, kResponseRefused, strlen(kResponseRefused));
    return;
  }
  NetSocketHolder upstream(open_upstream_or_answer(client, context, request.target));
  if (upstream.socket == kInvalidSocket) return;
  if (!net_send_all(upstream.socket, rewritten, rewritten_length)) return;
  if (count > head_end && !net_send_all(upstream.socket, head + head_end, count - head_end)) {
    return;
  }
  if (connect_host_is_app_traffic(request.target.host)) context->app_tunnel_count.fetch_add(1);
  relay(client, upstream.socket);
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

  ConnectTarget target;
  if (!connect_head_parse(head, &target)) {
    if (context->plain_http_mode == kPlainHttpForward) {
      serve_forward(client.socket, context, head, count, head_end);
    } else {
      net_send_all(client.socket, kResponseRefused, strlen(kResponseRefused));
    }
    return 0;
  }

  NetSocketHolder upstream(open_upstream_or_answer(client.socket, context, target));
  if (upstream.socket == kInvalidSocket) return 0;

  if (!net_send_all(client.socket, kResponseEstablished, strlen(kResponseEstablished))) return 0;
  if (connect_host_is_app_traffic(target.host)) context->app_tunnel_count.fetch_add(1);

  // A client may send its first bytes (a TLS hello) together with the head;
  // they are the target's, so they go upstream before the relay starts.
  int alive = 1;
  if (head_end != 0 && count > head_end) {
    alive = net_send_all(upstream.socket, head + head_end, count - head_end);
  }
  if (alive) relay(client.socket, upstream.socket);
  return 0;
}
