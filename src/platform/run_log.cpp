#include "platform/run_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

std::atomic<int> run_log_enabled{0};

namespace {

// The file's size when it was opened plus every line this process has claimed
// since: each writer claims its line's bytes first, so exactly one line of
// this process is the one that passes the limit.
std::atomic<uint64_t> run_log_offset{0};

void put_number(char* out, unsigned value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

// The byte count of the well-formed UTF-8 character at text (NUL-terminated),
// or 0 when its bytes are not one: a stray continuation byte, an overlong form,
// a surrogate or a code point past U+10FFFF.
size_t utf8_character_length(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t size = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (p[0] >= 0xC2 && p[0] <= 0xDF) {
    size = 2;
  } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
    size = 3;
    if (p[0] == 0xE0) low = 0xA0;
    if (p[0] == 0xED) high = 0x9F;
  } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
    size = 4;
    if (p[0] == 0xF0) low = 0x90;
    if (p[0] == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (p[1] < low || p[1] > high) return 0;
  // The NUL ends the text and is no continuation byte, so nothing is read past it.
  for (size_t i = 2; i < size; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return size;
}

// Whether the well-formed character of size bytes at p is one that a viewer
// takes for a line end or a change of writing direction, so that a text could
// forge a line or show its words in another order than they were written: the
// C1 controls U+0080 to U+009F (U+0085 ends a line, U+009B starts a terminal's
// escape), U+061C, U+200E, U+200F, U+2028, U+2029, U+202A to U+202E and U+2066
// to U+2069.
int ends_line_or_reorders(const unsigned char* p, size_t size) {
  if (size == 2) return (p[0] == 0xC2 && p[1] <= 0x9F) || (p[0] == 0xD8 && p[1] == 0x9C);
  if (size != 3 || p[0] != 0xE2) return 0;
  if (p[1] == 0x80) return p[2] == 0x8E || p[2] == 0x8F || (p[2] >= 0xA8 && p[2] <= 0xAE);
  return p[1] == 0x81 && p[2] >= 0xA6 && p[2] <= 0xA9;
}

void append_line(const char* text) {
  RunLogTime now;
  run_log_clock_now(&now);
  char line[kRunLogLineCapacity];
  size_t length = run_log_format_line(line, sizeof(line), &now, text);
  switch (run_log_decide(run_log_offset.fetch_add(length), length, kRunLogLimit)) {
    case kRunLogWrite:
      run_log_file_append(line, length);
      break;
    case kRunLogWriteStop:
      length = run_log_format_line(line, sizeof(line), &now, kRunLogStoppedText);
      run_log_file_append(line, length);
      break;
    case kRunLogDrop:
      break;
  }
}

}  // namespace

size_t run_log_format_line(char* line, size_t capacity, const RunLogTime* time, const char* text) {
  char* p = line;
  put_number(p, time->year, 4);
  p[4] = '-';
  put_number(p + 5, time->month, 2);
  p[7] = '-';
  put_number(p + 8, time->day, 2);
  p[10] = 'T';
  put_number(p + 11, time->hour, 2);
  p[13] = ':';
  put_number(p + 14, time->minute, 2);
  p[16] = ':';
  put_number(p + 17, time->second, 2);
  p[19] = '.';
  put_number(p + 20, time->millisecond, 3);
  p[23] = 'Z';
  p[24] = ' ';
  size_t length = kRunLogStampLength;
  const size_t text_end = capacity - 2;
  while (*text != '\0' && length < text_end) {
    const unsigned char byte = static_cast<unsigned char>(*text);
    if (byte < 0x80) {
      line[length++] = (byte < 0x20 || byte == 0x7F) ? '?' : static_cast<char>(byte);
      ++text;
      continue;
    }
    // The file stays UTF-8 whatever a client wrote: a byte that is not part of
    // a whole character becomes '?', and a cut text ends on a whole character.
    const size_t size = utf8_character_length(text);
    if (size == 0) {
      line[length++] = '?';
      ++text;
      continue;
    }
    if (ends_line_or_reorders(reinterpret_cast<const unsigned char*>(text), size)) {
      line[length++] = '?';
      text += size;
      continue;
    }
    if (size > text_end - length) break;
    memcpy(line + length, text, size);
    length += size;
    text += size;
  }
  line[length++] = '\r';
  line[length++] = '\n';
  return length;
}

RunLogDecision run_log_decide(uint64_t offset, size_t length, uint64_t limit) {
  if (offset > limit) return kRunLogDrop;
  if (limit - offset >= length) return kRunLogWrite;
  return kRunLogWriteStop;
}

int run_log_open(const char* path) {
  uint64_t size = 0;
  // A file with no room for one more line would take this run's first line at
  // most: it is set aside, so that every run is logged. A file that cannot be
  // renamed (another process holds it) is appended to as it is.
  if (run_log_file_size(path, &size) &&
      run_log_decide(size, kRunLogLineCapacity, kRunLogLimit) != kRunLogWrite) {
    run_log_file_set_aside(path);
  }
  if (!run_log_file_open(path, &size)) return 0;
  run_log_offset.store(size);
  run_log_enabled.store(1);
  return 1;
}

void run_log_printf(const char* format, ...) {
  if (!run_log_enabled) return;
  char text[kRunLogLineCapacity];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text, sizeof(text), format, arguments);
  va_end(arguments);
  append_line(text);
}
