#include "settings/connection_store.h"

#include <windows.h>
#include <ras.h>
#include <raserror.h>

#include <cstdlib>
#include <cwchar>

int ras_list_entries(RasEntryList* list) {
  list->count = 0;
  DWORD size = sizeof(RASENTRYNAMEW);
  DWORD count = 0;
  // A few rounds: entries may be added between the size query and the listing.
  for (int attempt = 0; attempt < 4; ++attempt) {
    RASENTRYNAMEW* entries = static_cast<RASENTRYNAMEW*>(malloc(size));
    if (entries == nullptr) return 0;
    entries[0].dwSize = sizeof(RASENTRYNAMEW);
    DWORD needed = size;
    DWORD result = RasEnumEntriesW(nullptr, nullptr, entries, &needed, &count);
    if (result == ERROR_SUCCESS) {
      int listed = count <= static_cast<DWORD>(kRasEntryCapacity);
      for (DWORD i = 0; listed && i < count; ++i) {
        if (wcslen(entries[i].szEntryName) >= kRasEntryNameCapacity) {
          listed = 0;
          break;
        }
        wcscpy(list->names[list->count++], entries[i].szEntryName);
      }
      free(entries);
      return listed;
    }
    free(entries);
    if (result != ERROR_BUFFER_TOO_SMALL || needed <= size) return 0;
    size = needed;
  }
  return 0;
}
