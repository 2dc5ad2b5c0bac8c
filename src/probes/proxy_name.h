// The WinHTTP proxy names of the probes, as pure functions so that their exact
// texts can be checked on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of a proxy name buffer in wide characters, NUL included.
constexpr size_t kProxyNameCapacity = 128;

// Writes "http://127.0.0.1:<port>" (with_scheme non-zero, the HTTPS probe's
// form) or "127.0.0.1:<port>" (the address query's form) into out, which holds
// kProxyNameCapacity wide characters. Returns 1; the text always fits.
int proxy_name_format(wchar_t* out, int with_scheme, uint16_t port);

// Returns name without a leading "http://" (the same pointer when it has none).
const wchar_t* proxy_name_skip_scheme(const wchar_t* name);
