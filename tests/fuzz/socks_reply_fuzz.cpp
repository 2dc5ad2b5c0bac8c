// The input is everything a SOCKS5 server answers, delivered through a socket
// pair and followed by its end of stream. socks5_connect must agree with a
// reference reading of the same bytes: the same result, the same requests
// sent, and not one byte consumed beyond the reply.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "socks/socks_client.h"
#include "socks/socks_wire.h"

namespace {

// More than any reply (2 + 4 + 1 + 255 + 2 bytes), and well within the socket buffer.
constexpr size_t kMaxAnswer = 1024;

// What the client should do with the answer: its result, how many answer bytes
// it consumes, and whether it gets as far as sending the CONNECT request.
struct Expected {
  int result;
  size_t consumed;
  int sends_request;
};

Expected reference_exchange(const uint8_t* answer, size_t size, size_t host_length) {
  Expected expected = {0, 0, 0};
  if (host_length == 0 || host_length > 255) return expected;
  // Each step needs its bytes; a short answer is consumed whole and fails.
  if (size < 2) return {0, size, 0};
  if (answer[0] != 0x05 || answer[1] != 0x00) return {0, 2, 0};
  if (size < 6) return {0, size, 1};
  if (answer[2] != 0x05 || answer[3] != 0x00) return {0, 6, 1};
  size_t need;
  switch (answer[5]) {
    case 0x01: need = 6 + 6; break;
    case 0x04: need = 6 + 18; break;
    case 0x03:
      if (size < 7) return {0, size, 1};
      need = 7 + answer[6] + 2;
      break;
    default: return {0, 6, 1};
  }
  if (size < need) return {0, size, 1};
  return {1, need, 1};
}

// Runs socks5_connect against the answer and compares it with the reference.
void check_exchange(const uint8_t* answer, size_t size, const char* host, uint16_t port) {
  int pair[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
  NetSocket client = static_cast<NetSocket>(pair[0]);
  // The whole answer waits in the socket before the client starts, then the
  // server's end of stream: every read ends, none blocks.
  FUZZ_CHECK(size == 0 || write(pair[1], answer, size) == static_cast<ssize_t>(size));
  FUZZ_CHECK(shutdown(pair[1], SHUT_WR) == 0);

  int result = socks5_connect(client, host, port);
  FUZZ_CHECK(result == 0 || result == 1);

  size_t host_length = strlen(host);
  Expected expected = reference_exchange(answer, size, host_length);
  FUZZ_CHECK(result == expected.result);

  // The answer bytes left unread are exactly those behind what was consumed.
  FUZZ_CHECK(shutdown(pair[0], SHUT_WR) == 0);
  uint8_t rest[kMaxAnswer];
  size_t left = 0;
  for (ssize_t n; (n = read(pair[0], rest + left, sizeof(rest) - left)) > 0;) left += n;
  FUZZ_CHECK(left == size - expected.consumed);
  FUZZ_CHECK(left == 0 || memcmp(rest, answer + expected.consumed, left) == 0);

  // What the server got: the greeting unless the host was refused, then the request.
  uint8_t sent[3 + kSocksRequestMax + 1];
  size_t received = 0;
  for (ssize_t n; (n = read(pair[1], sent + received, sizeof(sent) - received)) > 0;) received += n;
  uint8_t request[kSocksRequestMax];
  size_t request_length = 0;
  if (expected.sends_request) {
    request_length = socks_build_connect_request(host, host_length, port, request, sizeof(request));
    FUZZ_CHECK(request_length == 7 + host_length);
  }
  size_t greeting_length = host_length == 0 || host_length > 255 ? 0 : sizeof(kSocksGreeting);
  FUZZ_CHECK(received == greeting_length + request_length);
  FUZZ_CHECK(greeting_length == 0 || memcmp(sent, kSocksGreeting, greeting_length) == 0);
  FUZZ_CHECK(request_length == 0 || memcmp(sent + greeting_length, request, request_length) == 0);

  close(pair[1]);
  close(pair[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxAnswer) size = kMaxAnswer;
  check_exchange(data, size, "app.lumaret.com", 443);

  // The first two bytes give a host length of 0 to 257 and the port; the
  // rest is the answer.
  if (size < 2) return 0;
  size_t host_length = ((size_t{data[0]} << 8) | data[1]) % 258;
  char host[258];
  memset(host, 'h', host_length);
  host[host_length] = '\0';
  uint16_t port = static_cast<uint16_t>((data[0] << 8) | data[1]);
  check_exchange(data + 2, size - 2, host, port);
  return 0;
}
