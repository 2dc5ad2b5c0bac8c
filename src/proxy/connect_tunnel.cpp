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
#include "proxy/request_log.h"
#include "socks/socks_client.h"

namespace {

constexpr size_t kRelayChunk = 32768;

// The longest target token that the head parser reads.
constexpr size_t kLoggedTargetMax = 511;
// What a forwarded request's client may still send once its answer is over,
// and for how long it may pause, before the connection is closed.
constexpr size_t kDrainMax = 65536;
constexpr int kDrainPauseMs = 1000;

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

// Relays until either side ends; *up and *down count the bytes each way. Kept
// apart from the tunnel's frame: inlined there, its buffer lies across one
// more page of every tunnel's stack.
LUMARET_NOINLINE void relay(NetSocket client, NetSocket upstream, uint64_t* up, uint64_t* down) {
  char buffer[kRelayChunk];
  for (;;) {
    int client_ready = 0;
    int upstream_ready = 0;
    if (!net_wait_readable(client, upstream, &client_ready, &upstream_ready)) return;
    if (client_ready && !relay_chunk(client, upstream, buffer, up)) return;
    if (upstream_ready && !relay_chunk(upstream, client, buffer, down)) return;
  }
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
  request_log_words(head, method, sizeof(method), target, sizeof(target));
  run_log_printf("Tunnel from client port %u: %s %s: %s", net_peer_port(client), method, target,
                 outcome);
}

// Opens the target through the SOCKS5 server with the context's login. When
// that fails, the client gets the 502 response (and the log its line), and the
// result is the invalid socket.
NetSocket open_target(NetSocket client, ProxyContext* context, const char* head,
                      const ConnectTarget* target, SocksOutcome* outcome) {
  *outcome = {-1, -1, "the SOCKS5 server could not be reached", 0};
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

// How a forwarded request's exchange ended.
enum ForwardEnd {
  kForwardOver,         // the answer ended, or the origin went after it began
  kForwardClientGone,   // the client closed or failed before its answer ended
  kForwardBadBody,      // the request's chunked body broke: the client gets 400
  kForwardBadResponse,  // no acceptable response head came: the client gets 502
};

// The origin's side of one forwarded request: its response head as it
// arrives, then the body by its framing.
struct ForwardAnswer {
  char head[kHeadCapacity + 1];
  size_t count;
  size_t searched;
  int head_request;  // the request was HEAD, so no body follows the final head
  int in_body;       // the final head was sent; body holds its framing
  ForwardBodyScan body;
  uint64_t sent;  // bytes that went to the client
};

// Sends the response body bytes among data[0, length) to the client. Returns
// kBodyMore while the body goes on, kBodyDone when it ended (or broke), and -1
// when the client is gone.
int pass_answer_body(NetSocket client, ForwardAnswer* answer, const char* data, size_t length) {
  size_t consumed = 0;
  const int scanned = forward_body_scan(&answer->body, data, length, &consumed);
  if (consumed > 0 && !net_send_all(client, data, consumed)) return -1;
  answer->sent += consumed;
  return scanned == kBodyMore ? kBodyMore : kBodyDone;
}

// Takes the next bytes from the origin: interim answers go to the client as
// they are, the final head rewritten so that the client closes after it, then
// its body. Returns kForwardOver when the answer ended, -1 while it goes on,
// or kForwardClientGone / kForwardBadResponse.
int take_answer(NetSocket client, ForwardAnswer* answer, const char* data, size_t length,
                char* rewritten, size_t rewritten_capacity) {
  if (answer->in_body) {
    const int passed = pass_answer_body(client, answer, data, length);
    return passed < 0 ? kForwardClientGone : passed == kBodyDone ? kForwardOver : -1;
  }
  while (length > 0) {
    const size_t room = kHeadCapacity - answer->count;
    const size_t taken = length < room ? length : room;
    memcpy(answer->head + answer->count, data, taken);
    answer->count += taken;
    data += taken;
    length -= taken;
    for (;;) {
      const size_t end = connect_head_end_next(answer->head, answer->count, &answer->searched);
      if (end == 0) break;
      ForwardResponse response;
      if (!forward_response_parse(answer->head, end, answer->head_request, &response)) {
        return kForwardBadResponse;
      }
      const size_t behind = answer->count - end;
      if (response.interim) {
        // "100 Continue" and its kind pass unchanged; the final answer follows.
        if (!net_send_all(client, answer->head, end)) return kForwardClientGone;
        answer->sent += end;
        memmove(answer->head, answer->head + end, behind);
        answer->count = behind;
        answer->searched = 0;
        continue;
      }
      const size_t written =
          forward_response_rewrite(answer->head, &response, rewritten, rewritten_capacity);
      if (written == 0) return kForwardBadResponse;
      if (!net_send_all(client, rewritten, written)) return kForwardClientGone;
      answer->sent += written;
      answer->in_body = 1;
      answer->body = response.body;
      // The body's first bytes may have come with the head.
      int passed = pass_answer_body(client, answer, answer->head + end, behind);
      if (passed == kBodyMore) passed = pass_answer_body(client, answer, data, length);
      return passed < 0 ? kForwardClientGone : passed == kBodyDone ? kForwardOver : -1;
    }
    if (answer->count == kHeadCapacity) return kForwardBadResponse;
  }
  return -1;
}

// Relays the rest of the request's body to the origin, exactly to its end,
// and the origin's answer to the client, until the answer ends. *up counts the
// body bytes sent.
int relay_forwarded(NetSocket client, NetSocket upstream, ForwardBodyScan* body, int request_done,
                    ForwardAnswer* answer, char* rewritten, size_t rewritten_capacity,
                    uint64_t* up) {
  char buffer[kRelayChunk];
  for (;;) {
    int client_ready = 0;
    int upstream_ready = 0;
    int waited;
    if (request_done) {
      // Once the request has ended, what the client sends is never read: a
      // second request must not reach this origin.
      int unused = 0;
      waited = net_wait_readable(upstream, upstream, &upstream_ready, &unused);
    } else {
      waited = net_wait_readable(client, upstream, &client_ready, &upstream_ready);
    }
    if (!waited) return kForwardOver;
    if (client_ready) {
      const long n = net_recv_some(client, buffer, kRelayChunk);
      if (n <= 0) return kForwardClientGone;
      size_t consumed = 0;
      const int scanned = forward_body_scan(body, buffer, static_cast<size_t>(n), &consumed);
      // An origin that stops reading may still answer (413, say): the answer
      // is read on, and the body no longer sent.
      if (consumed > 0 && !net_send_all(upstream, buffer, consumed)) {
        request_done = 1;
      } else {
        *up += consumed;
        if (scanned == kBodyBad) return kForwardBadBody;
        if (scanned == kBodyDone) request_done = 1;
      }
    }
    if (upstream_ready) {
      const long n = net_recv_some(upstream, buffer, kRelayChunk);
      if (n <= 0) return answer->in_body ? kForwardOver : kForwardBadResponse;
      const int taken = take_answer(client, answer, buffer, static_cast<size_t>(n), rewritten,
                                    rewritten_capacity);
      if (taken >= 0) return taken;
    }
  }
}

// Forwards one plain http:// request: its rewritten head, exactly its body by
// its framing, and nothing the client sends behind it; then the origin's
// answer, whose head tells the client that the connection closes after it.
// Kept apart so that only a forwarding thread takes the buffers' stack. The log
// names the host and port, never the path, the query or a header.
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
  // The body bytes that came with the head: a length that cannot be told, or a
  // chunk size that is no number, is refused before anything goes upstream.
  size_t early_body = 0;
  int scanned = kBodyBad;
  if (forward_request_framing(head, &request)) {
    scanned = forward_body_scan(&request.body, head + head_end, count - head_end, &early_body);
  }
  if (scanned == kBodyBad) {
    if (run_log_enabled) log_refused_request(client, head, "refused with 400");
    net_send_all(client, kResponseBadRequest, strlen(kResponseBadRequest));
    net_finish_and_drain(client, kDrainMax, kDrainPauseMs);
    return;
  }
  SocksOutcome outcome;
  NetSocketHolder upstream(open_target(client, context, head, &request.target, &outcome));
  if (upstream.socket == kInvalidSocket) return;
  if (!net_send_all(upstream.socket, rewritten, rewritten_length) ||
      !net_send_all(upstream.socket, head + head_end, early_body)) {
    return;
  }
  uint64_t up = rewritten_length + early_body;
  const int app_traffic = connect_host_is_app_traffic(request.target.host);
  if (app_traffic) context->app_tunnel_count.fetch_add(1);
  const uint16_t client_port = run_log_enabled ? net_peer_port(client) : 0;
  const uint64_t opened_ms = run_log_enabled ? run_log_clock_ms() : 0;
  char method[16];
  char written[kLoggedTargetMax + 1];
  written[0] = '\0';
  if (run_log_enabled) {
    request_log_words(head, method, sizeof(method), written, sizeof(written));
    run_log_printf(
        "Forwarded request from client port %u opened: %s %s, host %s port %u, SOCKS5 reply %d, %s",
        client_port, method, written, request.target.host, request.target.port, outcome.reply,
        app_traffic ? "app traffic" : "not app traffic");
  }

  ForwardAnswer answer;
  answer.count = 0;
  answer.searched = 0;
  answer.head_request = request.method.length == 4 &&
                        memcmp(head + request.method.offset, "HEAD", 4) == 0;
  answer.in_body = 0;
  answer.sent = 0;
  const int end = relay_forwarded(client, upstream.socket, &request.body, scanned == kBodyDone,
                                  &answer, rewritten, sizeof(rewritten), &up);
  net_close(upstream.socket);
  upstream.socket = kInvalidSocket;
  if (end == kForwardBadBody && answer.sent == 0) {
    net_send_all(client, kResponseBadRequest, strlen(kResponseBadRequest));
    if (run_log_enabled) {
      run_log_printf("Forwarded request from client port %u: its chunked body broke, answered 400",
                     client_port);
    }
  } else if (end == kForwardBadResponse) {
    net_send_all(client, kResponseBadGateway, strlen(kResponseBadGateway));
    if (run_log_enabled) {
      run_log_printf(
          "Forwarded request from client port %u: no valid response head within %u bytes, "
          "answered 502",
          client_port, static_cast<unsigned>(kHeadCapacity));
    }
  }
  if (end != kForwardClientGone) net_finish_and_drain(client, kDrainMax, kDrainPauseMs);
  if (run_log_enabled) {
    log_closed(client_port, "Forwarded request", written, up, answer.sent, opened_ms);
  }
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
    request_log_words(head, method, sizeof(method), written, sizeof(written));
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
