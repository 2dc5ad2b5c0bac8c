#include "launcher/shortcut_arguments.h"

#include <cstring>

#include "launcher/options.h"
#include "probes/app_launch.h"

namespace {

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// Returns 1 when text holds word, ASCII letters compared without case (as
// PowerShell's -like compares them).
constexpr int holds_word(const char* text, const char* word) {
  for (; *text != '\0'; ++text) {
    size_t i = 0;
    while (word[i] != '\0' && ascii_lower(text[i]) == ascii_lower(word[i])) ++i;
    if (word[i] == '\0') return 1;
  }
  return 0;
}

static_assert(!holds_word(kShortcutFileName, LUMARET_APP_START_MENU_WORD),
              "the shortcut's name must not hold the word that the app's launch looks for");
static_assert(holds_word("a " LUMARET_APP_START_MENU_WORD ".lnk", "LUMARET"),
              "the check above must see the word");

int needs_quotes(const char* argument) {
  return argument[0] == '\0' || strpbrk(argument, " \t\n\v\"") != nullptr;
}

}  // namespace

int shortcut_append_argument(char* text, size_t capacity, size_t* length, const char* argument) {
  size_t used = *length;
  // Room for one more byte, and the NUL after it.
  auto put = [&](char c) {
    if (used + 2 > capacity) return 0;
    text[used++] = c;
    return 1;
  };
  int fits = used == 0 || put(' ');
  if (!needs_quotes(argument)) {
    for (const char* p = argument; fits && *p != '\0'; ++p) fits = put(*p);
  } else {
    fits = fits && put('"');
    for (const char* p = argument; fits;) {
      size_t backslashes = 0;
      while (p[backslashes] == '\\') ++backslashes;
      const char next = p[backslashes];
      // Backslashes count only before a quote: there they are doubled, and
      // the quote itself gets one of its own.
      const size_t written = next == '"' || next == '\0' ? 2 * backslashes : backslashes;
      for (size_t i = 0; fits && i < written; ++i) fits = put('\\');
      if (next == '\0') break;
      if (next == '"') fits = fits && put('\\');
      fits = fits && put(next);
      p += backslashes + 1;
    }
    fits = fits && put('"');
  }
  if (!fits) {
    text[*length] = '\0';
    return 0;
  }
  text[used] = '\0';
  *length = used;
  return 1;
}

int shortcut_build_arguments(int argc, char** argv, char* text, size_t capacity) {
  size_t length = 0;
  text[0] = '\0';
  for (int i = 1; i < argc;) {
    if (options_is_flag(argv[i])) {
      i += 1;
      continue;
    }
    const int count = i + 1 < argc ? 2 : 1;
    for (int k = 0; k < count; ++k) {
      if (!shortcut_append_argument(text, capacity, &length, argv[i + k])) {
        text[0] = '\0';
        return 0;
      }
    }
    i += count;
  }
  return 1;
}
