#include "proxy/connect_head.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "build_constants.h"
#include "identity.h"

const char kResponseRefused[] =
    "HTTP/1.1 405 Method Not Allowed\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
const char kResponseBadRequest[] =
    "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
const char kResponseBadGateway[] =
    "HTTP/1.1 502 Bad Gateway\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
const char kResponseEstablished[] =
    "HTTP/1.1 200 Connection Established\r\nProxy-Agent: " LUMARET_IDENTITY_TOKEN "/1.0\r\n\r\n";

namespace {

// Copies at most kSocksTextMax bytes of [begin, begin + length) into host
// with a NUL.
void copy_host(char host[kSocksTextMax + 1], const char* begin, size_t length) {
  if (length > kSocksTextMax) length = kSocksTextMax;
  memcpy(host, begin, length);
  host[length] = '\0';
}

// ASCII case-insensitive comparison of whole texts, as _stricmp does.
int equal_ignoring_case(const char* a, const char* b) {
  for (;; ++a, ++b) {
    int ca = tolower(static_cast<unsigned char>(*a));
    int cb = tolower(static_cast<unsigned char>(*b));
    if (ca != cb) return 0;
    if (ca == 0) return 1;
  }
}

// White space as the C locale's isspace has it.
int is_space(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

// Reads the next word the way sscanf's "%Ns" does, without its cost per call:
// white space skipped, then at most capacity - 1 characters that are not white
// space (a longer word's rest is the next word). Returns 0 at the text's end.
int scan_word(const char** cursor, char* out, size_t capacity) {
  const char* p = *cursor;
  while (is_space(*p)) ++p;
  if (*p == '\0') return 0;
  size_t length = 0;
  while (*p != '\0' && !is_space(*p) && length + 1 < capacity) out[length++] = *p++;
  out[length] = '\0';
  *cursor = p;
  return 1;
}

}  // namespace

size_t connect_head_end(const char* head) {
  const char* blank = strstr(head, "\r\n\r\n");
  return blank == nullptr ? 0 : static_cast<size_t>(blank - head) + 4;
}

size_t connect_head_end_next(const char* data, size_t length, size_t* searched) {
  // Every byte before *searched is text (not NUL) and ends no blank line, so the
  // search resumes with the blank line that would end at *searched. Once a NUL
  // was met, *searched stays on it and later calls stop there at once.
  size_t at = *searched;
  for (; at < length && data[at] != '\0'; ++at) {
    if (at >= 3 && data[at - 3] == '\r' && data[at - 2] == '\n' && data[at - 1] == '\r' &&
        data[at] == '\n') {
      *searched = at + 1;
      return at + 1;
    }
  }
  *searched = at;
  return 0;
}

int connect_target_split(const char* text, ConnectTarget* target) {
  long port = 443;
  if (text[0] == '[') {
    const char* close = strchr(text, ']');
    if (close == nullptr) return 0;
    copy_host(target->host, text + 1, static_cast<size_t>(close - text - 1));
    if (close[1] == ':') port = strtol(close + 2, nullptr, 10);
  } else {
    const char* colon = strrchr(text, ':');
    if (colon != nullptr) {
      port = strtol(colon + 1, nullptr, 10);
      copy_host(target->host, text, static_cast<size_t>(colon - text));
    } else {
      copy_host(target->host, text, strlen(text));
    }
  }
  if (target->host[0] == '\0' || port <= 0 || port >= 65536) return 0;
  target->port = static_cast<uint16_t>(port);
  return 1;
}

int connect_head_parse(const char* head, ConnectTarget* target) {
  char method[16];
  char text[512];
  char version[32];
  const char* cursor = head;
  if (!scan_word(&cursor, method, sizeof(method)) || !scan_word(&cursor, text, sizeof(text)) ||
      !scan_word(&cursor, version, sizeof(version))) {
    return 0;
  }
  if (!equal_ignoring_case(method, "CONNECT")) return 0;
  return connect_target_split(text, target);
}

int connect_host_is_app_traffic(const char* host) {
  for (const char* marker : app_traffic_markers) {
    if (strstr(host, marker) != nullptr) return 1;
  }
  return 0;
}
