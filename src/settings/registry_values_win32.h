// The registry calls on values that the settings code shares: each goes
// through the tests' fault seam (registry_fault.h), so that a test build can
// fail any one of them. Windows-only, internal to src/settings/.
#pragma once

#include <windows.h>

#include <cstddef>

// Owns an open registry key (key, nullptr until opened): closed once, when the
// holder goes out of scope.
struct RegistryKey {
  HKEY key = nullptr;
  RegistryKey() = default;
  ~RegistryKey() {
    if (key != nullptr) RegCloseKey(key);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
};

// RegQueryValueExW on name of key, unless the seam fails it. Returns the
// registry's result or the injected error.
LONG registry_query_value(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* size);

// RegSetValueExW on name of key, unless the seam fails it. Returns the
// registry's result or the injected error.
LONG registry_set_value(HKEY key, const wchar_t* name, DWORD type, const BYTE* data, DWORD size);

// Deletes name of key. Returns 1 when it is gone (a value that was not there
// is no failure), 0 when the deletion failed.
int registry_delete_value(HKEY key, const wchar_t* name);

// RegDeleteTreeW on path under root, unless the seam fails it (the seam names
// it by the path's last key name). Returns the registry's result or the
// injected error.
LONG registry_delete_tree(HKEY root, const wchar_t* path);

// Writes a REG_DWORD. Returns 1 when the write succeeded (not read back).
int registry_write_dword(HKEY key, const wchar_t* name, DWORD value);

// Reads a value of exactly this type and size into value. Returns the
// registry's result: a value that is missing gives ERROR_FILE_NOT_FOUND, a
// longer one ERROR_MORE_DATA, one of another type or a shorter one
// ERROR_INVALID_DATA (value then zeroed).
LONG registry_read_fixed(HKEY key, const wchar_t* name, DWORD type, void* value, DWORD size);

// Reads a REG_DWORD of 4 bytes into *value. Returns the registry's result: a
// value that is missing gives ERROR_FILE_NOT_FOUND, a longer one
// ERROR_MORE_DATA, one of another type or a shorter one ERROR_INVALID_DATA.
LONG registry_read_dword(HKEY key, const wchar_t* name, DWORD* value);

// Reads one of a backup's flags, a REG_DWORD of 0 or 1. Returns as
// registry_read_dword, and ERROR_INVALID_DATA for any other number.
LONG registry_read_flag(HKEY key, const wchar_t* name, DWORD* value);

// Returns 1 when name of key holds exactly this type and these bytes.
int registry_value_matches(HKEY key, const wchar_t* name, DWORD type, const BYTE* data, DWORD size);

constexpr size_t kStackValueBytes = 2048;

// One registry value as stored: its type and exactly its bytes, in the stack
// buffer when they fit, else on the heap (freed with the holder). Not to be
// copied: data may point into it.
struct StoredValue {
  DWORD type = REG_NONE;
  DWORD size = 0;
  BYTE* data = nullptr;
  BYTE stack_bytes[kStackValueBytes];
  StoredValue() = default;
  ~StoredValue();
  StoredValue(const StoredValue&) = delete;
  StoredValue& operator=(const StoredValue&) = delete;
};

// Reads name of key into *value, whatever its size. Returns ERROR_SUCCESS or
// the registry's error, ERROR_FILE_NOT_FOUND when there is no such value (then
// value->data is nullptr).
LONG stored_value_read(HKEY key, const wchar_t* name, StoredValue* value);

// Writes *value as name of key. Returns 1 when the write succeeded.
int stored_value_write(HKEY key, const wchar_t* name, const StoredValue* value);

// Returns 1 when name of key holds exactly the type and bytes of expected.
int stored_value_matches(HKEY key, const wchar_t* name, const StoredValue* expected);
