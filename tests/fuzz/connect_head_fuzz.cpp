// The bytes a client sends to the local proxy, read like the tunnel reads its
// request head, then split like its CONNECT target.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "fuzz_check.h"
#include "proxy/connect_head.h"

namespace {

// A parsed host ends within its 256 bytes and is not empty; the port is 1 to 65535.
void check_target(const ConnectTarget& target) {
  FUZZ_CHECK(memchr(target.host, '\0', sizeof(target.host)) != nullptr);
  FUZZ_CHECK(target.host[0] != '\0');
  FUZZ_CHECK(target.port >= 1);
  FUZZ_CHECK(connect_host_is_app_traffic(target.host) <= 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The tunnel's head buffer: at most kHeadCapacity bytes and a NUL behind them.
  static char head[kHeadCapacity + 1];
  size_t length = size < kHeadCapacity ? size : kHeadCapacity;
  memcpy(head, data, length);
  head[length] = '\0';

  size_t end = connect_head_end(head);
  if (end != 0) {
    FUZZ_CHECK(end >= 4 && end <= strlen(head));
    FUZZ_CHECK(memcmp(head + end - 4, "\r\n\r\n", 4) == 0);
  }
  // The tunnel's search, resumed after each receive, agrees with the whole
  // search; the input's bytes choose the sizes of the receives (1 to 8 bytes).
  size_t searched = 0;
  size_t received = 0;
  size_t resumed_end = 0;
  while (resumed_end == 0 && received < length) {
    received += 1 + static_cast<unsigned char>(head[received]) % 8;
    if (received > length) received = length;
    resumed_end = connect_head_end_next(head, received, &searched);
  }
  FUZZ_CHECK(resumed_end == end);
  ConnectTarget target;
  memset(&target, 0xAA, sizeof(target));
  int accepted = connect_head_parse(head, &target);
  FUZZ_CHECK(accepted == 0 || accepted == 1);
  if (accepted) check_target(target);
  // The request line's words are read as sscanf("%15s %511s %31s") reads them.
  char method[16];
  char words[512];
  char version[32];
  ConnectTarget expected;
  memset(&expected, 0xAA, sizeof(expected));
  int expected_accepted = sscanf(head, "%15s %511s %31s", method, words, version) == 3 &&
                          strcasecmp(method, "CONNECT") == 0 &&
                          connect_target_split(words, &expected);
  FUZZ_CHECK(accepted == expected_accepted);
  if (accepted) {
    FUZZ_CHECK(strcmp(target.host, expected.host) == 0 && target.port == expected.port);
  }

  // A target token is at most 511 bytes.
  char text[512];
  length = size < sizeof(text) - 1 ? size : sizeof(text) - 1;
  memcpy(text, data, length);
  text[length] = '\0';
  memset(&target, 0xAA, sizeof(target));
  accepted = connect_target_split(text, &target);
  FUZZ_CHECK(accepted == 0 || accepted == 1);
  if (accepted) check_target(target);
  return 0;
}
