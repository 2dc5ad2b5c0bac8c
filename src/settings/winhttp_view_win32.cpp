#include "settings/connection_store.h"

// winhttp.h only: wininet.h must not meet it in one translation unit.
#include <windows.h>
#include <winhttp.h>

namespace {

// Copies text as 8-bit characters, '?' for those outside ASCII, cut to capacity.
void narrow_into(const wchar_t* text, char* buffer, size_t capacity) {
  size_t used = 0;
  for (const wchar_t* p = text; p != nullptr && *p != L'\0' && used + 1 < capacity; ++p) {
    buffer[used++] = *p < 0x80 ? static_cast<char>(*p) : '?';
  }
  buffer[used] = '\0';
}

}  // namespace

int winhttp_view_query(ConnectionView* view) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
  ZeroMemory(&config, sizeof(config));
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return 0;
  view->flags = 0;
  view->auto_detect = config.fAutoDetect ? 1 : 0;
  view->has_script_url = config.lpszAutoConfigUrl != nullptr &&
                         config.lpszAutoConfigUrl[0] != L'\0';
  narrow_into(config.lpszProxy, view->proxy, sizeof(view->proxy));
  narrow_into(config.lpszProxyBypass, view->bypass, sizeof(view->bypass));
  // The caller owns the strings.
  if (config.lpszAutoConfigUrl != nullptr) GlobalFree(config.lpszAutoConfigUrl);
  if (config.lpszProxy != nullptr) GlobalFree(config.lpszProxy);
  if (config.lpszProxyBypass != nullptr) GlobalFree(config.lpszProxyBypass);
  return 1;
}
