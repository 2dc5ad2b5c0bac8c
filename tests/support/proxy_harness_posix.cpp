#include "support/proxy_harness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "proxy/proxy_listener.h"

const std::string kExpectRefused =
    "HTTP/1.1 405 Method Not Allowed\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
const std::string kExpectBadRequest =
    "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
const std::string kExpectBadGateway =
    "HTTP/1.1 502 Bad Gateway\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
const std::string kExpectEstablished =
    "HTTP/1.1 200 Connection Established\r\nProxy-Agent: MorvoProxyLauncher/1.0\r\n\r\n";

namespace {

// Every proxy a test started, kept to the end of the process (still reachable,
// so not a leak) for the detached tunnel threads that may outlive their test.
// The list itself is never destroyed: static destructors run before the leak
// check at exit, and a destroyed list would leave its entries unreachable.
std::mutex proxies_lock;
std::vector<ProxyUnderTest*>& proxies = *new std::vector<ProxyUnderTest*>();

uint16_t local_port(int fd) {
  sockaddr_in address;
  socklen_t length = sizeof(address);
  memset(&address, 0, sizeof(address));
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

int recv_exact(int fd, void* data, size_t length) {
  return net_recv_exact(static_cast<NetSocket>(fd), data, length);
}

int send_all(int fd, const void* data, size_t length) {
  return net_send_all(static_cast<NetSocket>(fd), data, length);
}

// The SOCKS5 side of a stand-in connection: greeting, CONNECT by any address
// type, a granting reply. Returns 1 when the CONNECT was granted.
int serve_socks5_request(StandInServer* server, int fd) {
  unsigned char greeting[2];
  if (!recv_exact(fd, greeting, sizeof(greeting)) || greeting[0] != 0x05) return 0;
  unsigned char methods[255];
  if (!recv_exact(fd, methods, greeting[1])) return 0;
  const unsigned char choice[2] = {0x05, 0x00};
  if (!send_all(fd, choice, sizeof(choice))) return 0;
  unsigned char header[4];
  if (!recv_exact(fd, header, sizeof(header)) || header[1] != 0x01) return 0;
  char host[256];
  size_t host_length = 0;
  if (header[3] == 0x03) {
    unsigned char length = 0;
    if (!recv_exact(fd, &length, 1)) return 0;
    host_length = length;
  } else if (header[3] == 0x01) {
    host_length = 4;
  } else if (header[3] == 0x04) {
    host_length = 16;
  } else {
    return 0;
  }
  if (!recv_exact(fd, host, host_length)) return 0;
  host[host_length] = '\0';
  unsigned char port[2];
  if (!recv_exact(fd, port, sizeof(port))) return 0;
  // Recorded before the reply, so that a client that got its 200 finds it.
  {
    std::lock_guard<std::mutex> guard(server->lock);
    server->last_host.assign(host, host_length);
    server->last_port = static_cast<uint16_t>((port[0] << 8) | port[1]);
  }
  server->granted.fetch_add(1);
  const unsigned char reply[10] = {0x05, 0x00, 0x00, 0x01, 127, 0, 0, 1, 0x04, 0x38};
  return send_all(fd, reply, sizeof(reply));
}

void serve_echo(StandInServer* server, int fd) {
  char buffer[32768];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      server->peer_closed.fetch_add(1);
      return;
    }
    if (memmem(buffer, static_cast<size_t>(n), "close-now", 9) != nullptr) return;
    if (!send_all(fd, buffer, static_cast<size_t>(n))) return;
  }
}

// Serves requests on one connection until the client closes it.
void serve_http_requests(StandInServer* server, int fd) {
  std::string pending;
  char buffer[65536];
  for (;;) {
    size_t head_end;
    while ((head_end = pending.find("\r\n\r\n")) == std::string::npos) {
      ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      if (n <= 0 || pending.size() > 65536) return;
      pending.append(buffer, static_cast<size_t>(n));
    }
    head_end += 4;
    const std::string head = pending.substr(0, head_end);
    const char* length_header = strcasestr(head.c_str(), "\r\nContent-Length:");
    const int chunked = strcasestr(head.c_str(), "\r\nTransfer-Encoding: chunked") != nullptr;
    if (strcasestr(head.c_str(), "\r\nExpect: 100-continue") != nullptr &&
        !send_all(fd, "HTTP/1.1 100 Continue\r\n\r\n", 25)) {
      return;
    }
    size_t end = length_header != nullptr ? head_end + strtoul(length_header + 17, nullptr, 10)
                                          : head_end;
    while (chunked ? (end = pending.find("\r\n0\r\n\r\n", head_end - 2)) == std::string::npos
                   : pending.size() < end) {
      ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      if (n <= 0) return;
      pending.append(buffer, static_cast<size_t>(n));
    }
    if (chunked) end += 7;
    {
      std::lock_guard<std::mutex> guard(server->lock);
      server->last_request = pending.substr(0, end);
      server->requests.push_back(server->last_request);
    }
    pending.erase(0, end);
    std::string answer;
    {
      std::lock_guard<std::mutex> guard(server->lock);
      answer = server->answer;
    }
    if (!answer.empty()) {
      if (!send_all(fd, answer.data(), answer.size())) return;
      continue;
    }
    char status[160];
    snprintf(status, sizeof(status),
             "HTTP/1.1 200 OK\r\nContent-Length: %zu\r\nConnection: keep-alive\r\n"
             "Keep-Alive: timeout=5\r\n\r\n",
             server->body.size());
    if (!send_all(fd, status, strlen(status))) return;
    if (!send_all(fd, server->body.data(), server->body.size())) return;
  }
}

unsigned run_stand_in_connection(void* argument) {
  StandInConnection* connection = static_cast<StandInConnection*>(argument);
  StandInServer* server = connection->server;
  int fd = connection->fd;
  if (server->kind == kStandInSocks5Echo) {
    if (serve_socks5_request(server, fd)) serve_echo(server, fd);
  } else if (server->kind == kStandInSocks5Http) {
    if (serve_socks5_request(server, fd)) serve_http_requests(server, fd);
  } else {
    serve_http_requests(server, fd);
  }
  // The descriptor is closed by stand_in_stop after this thread was joined, so
  // that it never closes a number that another thread reused meanwhile.
  shutdown(fd, SHUT_RDWR);
  return 0;
}

unsigned run_stand_in_acceptor(void* argument) {
  StandInServer* server = static_cast<StandInServer*>(argument);
  while (server->stopping.load() == 0) {
    int fd = accept(server->listen_fd, nullptr, nullptr);
    if (fd < 0) {
      if (server->stopping.load() != 0) break;
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;
    }
    if (server->connection_count == kStandInMaxConnections) {
      close(fd);
      continue;
    }
    StandInConnection* connection = &server->connections[server->connection_count];
    connection->fd = fd;
    connection->server = server;
    connection->thread = thread_start(run_stand_in_connection, connection);
    if (connection->thread == kNoThread) {
      close(fd);
      continue;
    }
    server->connection_count++;
  }
  return 0;
}

}  // namespace

ProxyUnderTest* harness_proxy_start(uint16_t socks_port, PlainHttpMode mode) {
  ProxyUnderTest* proxy = new ProxyUnderTest();
  {
    std::lock_guard<std::mutex> guard(proxies_lock);
    proxies.push_back(proxy);
  }
  proxy_context_set_defaults(&proxy->context);
  snprintf(proxy->context.socks_port, sizeof(proxy->context.socks_port), "%u",
           static_cast<unsigned>(socks_port));
  proxy->context.http_port = 0;  // the system picks a free port
  proxy->context.plain_http_mode = mode;
  proxy->port = 0;
  proxy->listener = thread_start(run_proxy_listener, &proxy->context);
  if (proxy->listener == kNoThread) return nullptr;
  for (unsigned waited = 0; waited < kHarnessLimitMs; waited += 5) {
    NetSocket listening = proxy->context.listen_socket.load();
    if (listening != kInvalidSocket) {
      proxy->port = local_port(static_cast<int>(listening));
      return proxy->port != 0 ? proxy : nullptr;
    }
    thread_sleep_ms(5);
  }
  return nullptr;
}

int harness_proxy_stop(ProxyUnderTest* proxy) {
  proxy_listener_stop(&proxy->context);
  return thread_wait_and_close(proxy->listener, kHarnessLimitMs);
}

int stand_in_start(StandInServer* server, StandInKind kind, const char* bind_address) {
  server->kind = kind;
  server->stopping.store(0);
  server->connection_count = 0;
  server->granted.store(0);
  server->peer_closed.store(0);
  server->last_port = 0;
  server->listen_fd = socket(AF_INET, SOCK_STREAM, 0);
  if (server->listen_fd < 0) return 0;
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  if (inet_pton(AF_INET, bind_address, &address.sin_addr) != 1 ||
      bind(server->listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(server->listen_fd, SOMAXCONN) != 0) {
    close(server->listen_fd);
    return 0;
  }
  server->port = local_port(server->listen_fd);
  server->acceptor = thread_start(run_stand_in_acceptor, server);
  if (server->acceptor == kNoThread) {
    close(server->listen_fd);
    return 0;
  }
  return 1;
}

void stand_in_stop(StandInServer* server) {
  server->stopping.store(1);
  shutdown(server->listen_fd, SHUT_RDWR);  // wakes the acceptor
  thread_wait_and_close(server->acceptor, kHarnessLimitMs);
  for (int i = 0; i < server->connection_count; ++i) {
    shutdown(server->connections[i].fd, SHUT_RDWR);
    thread_wait_and_close(server->connections[i].thread, kHarnessLimitMs);
    close(server->connections[i].fd);
  }
  close(server->listen_fd);
}

std::string stand_in_last_host(StandInServer* server) {
  std::lock_guard<std::mutex> guard(server->lock);
  return server->last_host;
}

uint16_t stand_in_last_port(StandInServer* server) {
  std::lock_guard<std::mutex> guard(server->lock);
  return server->last_port;
}

NetSocket harness_connect(uint16_t port) {
  char port_text[16];
  snprintf(port_text, sizeof(port_text), "%u", static_cast<unsigned>(port));
  NetSocket socket = net_connect_first("127.0.0.1", port_text);
  if (socket != kInvalidSocket) net_set_timeouts(socket, static_cast<int>(kHarnessLimitMs));
  return socket;
}

int harness_send(NetSocket socket, const std::string& text) {
  return net_send_all(socket, text.data(), text.size());
}

std::string harness_read(NetSocket socket, size_t length) {
  std::string result;
  char buffer[32768];
  while (result.size() < length) {
    size_t want = length - result.size();
    if (want > sizeof(buffer)) want = sizeof(buffer);
    long n = net_recv_some(socket, buffer, want);
    if (n <= 0) break;
    result.append(buffer, static_cast<size_t>(n));
  }
  return result;
}

std::string harness_read_to_end(NetSocket socket, int* closed) {
  std::string result;
  char buffer[32768];
  *closed = 0;
  for (;;) {
    ssize_t n = recv(static_cast<int>(socket), buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      result.append(buffer, static_cast<size_t>(n));
      continue;
    }
    // A time-out shows as EAGAIN; an end of stream or a reset means closed.
    *closed = (n == 0 || errno == ECONNRESET) ? 1 : 0;
    return result;
  }
}

int harness_quiet_for(NetSocket socket, unsigned milliseconds) {
  pollfd entry;
  memset(&entry, 0, sizeof(entry));
  entry.fd = static_cast<int>(socket);
  entry.events = POLLIN;
  int rc;
  do {
    rc = poll(&entry, 1, static_cast<int>(milliseconds));
  } while (rc < 0 && errno == EINTR);
  return rc == 0 ? 1 : 0;
}

int harness_wait_at_least(const std::atomic<int32_t>& value, int32_t expected) {
  for (unsigned waited = 0; waited < kHarnessLimitMs; waited += 2) {
    if (value.load() >= expected) return 1;
    thread_sleep_ms(2);
  }
  return value.load() >= expected ? 1 : 0;
}

std::string harness_connect_head(const std::string& target) {
  return "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
}

std::string stand_in_last_request(StandInServer* server) {
  std::lock_guard<std::mutex> guard(server->lock);
  return server->last_request;
}

std::vector<std::string> stand_in_requests(StandInServer* server) {
  std::lock_guard<std::mutex> guard(server->lock);
  return server->requests;
}
