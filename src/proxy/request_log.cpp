#include "proxy/request_log.h"

#include <cstring>

namespace {

// White space as the head's scan (and the C locale's isspace) has it.
int is_space(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

int is_alpha(char ch) { return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'); }

int is_scheme_char(char ch) {
  return is_alpha(ch) || (ch >= '0' && ch <= '9') || ch == '+' || ch == '-' || ch == '.';
}

// Appends [data, data + length) to out at *used, cut to capacity less one.
void append_cut(char* out, size_t capacity, size_t* used, const char* data, size_t length) {
  const size_t room = capacity - 1 - *used;
  if (length > room) length = room;
  memcpy(out + *used, data, length);
  *used += length;
}

// Writes the cleaned word [word, word + length) into out; at_text_end is 1
// when the word ran to the text's end rather than to white space.
void clean_word(const char* word, size_t length, int at_text_end, char* out, size_t capacity) {
  size_t start = 0;
  size_t scheme = 0;
  while (scheme < length && is_scheme_char(word[scheme])) ++scheme;
  if (scheme > 0 && is_alpha(word[0]) && length - scheme >= 3 &&
      memcmp(word + scheme, "://", 3) == 0) {
    start = scheme + 3;
  }
  size_t limit = start;
  size_t last_at = length;  // none
  for (; limit < length && word[limit] != '?' && word[limit] != '#'; ++limit) {
    if (word[limit] == '@') last_at = limit;
  }
  size_t used = 0;
  if (limit == length && at_text_end) {
    append_cut(out, capacity, &used, word, start);
    append_cut(out, capacity, &used, "...", 3);
  } else if (last_at != length) {
    append_cut(out, capacity, &used, word, start);
    append_cut(out, capacity, &used, "...", 3);
    append_cut(out, capacity, &used, word + last_at, length - last_at);
  } else {
    append_cut(out, capacity, &used, word, length);
  }
  out[used] = '\0';
}

}  // namespace

void request_log_words(const char* head, char* method, size_t method_capacity, char* target,
                       size_t target_capacity) {
  const char* p = head;
  char* outs[2] = {method, target};
  const size_t capacities[2] = {method_capacity, target_capacity};
  for (int word = 0; word < 2; ++word) {
    while (is_space(*p)) ++p;
    const char* begin = p;
    while (*p != '\0' && !is_space(*p)) ++p;
    const size_t length = static_cast<size_t>(p - begin);
    if (length == 0) {
      outs[word][0] = '\0';
      continue;
    }
    clean_word(begin, length, *p == '\0', outs[word], capacities[word]);
  }
}
