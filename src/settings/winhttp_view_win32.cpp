#include "settings/connection_store.h"

// winhttp.h only: wininet.h must not meet it in one translation unit.
#include <windows.h>
#include <winhttp.h>

int winhttp_view_query(ConnectionView* view) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
  ZeroMemory(&config, sizeof(config));
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return 0;
  view->flags = 0;
  view->auto_detect = config.fAutoDetect ? 1 : 0;
  view->has_script_url = config.lpszAutoConfigUrl != nullptr &&
                         config.lpszAutoConfigUrl[0] != L'\0';
  size_t used = 0;
  for (const wchar_t* p = config.lpszProxy;
       p != nullptr && *p != L'\0' && used + 1 < sizeof(view->proxy); ++p) {
    view->proxy[used++] = *p < 0x80 ? static_cast<char>(*p) : '?';
  }
  view->proxy[used] = '\0';
  // The caller owns the strings.
  if (config.lpszAutoConfigUrl != nullptr) GlobalFree(config.lpszAutoConfigUrl);
  if (config.lpszProxy != nullptr) GlobalFree(config.lpszProxy);
  if (config.lpszProxyBypass != nullptr) GlobalFree(config.lpszProxyBypass);
  return 1;
}
