#include "bench_target.h"

#include <cstdlib>

#include "bench_stream.h"
#include "support/peer_process.h"

namespace {

constexpr size_t kTargetChunk = 256 * 1024;

struct TargetConnection {
  TargetServer* server;
  NetSocket socket;
};

int serve_sink(NetSocket socket, const TargetRequest* request, unsigned char* buffer) {
  StreamPattern* pattern = static_cast<StreamPattern*>(malloc(sizeof(StreamPattern)));
  if (pattern == nullptr) return 0;
  stream_pattern_init(pattern, request->seed);
  uint64_t received = 0;
  uint64_t matched = 0;
  int intact = 1;
  while (received < request->count) {
    uint64_t missing = request->count - received;
    size_t want = missing < kTargetChunk ? static_cast<size_t>(missing) : kTargetChunk;
    long n = net_recv_some(socket, buffer, want);
    if (n <= 0) {
      free(pattern);
      return 0;
    }
    if (intact) {
      size_t good = stream_check(pattern, received, buffer, static_cast<size_t>(n));
      matched += good;
      if (good != static_cast<size_t>(n)) intact = 0;
    }
    received += static_cast<uint64_t>(n);
  }
  free(pattern);
  if (!net_send_all(socket, &matched, sizeof(matched))) return 0;
  return intact;
}

int serve_source(NetSocket socket, const TargetRequest* request, unsigned char* buffer) {
  StreamPattern* pattern = static_cast<StreamPattern*>(malloc(sizeof(StreamPattern)));
  if (pattern == nullptr) return 0;
  stream_pattern_init(pattern, request->seed);
  uint64_t sent = 0;
  int ok = 1;
  while (ok && sent < request->count) {
    uint64_t missing = request->count - sent;
    size_t take = missing < kTargetChunk ? static_cast<size_t>(missing) : kTargetChunk;
    stream_fill(pattern, sent, buffer, take);
    ok = net_send_all(socket, buffer, take);
    sent += take;
  }
  free(pattern);
  return ok;
}

int serve_echo(NetSocket socket, const TargetRequest* request, unsigned char* buffer) {
  uint64_t moved = 0;
  while (moved < request->count) {
    uint64_t missing = request->count - moved;
    size_t want = missing < kTargetChunk ? static_cast<size_t>(missing) : kTargetChunk;
    long n = net_recv_some(socket, buffer, want);
    if (n <= 0 || !net_send_all(socket, buffer, static_cast<size_t>(n))) return 0;
    moved += static_cast<uint64_t>(n);
  }
  return 1;
}

unsigned run_target_connection(void* argument) {
  TargetConnection* connection = static_cast<TargetConnection*>(argument);
  TargetServer* server = connection->server;
  NetSocket socket = connection->socket;
  free(connection);
  // Heap, not stack: thousands of idle connections must not each keep a
  // quarter megabyte resident in the benchmark process.
  unsigned char* buffer = nullptr;
  for (;;) {
    TargetRequest request;
    if (!net_recv_exact(socket, &request, sizeof(request))) break;
    if (buffer == nullptr) buffer = static_cast<unsigned char*>(malloc(kTargetChunk));
    if (request.magic == kTargetMagic && request.mode == kTargetClose) break;
    int ok = 0;
    if (request.magic == kTargetMagic && buffer != nullptr) {
      if (request.mode == kTargetSink) ok = serve_sink(socket, &request, buffer);
      if (request.mode == kTargetSource) ok = serve_source(socket, &request, buffer);
      if (request.mode == kTargetEcho) {
        ok = serve_echo(socket, &request, buffer);
        // An idle tunnel keeps this thread waiting: give the buffer back.
        free(buffer);
        buffer = nullptr;
      }
    }
    if (!ok) {
      server->failures.fetch_add(1);
      break;
    }
  }
  free(buffer);
  net_close(socket);
  server->open.fetch_sub(1);
  return 0;
}

unsigned run_target_acceptor(void* argument) {
  TargetServer* server = static_cast<TargetServer*>(argument);
  for (;;) {
    int failure = kAcceptFailed;
    NetSocket client = net_accept(server->listener, &failure);
    if (client == kInvalidSocket) {
      if (failure == kAcceptFailed) return 0;
      if (failure == kAcceptRetryAfterPause) thread_sleep_ms(10);
      continue;
    }
    server->connections.fetch_add(1);
    TargetConnection* connection = static_cast<TargetConnection*>(malloc(sizeof(TargetConnection)));
    if (connection == nullptr) {
      server->failures.fetch_add(1);
      net_close(client);
      continue;
    }
    connection->server = server;
    connection->socket = client;
    server->open.fetch_add(1);
    if (!thread_start_detached(run_target_connection, connection)) {
      server->open.fetch_sub(1);
      server->failures.fetch_add(1);
      net_close(client);
      free(connection);
    }
  }
}

}  // namespace

int target_start(TargetServer* server) {
  server->connections.store(0);
  server->open.store(0);
  server->failures.store(0);
  server->acceptor = kNoThread;
  // A free port may be taken by someone else before the bind: try a few.
  for (int attempt = 0; attempt < 10; ++attempt) {
    int failed_step = 0;
    server->port = peer_free_port();
    server->listener = net_listen_loopback(server->port, &failed_step);
    if (server->listener != kInvalidSocket) break;
  }
  if (server->listener == kInvalidSocket) return 0;
  server->acceptor = thread_start(run_target_acceptor, server);
  if (server->acceptor == kNoThread) {
    net_close(server->listener);
    return 0;
  }
  return 1;
}

int target_close_tunnel(NetSocket socket) {
  TargetRequest request = {kTargetMagic, kTargetClose, 0, 0};
  int ok = net_send_all(socket, &request, sizeof(request));
  char rest[64];
  if (ok) ok = net_recv_some(socket, rest, sizeof(rest)) == 0;
  net_close(socket);
  return ok;
}

void target_stop(TargetServer* server) {
  net_close_listener(server->listener);
  thread_wait_and_close(server->acceptor, 5000);
  server->listener = kInvalidSocket;
  server->acceptor = kNoThread;
}
