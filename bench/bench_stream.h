// A deterministic pseudo-random byte stream for the benchmark. Both ends
// derive it from a seed, so the receiver checks every byte it gets without a
// copy of what was sent, at memory speed.
#pragma once

#include <cstddef>
#include <cstdint>

// Words in one period of the pattern. Prime, so that no read or write size
// lines up with it, and small enough (64 KiB) to stay in the cache.
constexpr size_t kStreamPatternWords = 8191;

// Word i of the stream is words[i % kStreamPatternWords] mixed with a key
// derived from `seed` and i / kStreamPatternWords, so no period repeats.
struct StreamPattern {
  uint64_t seed;
  uint64_t words[kStreamPatternWords];
};

// Fills pattern from seed.
void stream_pattern_init(StreamPattern* pattern, uint64_t seed);

// Writes the length bytes of the stream that begin at byte offset into out.
void stream_fill(const StreamPattern* pattern, uint64_t offset, void* out, size_t length);

// Compares the length bytes of data with the stream at byte offset. Returns
// length when all match, otherwise the index of the first byte that differs.
size_t stream_check(const StreamPattern* pattern, uint64_t offset, const void* data, size_t length);
