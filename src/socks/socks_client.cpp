#include "socks/socks_client.h"

#include <cstring>

#include "socks/socks_wire.h"

namespace {

// Sends the user name and password and reads the server's verdict. Returns 1
// when the login succeeded; *rejected is 1 when the verdict came and was not
// success.
int socks5_log_in(NetSocket socket, const char* user, size_t user_length, const char* password,
                  size_t password_length, int* rejected) {
  unsigned char request[kSocksLoginRequestMax];
  size_t request_length = socks_build_login_request(user, user_length, password, password_length,
                                                    request, sizeof(request));
  int sent = request_length != 0 && net_send_all(socket, request, request_length);
  socks_wipe(request, sizeof(request));
  if (!sent) return 0;
  unsigned char verdict[2];
  if (!net_recv_exact(socket, verdict, sizeof(verdict))) return 0;
  if (socks_login_accepted(verdict)) return 1;
  *rejected = 1;
  return 0;
}

}  // namespace

NetSocket open_upstream_connection(const char* host, const char* port) {
  return net_connect_first(host, port);
}

int socks5_connect(NetSocket socket, const char* host, uint16_t port) {
  return socks5_connect_login(socket, host, port, nullptr, nullptr, nullptr);
}

int socks5_connect_login(NetSocket socket, const char* host, uint16_t port, const char* user,
                         const char* password, int* login_rejected) {
  SocksOutcome outcome;
  return socks5_connect_report(socket, host, port, user, password, login_rejected, &outcome);
}

int socks5_connect_report(NetSocket socket, const char* host, uint16_t port, const char* user,
                          const char* password, int* login_rejected, SocksOutcome* outcome) {
  outcome->method = -1;
  outcome->reply = -1;
  outcome->none_acceptable = 0;
  outcome->failure = "target or login of an invalid length";
  int rejected_here = 0;
  int* rejected = login_rejected != nullptr ? login_rejected : &rejected_here;
  *rejected = 0;

  size_t host_length = strlen(host);
  if (host_length == 0 || host_length > kSocksTextMax) return 0;
  int login_offered = user != nullptr && user[0] != '\0';
  size_t user_length = 0;
  size_t password_length = 0;
  if (login_offered) {
    // Lengths are checked before any byte is sent; the limit is one past the
    // largest valid length, so an unterminated text is not read beyond it.
    user_length = strnlen(user, kSocksTextMax + 1);
    password_length = password != nullptr ? strnlen(password, kSocksTextMax + 1) : 0;
    if (user_length > kSocksTextMax || password_length == 0 || password_length > kSocksTextMax) {
      return 0;
    }
  }

  outcome->failure = "the greeting was not sent or not answered";
  if (login_offered) {
    if (!net_send_all(socket, kSocksGreetingWithLogin, sizeof(kSocksGreetingWithLogin))) return 0;
  } else {
    if (!net_send_all(socket, kSocksGreeting, sizeof(kSocksGreeting))) return 0;
  }
  unsigned char method[2];
  if (!net_recv_exact(socket, method, sizeof(method))) return 0;
  int chosen = socks_method_chosen(method, login_offered);
  outcome->none_acceptable = method[0] == 0x05 && method[1] == 0xFF;
  outcome->failure = "the server chose no method that was offered";
  if (chosen < 0) return 0;
  outcome->method = chosen;
  outcome->failure = "the login was refused or not answered";
  if (chosen == kSocksMethodLogin &&
      !socks5_log_in(socket, user, user_length, password, password_length, rejected)) {
    return 0;
  }

  outcome->failure = "the request was not sent or not answered";
  unsigned char request[kSocksRequestMax];
  size_t request_length =
      socks_build_connect_request(host, host_length, port, request, sizeof(request));
  if (request_length == 0) return 0;
  if (!net_send_all(socket, request, request_length)) return 0;

  unsigned char header[4];
  if (!net_recv_exact(socket, header, sizeof(header))) return 0;
  outcome->reply = header[1];
  outcome->failure = "the CONNECT was refused or its reply malformed";
  int remaining = socks_reply_remaining(header);
  if (remaining == 0) return 0;
  outcome->failure = "the reply's bound address did not arrive";
  if (remaining < 0) {
    unsigned char name_length;
    if (!net_recv_exact(socket, &name_length, 1)) return 0;
    remaining = name_length + 2;
  }
  // The bound address is of no use to us; it is read away so that the next
  // byte in the socket is the target's first.
  unsigned char bound[kSocksTextMax + 2];
  if (!net_recv_exact(socket, bound, static_cast<size_t>(remaining))) return 0;
  outcome->failure = nullptr;
  return 1;
}

int probe_socks_alive(const char* host, const char* port) {
  NetSocket socket = open_upstream_connection(host, port);
  if (socket == kInvalidSocket) return 0;
  net_close(socket);
  return 1;
}
