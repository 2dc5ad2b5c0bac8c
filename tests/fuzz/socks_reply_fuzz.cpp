// The input is everything a SOCKS5 server answers, delivered through a socket
// pair and followed by its end of stream. socks5_connect (and, with a user
// name, socks5_connect_login) must agree with a reference reading of the same
// bytes: the same result, the same greeting, login and request sent, the same
// verdict on the login, and not one byte consumed beyond the reply.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "socks/socks_client.h"
#include "socks/socks_wire.h"

namespace {

// More than any reply (2 + 2 + 4 + 1 + 255 + 2 bytes), and well within the socket buffer.
constexpr size_t kMaxAnswer = 1024;

// What the client should do with the answer: its result, how many answer bytes
// it consumes, whether it gets as far as sending the login and the CONNECT
// request, and whether it reports the login as rejected.
struct Expected {
  int result;
  size_t consumed;
  int sends_login;
  int sends_request;
  int rejected;
};

// A host, and with a user (length above 0) the user and password, of 1 to 255
// bytes: otherwise nothing at all is sent.
int lengths_valid(size_t host_length, size_t user_length, size_t password_length) {
  if (host_length == 0 || host_length > 255) return 0;
  if (user_length == 0) return 1;
  return user_length <= 255 && password_length >= 1 && password_length <= 255;
}

Expected reference_exchange(const uint8_t* answer, size_t size, size_t host_length,
                            size_t user_length, size_t password_length) {
  Expected expected = {0, 0, 0, 0, 0};
  if (!lengths_valid(host_length, user_length, password_length)) return expected;
  int login_offered = user_length > 0;
  // Each step needs its bytes; a short answer is consumed whole and fails.
  if (size < 2) return {0, size, 0, 0, 0};
  if (answer[0] != 0x05) return {0, 2, 0, 0, 0};
  size_t at = 2;
  if (answer[1] == 0x02 && login_offered) {
    expected.sends_login = 1;
    if (size < 4) return {0, size, 1, 0, 0};
    if (answer[2] != 0x01 || answer[3] != 0x00) return {0, 4, 1, 0, 1};
    at = 4;
  } else if (answer[1] != 0x00) {
    return {0, 2, 0, 0, 0};
  }
  int login = expected.sends_login;
  if (size < at + 4) return {0, size, login, 1, 0};
  if (answer[at] != 0x05 || answer[at + 1] != 0x00) return {0, at + 4, login, 1, 0};
  size_t need;
  switch (answer[at + 3]) {
    case 0x01:
      need = at + 4 + 6;
      break;
    case 0x04:
      need = at + 4 + 18;
      break;
    case 0x03:
      if (size < at + 5) return {0, size, login, 1, 0};
      need = at + 5 + answer[at + 4] + 2;
      break;
    default:
      return {0, at + 4, login, 1, 0};
  }
  if (size < need) return {0, size, login, 1, 0};
  return {1, need, login, 1, 0};
}

// Runs the client against the answer and compares it with the reference. A
// null user means socks5_connect itself.
void check_exchange(const uint8_t* answer, size_t size, const char* host, uint16_t port,
                    const char* user, const char* password) {
  int pair[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
  NetSocket client = static_cast<NetSocket>(pair[0]);
  // The whole answer waits in the socket before the client starts, then the
  // server's end of stream: every read ends, none blocks.
  FUZZ_CHECK(size == 0 || write(pair[1], answer, size) == static_cast<ssize_t>(size));
  FUZZ_CHECK(shutdown(pair[1], SHUT_WR) == 0);

  int rejected = -1;
  int result = user == nullptr
                   ? socks5_connect(client, host, port)
                   : socks5_connect_login(client, host, port, user, password, &rejected);
  FUZZ_CHECK(result == 0 || result == 1);

  size_t host_length = strlen(host);
  size_t user_length = user == nullptr ? 0 : strlen(user);
  size_t password_length = password == nullptr ? 0 : strlen(password);
  Expected expected = reference_exchange(answer, size, host_length, user_length, password_length);
  FUZZ_CHECK(result == expected.result);
  FUZZ_CHECK(user == nullptr || rejected == expected.rejected);

  // The answer bytes left unread are exactly those behind what was consumed.
  FUZZ_CHECK(shutdown(pair[0], SHUT_WR) == 0);
  uint8_t rest[kMaxAnswer];
  size_t left = 0;
  for (ssize_t n; (n = read(pair[0], rest + left, sizeof(rest) - left)) > 0;) left += n;
  FUZZ_CHECK(left == size - expected.consumed);
  FUZZ_CHECK(left == 0 || memcmp(rest, answer + expected.consumed, left) == 0);

  // What the server got: the greeting unless a length was refused, then the
  // login and the request as far as the exchange went.
  uint8_t sent[4 + kSocksLoginRequestMax + kSocksRequestMax + 1];
  size_t received = 0;
  for (ssize_t n; (n = read(pair[1], sent + received, sizeof(sent) - received)) > 0;) received += n;
  const unsigned char* greeting = user_length > 0 ? kSocksGreetingWithLogin : kSocksGreeting;
  size_t greeting_length = !lengths_valid(host_length, user_length, password_length) ? 0
                           : user_length > 0                                         ? 4
                                                                                     : 3;
  uint8_t login[kSocksLoginRequestMax];
  size_t login_length = 0;
  if (expected.sends_login) {
    login_length = socks_build_login_request(user, user_length, password, password_length, login,
                                             sizeof(login));
    FUZZ_CHECK(login_length == 3 + user_length + password_length);
  }
  uint8_t request[kSocksRequestMax];
  size_t request_length = 0;
  if (expected.sends_request) {
    request_length = socks_build_connect_request(host, host_length, port, request, sizeof(request));
    FUZZ_CHECK(request_length == 7 + host_length);
  }
  FUZZ_CHECK(received == greeting_length + login_length + request_length);
  FUZZ_CHECK(greeting_length == 0 || memcmp(sent, greeting, greeting_length) == 0);
  FUZZ_CHECK(login_length == 0 || memcmp(sent + greeting_length, login, login_length) == 0);
  FUZZ_CHECK(request_length == 0 ||
             memcmp(sent + greeting_length + login_length, request, request_length) == 0);

  close(pair[1]);
  close(pair[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxAnswer) size = kMaxAnswer;
  check_exchange(data, size, "app.lumaret.com", 443, nullptr, nullptr);

  // The first two bytes give a host length of 0 to 257 and the port; the
  // rest is the answer.
  if (size < 2) return 0;
  size_t host_length = ((size_t{data[0]} << 8) | data[1]) % 258;
  char host[258];
  memset(host, 'h', host_length);
  host[host_length] = '\0';
  uint16_t port = static_cast<uint16_t>((data[0] << 8) | data[1]);
  check_exchange(data + 2, size - 2, host, port, nullptr, nullptr);

  // With a login: the same two bytes give a user of 0 to 255 bytes (0: none
  // offered) and a password of 0 to 256 (0 and 256 are refused).
  char user[256];
  char password[257];
  size_t user_length = data[0];
  size_t password_length = data[1] % 257;
  memset(user, 'u', user_length);
  user[user_length] = '\0';
  memset(password, 'p', password_length);
  password[password_length] = '\0';
  check_exchange(data + 2, size - 2, "app.lumaret.com", 443, user, password);
  return 0;
}
