// Test support for the settings tests: reading and writing the three
// Internet Settings values and the backup key of the test prefix exactly, by
// type and bytes.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "settings/proxy_settings.h"

// Arms the registry fault seam of this process (OPERATION:VALUE:ACTION, as
// LUMARET_TEST_REGISTRY_FAULT in tests/support/registry_fault_injection_win32.cpp);
// an empty text disarms it.
void registry_fault_arm(const wchar_t* fault_text);

// One registry value as stored: absent, or a type and its exact bytes.
struct RegValue {
  bool present;
  DWORD type;
  std::string bytes;

  static RegValue absent() { return {false, REG_NONE, std::string()}; }
  static RegValue of(DWORD type, const char* data, size_t size) {
    return {true, type, std::string(data, size)};
  }
  // A string value with its terminating NUL.
  static RegValue text(DWORD type, const std::string& text) {
    return {true, type, text + std::string(1, '\0')};
  }
  bool operator==(const RegValue& other) const {
    return present == other.present && (!present || (type == other.type && bytes == other.bytes));
  }
};

inline std::ostream& operator<<(std::ostream& out, const RegValue& value) {
  if (!value.present) return out << "absent";
  out << "type " << value.type << ", " << value.bytes.size() << " bytes";
  if (value.bytes.size() <= 64) out << " \"" << value.bytes << "\"";
  return out;
}

struct UserValues {
  RegValue enable;
  RegValue server;
  RegValue override_list;
  bool operator==(const UserValues& other) const {
    return enable == other.enable && server == other.server && override_list == other.override_list;
  }
};

inline std::ostream& operator<<(std::ostream& out, const UserValues& values) {
  return out << "{ProxyEnable " << values.enable << "; ProxyServer " << values.server
             << "; ProxyOverride " << values.override_list << "}";
}

inline RegValue read_registry_value(const char* key_path, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, key_path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return RegValue::absent();
  }
  DWORD type = 0;
  DWORD size = 0;
  RegValue value = RegValue::absent();
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    std::vector<char> data(size + 1);
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) ==
        ERROR_SUCCESS) {
      value = RegValue::of(type, data.data(), size);
    }
  }
  RegCloseKey(key);
  return value;
}

inline void write_registry_value(const char* key_path, const char* name, const RegValue& value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key_path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  if (value.present) {
    RegSetValueExA(key, name, 0, value.type, reinterpret_cast<const BYTE*>(value.bytes.data()),
                   static_cast<DWORD>(value.bytes.size()));
  } else {
    RegDeleteValueA(key, name);
  }
  RegCloseKey(key);
}

inline RegValue read_user(const char* name) {
  return read_registry_value(kInternetSettingsKeyPath, name);
}

inline UserValues read_user_values() {
  return {read_user("ProxyEnable"), read_user("ProxyServer"), read_user("ProxyOverride")};
}

inline void write_user_values(const UserValues& values) {
  write_registry_value(kInternetSettingsKeyPath, "ProxyEnable", values.enable);
  write_registry_value(kInternetSettingsKeyPath, "ProxyServer", values.server);
  write_registry_value(kInternetSettingsKeyPath, "ProxyOverride", values.override_list);
}

inline RegValue read_backup(const char* name) {
  return read_registry_value(kProxyBackupKeyPath, name);
}

inline void write_backup(const char* name, const RegValue& value) {
  write_registry_value(kProxyBackupKeyPath, name, value);
}

inline bool backup_key_exists() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kProxyBackupKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// The three values the launcher writes, with their exact types and sizes.
inline void expect_launcher_values(const std::string& server) {
  const DWORD one = 1;
  EXPECT_EQ(read_user("ProxyEnable"),
            RegValue::of(REG_DWORD, reinterpret_cast<const char*>(&one), sizeof(one)));
  EXPECT_EQ(read_user("ProxyServer"), RegValue::text(REG_SZ, server));
  RegValue override_list = read_user("ProxyOverride");
  EXPECT_EQ(override_list, RegValue::text(REG_SZ, "<local>;localhost;127.0.0.1"));
  EXPECT_EQ(override_list.bytes.size(), 28u);
}

// Every test starts and ends with no backup, none of the three values and the
// flag clear, whatever the test before it left.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { clean(); }
  void TearDown() override { clean(); }
  static void clean() {
    RegDeleteTreeA(HKEY_CURRENT_USER, kProxyBackupKeyPath);
    write_registry_value(kRunOnceKeyPath, kRunOnceValueName, RegValue::absent());
    write_user_values({RegValue::absent(), RegValue::absent(), RegValue::absent()});
    settings_applied.exchange(0);
    registry_fault_arm(L"");
  }
};
