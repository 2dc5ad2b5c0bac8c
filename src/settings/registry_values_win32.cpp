#include "settings/registry_values_win32.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "settings/registry_fault.h"

LONG registry_query_value(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) {
  LONG fault = registry_fault(kRegistryQuery, name);
  if (fault != 0) return fault;
  return RegQueryValueExW(key, name, nullptr, type, data, size);
}

LONG registry_set_value(HKEY key, const wchar_t* name, DWORD type, const BYTE* data, DWORD size) {
  LONG fault = registry_fault(kRegistrySet, name);
  if (fault != 0) return fault;
  return RegSetValueExW(key, name, 0, type, data, size);
}

int registry_delete_value(HKEY key, const wchar_t* name) {
  LONG result = registry_fault(kRegistryDelete, name);
  if (result == 0) result = RegDeleteValueW(key, name);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

LONG registry_delete_tree(HKEY root, const wchar_t* path) {
  const wchar_t* name = wcsrchr(path, L'\\');
  LONG fault = registry_fault(kRegistryDelete, name != nullptr ? name + 1 : path);
  if (fault != 0) return fault;
  return RegDeleteTreeW(root, path);
}

int registry_write_dword(HKEY key, const wchar_t* name, DWORD value) {
  return registry_set_value(key, name, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof(value)) == ERROR_SUCCESS;
}

LONG registry_read_fixed(HKEY key, const wchar_t* name, DWORD type, void* value, DWORD size) {
  memset(value, 0, size);
  DWORD stored_type = REG_NONE;
  DWORD stored_size = size;
  LONG result =
      registry_query_value(key, name, &stored_type, static_cast<BYTE*>(value), &stored_size);
  if (result == ERROR_SUCCESS && (stored_type != type || stored_size != size)) {
    memset(value, 0, size);
    return ERROR_INVALID_DATA;
  }
  return result;
}

LONG registry_read_dword(HKEY key, const wchar_t* name, DWORD* value) {
  return registry_read_fixed(key, name, REG_DWORD, value, sizeof(*value));
}

LONG registry_read_flag(HKEY key, const wchar_t* name, DWORD* value) {
  LONG result = registry_read_dword(key, name, value);
  if (result == ERROR_SUCCESS && *value > 1) {
    *value = 0;
    return ERROR_INVALID_DATA;
  }
  return result;
}

namespace {

void stored_value_release(StoredValue* value) {
  if (value->data != nullptr && value->data != value->stack_bytes) free(value->data);
  value->data = nullptr;
}

}  // namespace

StoredValue::~StoredValue() { stored_value_release(this); }

LONG stored_value_read(HKEY key, const wchar_t* name, StoredValue* value) {
  value->data = value->stack_bytes;
  value->size = sizeof(value->stack_bytes);
  LONG result = registry_query_value(key, name, &value->type, value->data, &value->size);
  // A value changed by someone else between the size query and the read may
  // have grown; a few rounds settle it.
  for (int attempt = 0; attempt < 4 && result == ERROR_MORE_DATA; ++attempt) {
    stored_value_release(value);
    DWORD needed = 0;
    result = registry_query_value(key, name, &value->type, nullptr, &needed);
    if (result != ERROR_SUCCESS) break;
    value->data = static_cast<BYTE*>(malloc(needed > 0 ? needed : 1));
    if (value->data == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    value->size = needed;
    result = registry_query_value(key, name, &value->type, value->data, &value->size);
  }
  if (result != ERROR_SUCCESS) stored_value_release(value);
  return result;
}

int stored_value_write(HKEY key, const wchar_t* name, const StoredValue* value) {
  return registry_set_value(key, name, value->type, value->data, value->size) == ERROR_SUCCESS;
}

int registry_value_matches(HKEY key, const wchar_t* name, DWORD type, const BYTE* data,
                           DWORD size) {
  StoredValue stored;
  if (stored_value_read(key, name, &stored) != ERROR_SUCCESS) return 0;
  return stored.type == type && stored.size == size &&
         (size == 0 || memcmp(stored.data, data, size) == 0);
}

int stored_value_matches(HKEY key, const wchar_t* name, const StoredValue* expected) {
  return registry_value_matches(key, name, expected->type, expected->data, expected->size);
}
