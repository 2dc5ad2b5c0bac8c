// The per-connection proxy store of the current user: the binary value that
// Windows keeps under Internet Settings\Connections for the LAN
// (DefaultConnectionSettings) and for each VPN or dial-up entry, and that
// WinHTTP's view of the user's proxy is read from. Pure encoding and
// decoding, so they are tested natively; the registry and WinINet calls are in
// connection_store_win32.cpp.
//
// Layout, all numbers 32-bit little-endian: the version 0x46, a change
// counter, the flags (kConnectionFlag*), then three strings each as its byte
// count and its 8-bit bytes without a terminator: the proxy, the bypass list
// and the setup-script URL; then further fields, which this encoder writes as
// zeros.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kConnectionSettingsVersion = 0x46;
constexpr uint32_t kConnectionFlagDirect = 0x1;
constexpr uint32_t kConnectionFlagProxy = 0x2;
constexpr uint32_t kConnectionFlagScriptUrl = 0x4;
constexpr uint32_t kConnectionFlagAutoDetect = 0x8;
// The zeroed fields after the three strings.
constexpr size_t kConnectionSettingsTrailerBytes = 32;

// One connection's settings; the texts point at 8-bit bytes owned by the
// caller (or, once decoded, into the decoded value).
struct ConnectionSettings {
  uint32_t version;
  uint32_t counter;
  uint32_t flags;
  const char* proxy;
  uint32_t proxy_length;
  const char* bypass;
  uint32_t bypass_length;
  const char* script_url;
  uint32_t script_url_length;
};

// Encodes settings into buffer. Returns the byte count of the value, or 0
// when it does not fit capacity (buffer's contents are then undefined).
size_t connection_settings_encode(const ConnectionSettings* settings, uint8_t* buffer,
                                  size_t capacity);

// Decodes the first length bytes of data into *settings, whose texts then
// point into data. Returns 1 when the header and the three strings lie within
// length (the fields after them may be missing), 0 otherwise.
int connection_settings_decode(const uint8_t* data, size_t length, ConnectionSettings* settings);

// Returns 1 when text (length bytes, no terminator needed) sends HTTPS to the
// loopback proxy at port and names no other proxy: the launcher's own
// "http=127.0.0.1:<port>;https=127.0.0.1:<port>", or the bare
// "127.0.0.1:<port>" that a reader may report in its place.
int connection_proxy_is_local(const char* text, size_t length, uint16_t port);

// Switches, in place, a store value whose proxy is the launcher's (the
// loopback proxy of connection_proxy_is_local, at any port) to a direct
// connection: flags become kConnectionFlagDirect alone, the change counter goes
// one up, the texts and every other byte stay. Returns 1 when data was
// changed; 0 for a value that does not decode, has no proxy switched on, or
// names another proxy (left as it is).
int connection_settings_switch_to_direct(uint8_t* data, size_t length);
