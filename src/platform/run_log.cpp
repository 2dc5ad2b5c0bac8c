#include "platform/run_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

int run_log_enabled = 0;

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

// A cut text ends on a whole UTF-8 character: a lead byte whose sequence did
// not fit goes with its continuation bytes.
size_t cut_to_whole_character(const char* line, size_t start, size_t length) {
  size_t lead = length;
  while (lead > start && (static_cast<unsigned char>(line[lead - 1]) & 0xC0) == 0x80) --lead;
  if (lead == start) return length;
  const unsigned char byte = static_cast<unsigned char>(line[lead - 1]);
  const size_t needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
  return length - (lead - 1) >= needed ? length : lead - 1;
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
  for (; *text != '\0' && length < text_end; ++text) {
    const unsigned char byte = static_cast<unsigned char>(*text);
    line[length++] = (byte < 0x20 || byte == 0x7F) ? '?' : static_cast<char>(byte);
  }
  if (*text != '\0') length = cut_to_whole_character(line, kRunLogStampLength, length);
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
  if (run_log_enabled) return 1;
  uint64_t size = 0;
  if (!run_log_file_open(path, &size)) return 0;
  run_log_offset.store(size);
  run_log_enabled = 1;
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
