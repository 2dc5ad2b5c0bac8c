// A response body of the public address service, checked as the address query
// checks it: into a separate buffer and in place.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "probes/address_text.h"

namespace {

// The text ends within the buffer, has at most 79 characters, and is either
// empty (refused) or at least 3 hex digits, colons and dots (accepted).
void check_address(const char* out, int accepted) {
  FUZZ_CHECK(accepted == 0 || accepted == 1);
  const char* end = static_cast<const char*>(memchr(out, '\0', kAddressTextCapacity));
  FUZZ_CHECK(end != nullptr);
  size_t length = static_cast<size_t>(end - out);
  FUZZ_CHECK(length <= kAddressReadLimit);
  if (!accepted) {
    FUZZ_CHECK(length == 0);
    return;
  }
  FUZZ_CHECK(length >= 3);
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(out[i]);
    FUZZ_CHECK(isxdigit(c) || c == ':' || c == '.');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FUZZ_CHECK(address_text_next_read(size) <= kAddressReadLimit);
  FUZZ_CHECK(address_text_next_read(size) + (size < kAddressReadLimit ? size : kAddressReadLimit) ==
             kAddressReadLimit);

  const char* body = reinterpret_cast<const char*>(data);
  char out[kAddressTextCapacity];
  memset(out, 0xAA, sizeof(out));
  int accepted = address_text_from_body(body, size, out);
  check_address(out, accepted);
  size_t length = strlen(out);

  // In place, as the query reads the body straight into its buffer.
  char in_place[kAddressTextCapacity];
  memset(in_place, 0xAA, sizeof(in_place));
  size_t copied = size < kAddressReadLimit ? size : kAddressReadLimit;
  memcpy(in_place, data, copied);
  int accepted_in_place = address_text_from_body(in_place, copied, in_place);
  check_address(in_place, accepted_in_place);
  FUZZ_CHECK(accepted_in_place == accepted);
  FUZZ_CHECK(strlen(in_place) == length && memcmp(in_place, out, length) == 0);
  return 0;
}
