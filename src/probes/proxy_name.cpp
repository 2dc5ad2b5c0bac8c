#include "probes/proxy_name.h"

#include <cstdio>

#include "proxy/proxy_context.h"

int proxy_name_format(wchar_t* out, int with_scheme, uint16_t port) {
  // Formatted as bytes and widened: the text is ASCII, and this avoids the
  // differences between the platforms' wide printf functions.
  char narrow[kProxyNameCapacity];
  snprintf(narrow, sizeof(narrow),
           with_scheme ? "http://" LUMARET_LOOPBACK_ADDRESS ":%u" : LUMARET_LOOPBACK_ADDRESS ":%u",
           static_cast<unsigned>(port));
  size_t i = 0;
  for (; narrow[i] != '\0' && i + 1 < kProxyNameCapacity; ++i) {
    out[i] = static_cast<wchar_t>(narrow[i]);
  }
  out[i] = L'\0';
  return 1;
}

const wchar_t* proxy_name_skip_scheme(const wchar_t* name) {
  static const wchar_t kScheme[] = L"http://";
  for (size_t i = 0; kScheme[i] != L'\0'; ++i) {
    if (name[i] != kScheme[i]) return name;
  }
  return name + (sizeof(kScheme) / sizeof(kScheme[0]) - 1);
}
