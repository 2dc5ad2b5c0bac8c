// The test build's VPN and dial-up entries: Wine lists none, so the test
// launcher takes these two, whose names the end-to-end tests know
// (tests/e2e/harness.py, RAS_ENTRIES).
#include <cwchar>

#include "settings/connection_store.h"

int ras_list_entries(RasEntryList* list) {
  wcscpy(list->names[0], L"Test VPN");
  wcscpy(list->names[1], L"Test Dial-up");
  list->count = 2;
  return 1;
}
