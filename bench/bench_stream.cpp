#include "bench_stream.h"

#include <cstring>

namespace {

// splitmix64's output function: a cheap, well-spread 64-bit mix.
uint64_t mix(uint64_t value) {
  value += 0x9E3779B97F4A7C15ULL;
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
  return value ^ (value >> 31);
}

uint64_t period_key(const StreamPattern* pattern, uint64_t period) {
  return mix(pattern->seed ^ (period * 0xD6E8FEB86659FD93ULL) ^ 0x5BD1E995ULL);
}

}  // namespace

void stream_pattern_init(StreamPattern* pattern, uint64_t seed) {
  pattern->seed = seed;
  for (size_t i = 0; i < kStreamPatternWords; ++i)
    pattern->words[i] = mix(seed + i * 0x9E3779B97F4A7C15ULL);
}

void stream_fill(const StreamPattern* pattern, uint64_t offset, void* out, size_t length) {
  unsigned char* bytes = static_cast<unsigned char*>(out);
  uint64_t word = offset / 8;
  size_t skip = static_cast<size_t>(offset % 8);
  uint64_t period = word / kStreamPatternWords;
  size_t slot = static_cast<size_t>(word % kStreamPatternWords);
  uint64_t key = period_key(pattern, period);
  while (length > 0) {
    uint64_t value = pattern->words[slot] ^ key;
    if (skip == 0 && length >= 8) {
      memcpy(bytes, &value, 8);
      bytes += 8;
      length -= 8;
    } else {
      size_t take = 8 - skip < length ? 8 - skip : length;
      memcpy(bytes, reinterpret_cast<unsigned char*>(&value) + skip, take);
      bytes += take;
      length -= take;
      skip = 0;
    }
    if (++slot == kStreamPatternWords) {
      slot = 0;
      key = period_key(pattern, ++period);
    }
  }
}

size_t stream_check(const StreamPattern* pattern, uint64_t offset, const void* data,
                    size_t length) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  unsigned char expected[8192];
  size_t done = 0;
  while (done < length) {
    size_t take = length - done < sizeof(expected) ? length - done : sizeof(expected);
    stream_fill(pattern, offset + done, expected, take);
    if (memcmp(expected, bytes + done, take) != 0) {
      for (size_t i = 0; i < take; ++i) {
        if (expected[i] != bytes[done + i]) return done + i;
      }
    }
    done += take;
  }
  return length;
}
