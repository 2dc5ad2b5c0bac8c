// The test build's VPN and dial-up entries: Wine lists none, so the test
// launcher takes "Test VPN" and "Test Dial-up", whose names the end-to-end
// tests know (tests/e2e/harness.py, RAS_ENTRIES). LUMARET_TEST_RAS_ENTRIES
// asks for another list: a number N lists those two and "Test Entry 3" to
// "Test Entry N"; "unreadable" fails the listing.
#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "settings/connection_store.h"

int ras_list_entries(RasEntryList* list) {
  list->count = 0;
  list->names = nullptr;
  wchar_t text[32];
  DWORD length = GetEnvironmentVariableW(L"LUMARET_TEST_RAS_ENTRIES", text, 32);
  int count = 2;
  if (length > 0 && length < 32) {
    if (wcscmp(text, L"unreadable") == 0) return 0;
    count = static_cast<int>(wcstol(text, nullptr, 10));
    if (count < 2 || count > 10000) count = 2;
  }
  list->names =
      static_cast<wchar_t(*)[kRasEntryNameCapacity]>(malloc(count * sizeof(*list->names)));
  if (list->names == nullptr) return 0;
  wcscpy(list->names[0], L"Test VPN");
  wcscpy(list->names[1], L"Test Dial-up");
  for (int i = 2; i < count; ++i)
    swprintf(list->names[i], kRasEntryNameCapacity, L"Test Entry %d", i + 1);
  list->count = count;
  return 1;
}
