#include "proxy/proxy_context.h"

#include <cstring>

void proxy_context_set_defaults(ProxyContext* context) {
  memset(context->socks_host, 0, sizeof(context->socks_host));
  memset(context->socks_port, 0, sizeof(context->socks_port));
  memset(context->socks_user, 0, sizeof(context->socks_user));
  memset(context->socks_password, 0, sizeof(context->socks_password));
  strcpy(context->socks_host, kDefaultSocksHost);
  strcpy(context->socks_port, kDefaultSocksPort);
  context->http_port = kDefaultHttpPort;
  memset(context->proxy_bypass, 0, sizeof(context->proxy_bypass));
  strcpy(context->proxy_bypass, kLauncherBypass);
  context->plain_http_mode = kPlainHttpRefuse;
  context->stop_requested.store(0);
  context->app_tunnel_count.store(0);
  context->listen_socket.store(kInvalidSocket);
}
