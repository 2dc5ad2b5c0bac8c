// The WinINet and WinHTTP side of the per-connection proxy store: setting and
// reading one connection's options through WinINet, the change
// notifications, WinHTTP's view of the user's proxy, the VPN and dial-up
// entries, and the machine policy that makes proxy settings per machine.
// WinINet and WinHTTP each live in a file of their own
// (connection_store_win32.cpp, winhttp_view_win32.cpp): their headers cannot
// meet in one translation unit.
#pragma once

#include <cstddef>

// The longest bypass list that the launcher writes, with its NUL.
constexpr size_t kConnectionBypassCapacity = 2048;

// What a reader reports for one connection. proxy and bypass are 8-bit
// (characters outside ASCII become '?'), cut to their capacity.
struct ConnectionView {
  unsigned long flags;  // kConnectionFlag* of connection_settings.h
  int auto_detect;      // 1 when automatic detection is on
  int has_script_url;   // 1 when a setup-script URL is set
  char proxy[256];
  char bypass[kConnectionBypassCapacity];  // WinHTTP's view only; empty otherwise
};

// Sets one connection's options through InternetSetOptionW with
// INTERNET_OPTION_PER_CONNECTION_OPTION: flags direct and proxy (automatic
// detection and the setup script off), the proxy server and the bypass list.
// connection is a VPN or dial-up entry's name, or nullptr for the LAN. Returns
// 1 when WinINet accepted it.
int connection_store_set_proxy(const wchar_t* connection, const wchar_t* server,
                               const wchar_t* bypass);

// Reads one connection's options (nullptr: the LAN) through
// InternetQueryOptionW. Returns 1 with *view filled, 0 when the query failed.
int connection_store_query(const wchar_t* connection, ConnectionView* view);

// Tells WinINet and the programs that use it that the proxy settings changed:
// INTERNET_OPTION_PROXY_SETTINGS_CHANGED (95), INTERNET_OPTION_SETTINGS_CHANGED
// (39), then INTERNET_OPTION_REFRESH (37).
void connection_store_notify();

// Reads the user's proxy as WinHTTP reports it to programs
// (WinHttpGetIEProxyConfigForCurrentUser); flags stays 0. Returns 1 with
// *view filled, 0 when the call failed.
int winhttp_view_query(ConnectionView* view);

// Returns 1 when a machine policy makes the proxy settings per machine
// (ProxySettingsPerUser = 0 under HKLM's Internet Settings policies): then
// the current user's settings are not the ones programs use.
int proxy_settings_are_per_machine();

// The VPN and dial-up entries of all phone books, by name.
constexpr size_t kRasEntryNameCapacity = 257;
constexpr int kRasEntryCapacity = 64;
struct RasEntryList {
  int count;
  wchar_t names[kRasEntryCapacity][kRasEntryNameCapacity];
};

// Lists the entries (RasEnumEntriesW; the test build links a stand-in that
// lists two). Returns 1 with list filled (count may be 0), 0 when they could
// not be listed whole.
int ras_list_entries(RasEntryList* list);
