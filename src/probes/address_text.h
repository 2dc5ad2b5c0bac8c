// The public address check of the address query as pure functions over the
// bytes of a response body: how much to read next, and what text is accepted.
#pragma once

#include <cstddef>

// Size of an address buffer: at most 79 characters and a NUL.
constexpr size_t kAddressTextCapacity = 80;
// At most this many body bytes are read; the rest of a longer body is left unread.
constexpr size_t kAddressReadLimit = kAddressTextCapacity - 1;

// Returns how many bytes the next body read may ask for when received bytes
// have arrived so far: kAddressReadLimit - received, or 0 once the limit is
// reached (reading stops then).
size_t address_text_next_read(size_t received);

// Turns the first min(length, kAddressReadLimit) bytes of body into an address
// text in out (kAddressTextCapacity bytes; body may be out itself): trailing
// white space (isspace) is trimmed, leading white space is not. Returns 1 when
// at least 3 characters are left and each is a hex digit, ':' or '.', with out
// holding them NUL-terminated; returns 0 otherwise, with out[0] set to NUL.
int address_text_from_body(const char* body, size_t length, char* out);
