#include "socks/socks_wire.h"

#include <cstring>

int socks_method_chosen(const unsigned char reply[2], int login_offered) {
  if (reply[0] != 0x05) return -1;
  if (reply[1] == kSocksMethodNone) return kSocksMethodNone;
  if (reply[1] == kSocksMethodLogin && login_offered) return kSocksMethodLogin;
  return -1;
}

size_t socks_build_login_request(const char* user, size_t user_length, const char* password,
                                 size_t password_length, unsigned char* out, size_t capacity) {
  if (user_length == 0 || user_length > kSocksTextMax) return 0;
  if (password_length == 0 || password_length > kSocksTextMax) return 0;
  size_t length = 3 + user_length + password_length;
  if (length > capacity) return 0;
  out[0] = 0x01;  // sub-negotiation version
  out[1] = static_cast<unsigned char>(user_length);
  memcpy(out + 2, user, user_length);
  out[2 + user_length] = static_cast<unsigned char>(password_length);
  memcpy(out + 3 + user_length, password, password_length);
  return length;
}

int socks_login_accepted(const unsigned char reply[2]) {
  return reply[0] == 0x01 && reply[1] == 0x00;
}

void socks_wipe(void* data, size_t length) {
  // Writes through a volatile pointer are not dropped as dead stores.
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
  for (size_t i = 0; i < length; ++i) bytes[i] = 0;
}

size_t socks_build_connect_request(const char* host, size_t host_length, uint16_t port,
                                   unsigned char* out, size_t capacity) {
  if (host_length == 0 || host_length > kSocksTextMax) return 0;
  size_t length = 7 + host_length;
  if (length > capacity) return 0;
  out[0] = 0x05;  // version
  out[1] = 0x01;  // CONNECT
  out[2] = 0x00;  // reserved
  out[3] = 0x03;  // domain name, also for address literals: the server reads them
  out[4] = static_cast<unsigned char>(host_length);
  memcpy(out + 5, host, host_length);
  out[5 + host_length] = static_cast<unsigned char>(port >> 8);
  out[6 + host_length] = static_cast<unsigned char>(port & 0xFF);
  return length;
}

int socks_reply_remaining(const unsigned char header[4]) {
  if (header[0] != 0x05 || header[1] != 0x00) return 0;
  switch (header[3]) {
    case 0x01:
      return 6;
    case 0x04:
      return 18;
    case 0x03:
      return -1;
    default:
      return 0;
  }
}
