// The observation window after the app launch: watches the app tunnel counter
// for 30 seconds and reports the outcome on the console and in a box.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "proxy/proxy_context.h"

// The word shown in the outcome for an address that was not obtained.
constexpr char kAddressUnavailable[] = "Unavailable";

// The operating-system services of the window, passed in so that the window
// runs natively in tests: the driver passes thread_sleep_ms and desktop_show_box.
struct ObservationServices {
  void (*sleep_ms)(unsigned milliseconds);
  void (*show_box)(const char* text, const char* caption, unsigned icon);
};

// Sets the app tunnel counter to 0 (atomic exchange) just before the proxy
// settings are applied, so that the probes' own tunnels to the app host do not
// count and only tunnels opened afterwards count for the window.
void reset_app_tunnel_count(ProxyContext* context);

// Watches context->app_tunnel_count: up to 60 checks 500 ms apart, the first
// at once. Returns 1 as soon as a check sees it above 0, and 0 after the sixtieth
// check's sleep.
int observation_wait_for_app_tunnel(ProxyContext* context, const ObservationServices* services);

// Returns address, or kAddressUnavailable when it is empty.
const char* observation_address_or_unavailable(const char* address);

// Formats the success box text with the direct and the exit address (empty
// ones read "Unavailable") into text, at most size - 1 characters and a NUL.
// Returns 1 when the whole text fitted, 0 when it was cut (or size is 0).
int observation_format_outcome(char* text, size_t size, const char* direct_address,
                               const char* exit_address);

// The 30-second observation window after the app's launch: runs the window,
// then writes the outcome lines and shows the outcome box. direct_address and
// exit_address are NUL-terminated texts, empty when not obtained. Returns 0
// when app traffic was seen, 11 when it was not.
int observe_app_traffic(ProxyContext* context, const char* direct_address, const char* exit_address,
                        const ObservationServices* services);
