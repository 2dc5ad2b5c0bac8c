#include "settings/connection_store.h"

// wininet.h only: winhttp.h must not meet it in one translation unit.
#include <windows.h>
#include <wininet.h>

namespace {

void narrow_text(const wchar_t* text, char* out, size_t capacity) {
  size_t used = 0;
  for (; text != nullptr && *text != L'\0' && used + 1 < capacity; ++text) {
    out[used++] = *text < 0x80 ? static_cast<char>(*text) : '?';
  }
  out[used] = '\0';
}

// The option list that names connection (nullptr: the LAN) and its count
// options, as both the set and the query take it.
INTERNET_PER_CONN_OPTION_LISTW option_list(const wchar_t* connection,
                                           INTERNET_PER_CONN_OPTIONW* options, DWORD count) {
  INTERNET_PER_CONN_OPTION_LISTW list;
  list.dwSize = sizeof(list);
  list.pszConnection = const_cast<wchar_t*>(connection);
  list.dwOptionCount = count;
  list.dwOptionError = 0;
  list.pOptions = options;
  return list;
}

}  // namespace

int connection_store_set_proxy(const wchar_t* connection, const wchar_t* server,
                               const wchar_t* bypass) {
  INTERNET_PER_CONN_OPTIONW options[3];
  options[0].dwOption = INTERNET_PER_CONN_FLAGS;
  options[0].Value.dwValue = PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY;
  options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
  options[1].Value.pszValue = const_cast<wchar_t*>(server);
  options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
  options[2].Value.pszValue = const_cast<wchar_t*>(bypass);
  INTERNET_PER_CONN_OPTION_LISTW list = option_list(connection, options, 3);
  return InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof(list))
             ? 1
             : 0;
}

int connection_store_query(const wchar_t* connection, ConnectionView* view) {
  INTERNET_PER_CONN_OPTIONW options[3];
  options[0].dwOption = INTERNET_PER_CONN_FLAGS;
  options[0].Value.dwValue = 0;
  options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
  options[1].Value.pszValue = nullptr;
  options[2].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
  options[2].Value.pszValue = nullptr;
  INTERNET_PER_CONN_OPTION_LISTW list = option_list(connection, options, 3);
  DWORD size = sizeof(list);
  if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size)) {
    return 0;
  }
  view->flags = options[0].Value.dwValue;
  view->auto_detect = (view->flags & PROXY_TYPE_AUTO_DETECT) != 0;
  // A URL left behind the flags is no setup script in use.
  view->has_script_url = (view->flags & PROXY_TYPE_AUTO_PROXY_URL) != 0 &&
                         options[2].Value.pszValue != nullptr &&
                         options[2].Value.pszValue[0] != L'\0';
  narrow_text(options[1].Value.pszValue, view->proxy, sizeof(view->proxy));
  view->bypass[0] = '\0';
  // WinINet hands the strings over to the caller.
  if (options[1].Value.pszValue != nullptr) GlobalFree(options[1].Value.pszValue);
  if (options[2].Value.pszValue != nullptr) GlobalFree(options[2].Value.pszValue);
  return 1;
}

void connection_store_notify() {
  InternetSetOptionW(nullptr, INTERNET_OPTION_PROXY_SETTINGS_CHANGED, nullptr, 0);
  InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
  InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
}

int proxy_settings_are_per_machine() {
  HKEY policies = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    L"Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                    KEY_QUERY_VALUE, &policies) != ERROR_SUCCESS) {
    return 0;
  }
  DWORD value = 1;
  DWORD size = sizeof(value);
  DWORD type = 0;
  LONG result = RegQueryValueExW(policies, L"ProxySettingsPerUser", nullptr, &type,
                                 reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(policies);
  return result == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value) && value == 0;
}
