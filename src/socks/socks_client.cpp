#include "socks/socks_client.h"

#include <cstring>

#include "socks/socks_wire.h"

NetSocket open_upstream_connection(const char* host, const char* port) {
  return net_connect_first(host, port);
}

int socks5_connect(NetSocket socket, const char* host, uint16_t port) {
  size_t host_length = strlen(host);
  if (host_length == 0 || host_length > 255) return 0;

  if (!net_send_all(socket, kSocksGreeting, sizeof(kSocksGreeting))) return 0;
  unsigned char method[2];
  if (!net_recv_exact(socket, method, sizeof(method))) return 0;
  if (!socks_method_accepted(method)) return 0;

  unsigned char request[kSocksRequestMax];
  size_t request_length =
      socks_build_connect_request(host, host_length, port, request, sizeof(request));
  if (request_length == 0) return 0;
  if (!net_send_all(socket, request, request_length)) return 0;

  unsigned char header[4];
  if (!net_recv_exact(socket, header, sizeof(header))) return 0;
  int remaining = socks_reply_remaining(header);
  if (remaining == 0) return 0;
  if (remaining < 0) {
    unsigned char name_length;
    if (!net_recv_exact(socket, &name_length, 1)) return 0;
    remaining = name_length + 2;
  }
  // The bound address is of no use to us; it is read away so that the next
  // byte in the socket is the target's first.
  unsigned char bound[255 + 2];
  return net_recv_exact(socket, bound, static_cast<size_t>(remaining));
}

int probe_socks_alive(const char* host, const char* port) {
  NetSocket socket = open_upstream_connection(host, port);
  if (socket == kInvalidSocket) return 0;
  net_close(socket);
  return 1;
}
