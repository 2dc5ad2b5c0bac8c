#include "probes/address_text.h"

#include <cctype>
#include <cstring>

size_t address_text_next_read(size_t received) {
  return received < kAddressReadLimit ? kAddressReadLimit - received : 0;
}

namespace {

int address_char_allowed(unsigned char c) { return isxdigit(c) || c == ':' || c == '.'; }

}  // namespace

int address_text_from_body(const char* body, size_t length, char* out) {
  if (length > kAddressReadLimit) length = kAddressReadLimit;
  // memmove: the address query reads the body straight into out.
  memmove(out, body, length);
  while (length > 0 && isspace(static_cast<unsigned char>(out[length - 1]))) --length;
  out[length] = '\0';
  int accepted = length >= 3;
  for (size_t i = 0; accepted && i < length; ++i) {
    accepted = address_char_allowed(static_cast<unsigned char>(out[i]));
  }
  if (!accepted) out[0] = '\0';
  return accepted;
}
