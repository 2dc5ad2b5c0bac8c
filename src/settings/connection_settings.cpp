#include "settings/connection_settings.h"

#include <cstdio>
#include <cstring>

#include "proxy/proxy_context.h"

namespace {

void put_u32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t get_u32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// Appends one length-prefixed text at *used. Returns 0 when it does not fit.
int put_text(uint8_t* buffer, size_t capacity, size_t* used, const char* text, uint32_t length) {
  if (capacity - *used < 4 || capacity - *used - 4 < length) return 0;
  put_u32(buffer + *used, length);
  if (length > 0) memcpy(buffer + *used + 4, text, length);
  *used += 4 + static_cast<size_t>(length);
  return 1;
}

// Reads one length-prefixed text at *offset. Returns 0 when it runs past length.
int get_text(const uint8_t* data, size_t length, size_t* offset, const char** text,
             uint32_t* text_length) {
  if (length - *offset < 4) return 0;
  uint32_t count = get_u32(data + *offset);
  if (length - *offset - 4 < count) return 0;
  *text = reinterpret_cast<const char*>(data + *offset + 4);
  *text_length = count;
  *offset += 4 + static_cast<size_t>(count);
  return 1;
}

int text_equals(const char* text, size_t length, const char* expected) {
  return strlen(expected) == length && memcmp(text, expected, length) == 0;
}

}  // namespace

size_t connection_settings_encode(const ConnectionSettings* settings, uint8_t* buffer,
                                  size_t capacity) {
  if (capacity < 12) return 0;
  put_u32(buffer, settings->version);
  put_u32(buffer + 4, settings->counter);
  put_u32(buffer + 8, settings->flags);
  size_t used = 12;
  if (!put_text(buffer, capacity, &used, settings->proxy, settings->proxy_length) ||
      !put_text(buffer, capacity, &used, settings->bypass, settings->bypass_length) ||
      !put_text(buffer, capacity, &used, settings->script_url, settings->script_url_length) ||
      capacity - used < kConnectionSettingsTrailerBytes) {
    return 0;
  }
  memset(buffer + used, 0, kConnectionSettingsTrailerBytes);
  return used + kConnectionSettingsTrailerBytes;
}

int connection_settings_decode(const uint8_t* data, size_t length, ConnectionSettings* settings) {
  if (length < 12) return 0;
  settings->version = get_u32(data);
  settings->counter = get_u32(data + 4);
  settings->flags = get_u32(data + 8);
  size_t offset = 12;
  return get_text(data, length, &offset, &settings->proxy, &settings->proxy_length) &&
         get_text(data, length, &offset, &settings->bypass, &settings->bypass_length) &&
         get_text(data, length, &offset, &settings->script_url, &settings->script_url_length);
}

int connection_proxy_is_local(const char* text, size_t length, uint16_t port) {
  char bare[32];
  char listed[96];
  unsigned value = port;
  snprintf(bare, sizeof(bare), LUMARET_LOOPBACK_ADDRESS ":%u", value);
  snprintf(listed, sizeof(listed),
           "http=" LUMARET_LOOPBACK_ADDRESS ":%u;https=" LUMARET_LOOPBACK_ADDRESS ":%u", value,
           value);
  return text_equals(text, length, bare) || text_equals(text, length, listed);
}

int connection_settings_switch_to_direct(uint8_t* data, size_t length) {
  ConnectionSettings settings;
  if (!connection_settings_decode(data, length, &settings) ||
      (settings.flags & kConnectionFlagProxy) == 0) {
    return 0;
  }
  // The port is the digits after the text's last colon; only a text that is
  // exactly the loopback proxy at that port is the launcher's.
  uint32_t colon = settings.proxy_length;
  while (colon > 0 && settings.proxy[colon - 1] != ':') --colon;
  uint32_t port = 0;
  uint32_t digits = 0;
  for (uint32_t i = colon; i < settings.proxy_length && digits < 6; ++i, ++digits) {
    const char c = settings.proxy[i];
    if (c < '0' || c > '9') return 0;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (colon == 0 || digits == 0 || port > 65535 ||
      !connection_proxy_is_local(settings.proxy, settings.proxy_length,
                                 static_cast<uint16_t>(port))) {
    return 0;
  }
  put_u32(data + 4, settings.counter + 1);
  put_u32(data + 8, kConnectionFlagDirect);
  return 1;
}
