// The HTTPS probes: the end-to-end HEAD request to the app host through the
// local proxy, and the public address queries. Synchronous WinHTTP on the
// caller's thread; built only for Windows. Each call opens and closes its own
// handles.
#pragma once

#include <cstdint>

// Sends "HEAD /" over HTTPS to app_host, port 443, through the local proxy at
// 127.0.0.1:http_port, with the platform's full certificate validation.
// Returns 1 when a response with a status from 100 to 599 arrived, with
// *status_code set to it; returns 0 otherwise (*status_code is then not meaningful).
int probe_https_through_proxy(uint16_t http_port, uint32_t* status_code);

// Asks address_service_host ("GET /" over HTTPS, port 443) for the caller's
// public address: directly with every proxy bypassed when via_proxy is 0,
// otherwise through the local proxy at 127.0.0.1:http_port. out holds 80 bytes.
// Returns 1 when the status was 200 and the body (at most 79 bytes of it) is an
// address text, which out then holds; returns 0 with out empty otherwise, and
// at once, without a request, when out is null.
int query_public_address(int32_t via_proxy, uint16_t http_port, char* out);
