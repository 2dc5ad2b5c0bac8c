#include "probes/https_probes.h"

#include <windows.h>
#include <winhttp.h>

#include "build_constants.h"
#include "platform/run_log.h"
#include "probes/address_text.h"
#include "probes/proxy_name.h"

namespace {

const wchar_t kProbeUserAgent[] = L"LumaretDesktopProxyLauncher/1.0";
const wchar_t kQueryUserAgent[] = L"LumaretDesktopProxyLauncher/1.3";
const INTERNET_PORT kHttpsPort = 443;

// The session, connection and request of one exchange; null when not opened.
struct WinHttpHandles {
  HINTERNET session;
  HINTERNET connection;
  HINTERNET request;
};

int running_under_wine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Opens a synchronous session with no bypass list. proxy_name is ignored for
// WINHTTP_ACCESS_TYPE_NO_PROXY.
HINTERNET winhttp_open_session(const wchar_t* user_agent, DWORD access_type,
                               const wchar_t* proxy_name) {
  if (access_type != WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
    return WinHttpOpen(user_agent, access_type, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  }
  // Wine 8's WinHTTP does not parse a scheme in a named proxy: it takes "http"
  // for the host name and fails with 12007. Windows accepts both forms, so the
  // name keeps its scheme there and loses it only under Wine.
  if (running_under_wine()) proxy_name = proxy_name_skip_scheme(proxy_name);
  return WinHttpOpen(user_agent, access_type, proxy_name, WINHTTP_NO_PROXY_BYPASS, 0);
}

// Widens an ASCII host name into out (capacity wide characters, NUL included).
void widen_host(const char* host, wchar_t* out, size_t capacity) {
  size_t i = 0;
  for (; host[i] != '\0' && i + 1 < capacity; ++i) {
    out[i] = static_cast<wchar_t>(static_cast<unsigned char>(host[i]));
  }
  out[i] = L'\0';
}

// Opens the three handles, sends "verb /" over HTTPS to host:443, receives the
// response and reads its status into *status. Returns 1 on success. Whatever
// the result, the handles opened are left in handles for winhttp_close_all.
int winhttp_exchange(const wchar_t* user_agent, DWORD access_type, const wchar_t* proxy_name,
                     const char* host, const wchar_t* verb, WinHttpHandles* handles,
                     DWORD* status) {
  handles->session = winhttp_open_session(user_agent, access_type, proxy_name);
  if (handles->session == nullptr) return 0;
  // The result is not examined: without them the platform's time-outs apply.
  WinHttpSetTimeouts(handles->session, 10000, 10000, 15000, 15000);

  wchar_t wide_host[256];
  widen_host(host, wide_host, sizeof(wide_host) / sizeof(wide_host[0]));
  handles->connection = WinHttpConnect(handles->session, wide_host, kHttpsPort, 0);
  if (handles->connection == nullptr) return 0;
  handles->request = WinHttpOpenRequest(handles->connection, verb, L"/", nullptr,
                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        WINHTTP_FLAG_SECURE);
  if (handles->request == nullptr) return 0;

  if (!WinHttpSendRequest(handles->request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    return 0;
  }
  if (!WinHttpReceiveResponse(handles->request, nullptr)) return 0;
  *status = 0;
  DWORD size = sizeof(*status);
  return WinHttpQueryHeaders(handles->request,
                             WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, status, &size, WINHTTP_NO_HEADER_INDEX)
             ? 1
             : 0;
}

// Closes the handles that were opened, the last opened first.
void winhttp_close_all(WinHttpHandles* handles) {
  if (handles->request != nullptr) WinHttpCloseHandle(handles->request);
  if (handles->connection != nullptr) WinHttpCloseHandle(handles->connection);
  if (handles->session != nullptr) WinHttpCloseHandle(handles->session);
}

// Reads at most kAddressReadLimit body bytes straight into out and checks them.
// Returns 1 when out holds an address text.
int read_address_body(HINTERNET request, char* out) {
  size_t received = 0;
  for (;;) {
    DWORD asked = static_cast<DWORD>(address_text_next_read(received));
    if (asked == 0) break;  // the rest of a longer body stays unread
    DWORD delivered = 0;
    // Bytes read before a failed call do not count: the body is incomplete.
    if (!WinHttpReadData(request, out + received, asked, &delivered)) return 0;
    if (delivered == 0) break;
    received += delivered;
  }
  if (received == 0) return 0;
  return address_text_from_body(out, received, out);
}

}  // namespace

int probe_https_through_proxy(uint16_t http_port, uint32_t* status_code) {
  DWORD status = 0;
  wchar_t proxy_name[kProxyNameCapacity];
  proxy_name_format(proxy_name, 1, http_port);
  WinHttpHandles handles = {nullptr, nullptr, nullptr};
  int exchanged = winhttp_exchange(kProbeUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy_name,
                                   app_host, L"HEAD", &handles, &status);
  const DWORD error = exchanged ? 0 : GetLastError();
  int passed = exchanged && status >= 100 && status <= 599;
  winhttp_close_all(&handles);
  if (exchanged) {
    run_log_printf("HTTPS probe: HEAD https://%s/ through the local proxy: HTTP %lu", app_host,
                   static_cast<unsigned long>(status));
  } else {
    run_log_printf("HTTPS probe: HEAD https://%s/ through the local proxy: Windows error %lu",
                   app_host, static_cast<unsigned long>(error));
  }
  *status_code = status;
  return passed;
}

int query_public_address(int32_t via_proxy, uint16_t http_port, char* out) {
  if (out == nullptr) return 0;
  out[0] = '\0';
  wchar_t proxy_name[kProxyNameCapacity];
  proxy_name_format(proxy_name, 0, http_port);
  DWORD access_type = via_proxy ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY;
  DWORD status = 0;
  WinHttpHandles handles = {nullptr, nullptr, nullptr};
  int exchanged = winhttp_exchange(kQueryUserAgent, access_type, proxy_name, address_service_host,
                                   L"GET", &handles, &status);
  const DWORD error = exchanged ? 0 : GetLastError();
  int ok = exchanged && status == 200 && read_address_body(handles.request, out);
  winhttp_close_all(&handles);
  if (!ok) out[0] = '\0';
  const char* route = via_proxy ? "through the local proxy" : "direct";
  if (exchanged) {
    run_log_printf("Public address query %s to %s: HTTP %lu, address %s", route,
                   address_service_host, static_cast<unsigned long>(status),
                   ok ? out : "not obtained");
  } else {
    run_log_printf("Public address query %s to %s: Windows error %lu", route, address_service_host,
                   static_cast<unsigned long>(error));
  }
  return ok;
}
