#include "settings/connection_store.h"

#include <windows.h>
#include <ras.h>
#include <raserror.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// Copies the count names that RasEnumEntriesW returned in entries (bytes
// long) into list. A name that fills its whole field has no terminator and
// is no name Windows gives: the list is not read then. Returns 1 when all
// were copied.
int copy_entry_names(const RASENTRYNAMEW* entries, DWORD bytes, DWORD count, RasEntryList* list) {
  if (count > bytes / sizeof(RASENTRYNAMEW)) return 0;
  list->names = static_cast<wchar_t(*)[kRasEntryNameCapacity]>(
      malloc((count > 0 ? count : 1) * sizeof(*list->names)));
  if (list->names == nullptr) return 0;
  for (DWORD i = 0; i < count; ++i) {
    const size_t length = wcsnlen(entries[i].szEntryName, kRasEntryNameCapacity);
    if (length >= kRasEntryNameCapacity) {
      ras_entries_free(list);
      return 0;
    }
    memcpy(list->names[i], entries[i].szEntryName, length * sizeof(wchar_t));
    list->names[i][length] = L'\0';
    list->count = static_cast<int>(i + 1);
  }
  return 1;
}

}  // namespace

int ras_list_entries(RasEntryList* list) {
  list->count = 0;
  list->names = nullptr;
  DWORD size = sizeof(RASENTRYNAMEW);
  // A few rounds: entries may be added between the size query and the listing.
  for (int attempt = 0; attempt < 4; ++attempt) {
    RASENTRYNAMEW* entries = static_cast<RASENTRYNAMEW*>(malloc(size));
    if (entries == nullptr) return 0;
    entries[0].dwSize = sizeof(RASENTRYNAMEW);
    DWORD needed = size;
    DWORD count = 0;
    DWORD result = RasEnumEntriesW(nullptr, nullptr, entries, &needed, &count);
    if (result == ERROR_SUCCESS) {
      const int listed = copy_entry_names(entries, size, count, list);
      free(entries);
      return listed;
    }
    free(entries);
    if (result != ERROR_BUFFER_TOO_SMALL || needed <= size) return 0;
    size = needed;
  }
  return 0;
}
