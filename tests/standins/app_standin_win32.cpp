// Test stand-in for the Lumaret app (Lumaret.exe), built into the test-hosts
// directory. Like the real app it reads the current user's ProxyServer value
// and opens its HTTPS connections as CONNECT tunnels through the proxy named
// there; it keeps them open without sending anything further.
//
// Environment (inherited from the launcher through the PowerShell stand-in):
//   LUMARET_TEST_APP_TUNNELS    comma-separated host:port targets, opened one
//                               after the other; default "app.lumaret.test:443";
//                               "none" opens nothing (the process only runs)
//   LUMARET_TEST_APP_DELAY_MS   wait before the first tunnel, default 0
//   LUMARET_TEST_APP_PROXY_VIEW "winhttp": reads the proxy as Chromium-based
//                               apps do, through WinHttpGetIEProxyConfigForCurrentUser;
//                               with automatic detection or a setup script in
//                               that view it has no fixed proxy (those come
//                               first), so it opens no tunnel. Default: the
//                               ProxyServer value
//   LUMARET_TEST_APP_STOP_FILE  the app ends as soon as this file exists
//   LUMARET_TEST_APP_TIMEOUT_MS the app ends after this time, default 90000
//   LUMARET_TEST_APP_LOG        a line per event, "<unix ms> <event>":
//                               "start", "proxy <ProxyServer>" (in the
//                               WinHTTP mode "view auto-detect=N script=URL"
//                               first, then "proxy <the view's proxy>"),
//                               "tunnel <target> <status code>" (0 when the
//                               proxy could not be reached or did not answer),
//                               "end stop-file|timeout|closed|no-tunnel"
// With tunnels requested, the app also ends when every one of them has been
// closed by the proxy (for example because the launcher ended), so that it
// never outlives a test run by long.
#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "standin_common.h"

namespace {

constexpr int kMaxTunnels = 8;
constexpr unsigned kPollMs = 100;

void app_log(const char* text) { standin_log("LUMARET_TEST_APP_LOG", text); }

// Reads ProxyServer from the current user's Internet Settings. Returns 1 when
// it is a text.
int app_read_proxy_server(char* value, DWORD size) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER,
                    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return 0;
  }
  DWORD type = 0;
  DWORD length = size - 1;
  LONG status =
      RegQueryValueExA(key, "ProxyServer", nullptr, &type, reinterpret_cast<BYTE*>(value), &length);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return 0;
  value[length < size ? length : size - 1] = '\0';
  return 1;
}

// Reads the proxy from WinHTTP's view of the user's settings. Returns 1 with
// the view's fixed proxy in value ("" when there is none or automatic
// detection or a setup script comes first).
int app_read_winhttp_proxy(char* value, size_t size) {
  value[0] = '\0';
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
  ZeroMemory(&config, sizeof(config));
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return 0;
  char line[700];
  snprintf(line, sizeof(line), "view auto-detect=%d script=%ls", config.fAutoDetect ? 1 : 0,
           config.lpszAutoConfigUrl ? config.lpszAutoConfigUrl : L"");
  app_log(line);
  if (!config.fAutoDetect && config.lpszAutoConfigUrl == nullptr && config.lpszProxy != nullptr) {
    snprintf(value, size, "%ls", config.lpszProxy);
  }
  if (config.lpszAutoConfigUrl != nullptr) GlobalFree(config.lpszAutoConfigUrl);
  if (config.lpszProxy != nullptr) GlobalFree(config.lpszProxy);
  if (config.lpszProxyBypass != nullptr) GlobalFree(config.lpszProxyBypass);
  return 1;
}

// Picks the proxy for HTTPS out of a ProxyServer text: the "https=" entry of a
// per-protocol list, else the "http=" entry, else the whole text. Splits it
// into host and port. Returns 1 on success.
int app_pick_https_proxy(const char* server, char* host, size_t host_size, unsigned* port) {
  const char* entry = server;
  size_t length = strlen(server);
  if (strchr(server, '=') != nullptr) {
    const char* wanted[2] = {"https=", "http="};
    entry = nullptr;
    for (const char* prefix : wanted) {
      for (const char* p = server; *p != '\0' && entry == nullptr;) {
        const char* end = strchr(p, ';');
        if (end == nullptr) end = p + strlen(p);
        size_t prefix_length = strlen(prefix);
        if (static_cast<size_t>(end - p) > prefix_length &&
            _strnicmp(p, prefix, prefix_length) == 0) {
          entry = p + prefix_length;
          length = static_cast<size_t>(end - entry);
        }
        p = *end == ';' ? end + 1 : end;
      }
      if (entry != nullptr) break;
    }
    if (entry == nullptr) return 0;
  }
  const char* colon = nullptr;
  for (size_t i = 0; i < length; ++i)
    if (entry[i] == ':') colon = entry + i;
  if (colon == nullptr) return 0;
  size_t name_length = static_cast<size_t>(colon - entry);
  if (name_length == 0 || name_length >= host_size) return 0;
  memcpy(host, entry, name_length);
  host[name_length] = '\0';
  *port = static_cast<unsigned>(strtoul(colon + 1, nullptr, 10));
  return *port > 0 && *port < 65536;
}

// Opens a CONNECT tunnel to target through host:port. Returns the socket once
// the proxy's answer head has been read (INVALID_SOCKET on failure) and the
// answer's status code in *status (0 when there was none).
SOCKET app_open_tunnel(const char* host, unsigned port, const char* target, int* status) {
  *status = 0;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return INVALID_SOCKET;
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = inet_addr(host);
  char request[600];
  int request_length =
      snprintf(request, sizeof(request), "CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n", target, target);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      request_length <= 0 || request_length >= static_cast<int>(sizeof(request)) ||
      send(s, request, request_length, 0) != request_length) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  // Reads the answer head byte by byte so that nothing after it is consumed.
  char head[1024];
  size_t used = 0;
  while (used + 1 < sizeof(head)) {
    int got = recv(s, head + used, 1, 0);
    if (got <= 0) break;
    ++used;
    if (used >= 4 && memcmp(head + used - 4, "\r\n\r\n", 4) == 0) break;
  }
  head[used] = '\0';
  if (used < 12 || strncmp(head, "HTTP/1.", 7) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  *status = atoi(head + 9);
  if (*status != 200) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

int app_stop_file_exists() {
  char setting[MAX_PATH];
  if (!standin_getenv("LUMARET_TEST_APP_STOP_FILE", setting, sizeof(setting))) return 0;
  char path[MAX_PATH];
  standin_windows_path(setting, path, sizeof(path));
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Returns 1 when the peer has closed the socket (or it failed).
int app_tunnel_closed(SOCKET s) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval no_wait = {0, 0};
  if (select(0, &readable, nullptr, nullptr, &no_wait) <= 0) return 0;
  char byte;
  return recv(s, &byte, 1, 0) <= 0;
}

}  // namespace

int main() {
  unsigned long long started = GetTickCount64();
  unsigned long long timeout_ms = standin_getenv_number("LUMARET_TEST_APP_TIMEOUT_MS", 90000);
  app_log("start");

  char tunnels[1024];
  if (!standin_getenv("LUMARET_TEST_APP_TUNNELS", tunnels, sizeof(tunnels)))
    strcpy(tunnels, "app.lumaret.test:443");
  int wants_tunnels = strcmp(tunnels, "none") != 0;

  SOCKET open_tunnels[kMaxTunnels];
  int open_count = 0;
  const char* end_reason = nullptr;

  DWORD delay = static_cast<DWORD>(standin_getenv_number("LUMARET_TEST_APP_DELAY_MS", 0));
  while (GetTickCount64() - started < delay) {
    if (app_stop_file_exists()) {
      end_reason = "stop-file";
      break;
    }
    Sleep(kPollMs / 2);
  }

  WSADATA wsa;
  if (end_reason == nullptr && wants_tunnels && WSAStartup(0x0202, &wsa) == 0) {
    char server[512];
    char line[700];
    char view[16];
    standin_getenv("LUMARET_TEST_APP_PROXY_VIEW", view, sizeof(view));
    int read = strcmp(view, "winhttp") == 0 ? app_read_winhttp_proxy(server, sizeof(server))
                                            : app_read_proxy_server(server, sizeof(server));
    if (!read) server[0] = '\0';
    snprintf(line, sizeof(line), "proxy %s", server);
    app_log(line);
    char host[256];
    unsigned port = 0;
    int have_proxy = app_pick_https_proxy(server, host, sizeof(host), &port);
    for (char* target = strtok(tunnels, ","); target != nullptr && open_count < kMaxTunnels;
         target = strtok(nullptr, ",")) {
      int status = 0;
      SOCKET s = have_proxy ? app_open_tunnel(host, port, target, &status) : INVALID_SOCKET;
      snprintf(line, sizeof(line), "tunnel %s %d", target, status);
      app_log(line);
      if (s != INVALID_SOCKET) open_tunnels[open_count++] = s;
    }
    if (open_count == 0) end_reason = "no-tunnel";
  }

  while (end_reason == nullptr) {
    if (app_stop_file_exists()) {
      end_reason = "stop-file";
    } else if (GetTickCount64() - started >= timeout_ms) {
      end_reason = "timeout";
    } else if (open_count > 0) {
      int closed = 0;
      for (int i = 0; i < open_count; ++i) closed += app_tunnel_closed(open_tunnels[i]);
      if (closed == open_count) end_reason = "closed";
    }
    if (end_reason == nullptr) Sleep(kPollMs);
  }
  for (int i = 0; i < open_count; ++i) closesocket(open_tunnels[i]);
  char line[64];
  snprintf(line, sizeof(line), "end %s", end_reason);
  app_log(line);
  return 0;
}
