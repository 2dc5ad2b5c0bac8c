#include "launcher/observation.h"

#include <cstdio>

#include "launcher/exit_codes.h"
#include "launcher/texts.h"
#include "platform/console.h"
#include "platform/desktop.h"

namespace {

constexpr int kObservationSleeps = 60;
constexpr unsigned kObservationIntervalMs = 500;

int app_tunnel_seen(ProxyContext* context) { return context->app_tunnel_count.load() > 0; }

}  // namespace

void reset_app_tunnel_count(ProxyContext* context) { context->app_tunnel_count.exchange(0); }

int observation_wait_for_app_tunnel(ProxyContext* context, const ObservationServices* services) {
  // Sixty checks, the first at once, each followed by a 500 ms sleep; the
  // verdict follows the sixtieth sleep without a further check.
  for (int check = 1;; ++check) {
    if (app_tunnel_seen(context)) return 1;
    services->sleep_ms(kObservationIntervalMs);
    if (check == kObservationSleeps) return 0;
  }
}

const char* observation_address_or_unavailable(const char* address) {
  return address[0] != '\0' ? address : kAddressUnavailable;
}

int observation_format_outcome(char* text, size_t size, const char* direct_address,
                               const char* exit_address) {
  if (size == 0) return 0;
  const char* direct = observation_address_or_unavailable(direct_address);
  const char* exit = observation_address_or_unavailable(exit_address);
  // The effective exit is not measured on its own: it is the SOCKS5 exit.
  int length = snprintf(text, size, kOutcomeTextFormat, direct, exit, exit);
  return length >= 0 && static_cast<size_t>(length) < size;
}

int observe_app_traffic(ProxyContext* context, const char* direct_address, const char* exit_address,
                        const ObservationServices* services) {
  if (!observation_wait_for_app_tunnel(context, services)) {
    console_write_line(kNotConfirmedLine);
    services->show_box(kNotConfirmedText, kNotConfirmedCaption, kBoxWarning);
    return kExitNotConfirmed;
  }
  const char* direct = observation_address_or_unavailable(direct_address);
  const char* exit = observation_address_or_unavailable(exit_address);
  console_write_line(kConfirmedLine);
  console_write_line("IP comparison");
  console_printf("  Direct public IP:            %s\n", direct);
  console_printf("  SOCKS5 exit IP:              %s\n", exit);
  console_printf("  Lumaret effective exit IP:   %s (inferred from verified proxy route)\n\n",
                 exit);
  char outcome[1024];
  observation_format_outcome(outcome, sizeof(outcome), direct_address, exit_address);
  services->show_box(outcome, kConfirmedCaption, kBoxInformation);
  return kExitSuccess;
}
