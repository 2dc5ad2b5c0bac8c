#include "socks/socks_wire.h"

#include <cstring>

int socks_method_accepted(const unsigned char reply[2]) {
  return reply[0] == 0x05 && reply[1] == 0x00;
}

size_t socks_build_connect_request(const char* host, size_t host_length, uint16_t port,
                                   unsigned char* out, size_t capacity) {
  if (host_length == 0 || host_length > 255) return 0;
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
