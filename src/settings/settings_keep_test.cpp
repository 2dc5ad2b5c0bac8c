#include "settings/settings_keep.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

ConnectionSettings store(uint32_t counter, uint32_t flags, const char* proxy, const char* bypass,
                         const char* url) {
  return {kConnectionSettingsVersion,
          counter,
          flags,
          proxy,
          static_cast<uint32_t>(strlen(proxy)),
          bypass,
          static_cast<uint32_t>(strlen(bypass)),
          url,
          static_cast<uint32_t>(strlen(url))};
}

std::string text(const char* data, uint32_t length) { return std::string(data, length); }

// Each value of a place written by the launcher or by another program,
// against what a restore leaves: the legacy values by their bits, a store by
// the value it writes back.
TEST(KeepingRule, OnlyAnotherProgramsValuesStayAndTheirPlacesSwitchWithThem) {
  const struct {
    uint32_t changed;
    uint32_t kept;
  } legacy[] = {
      {0, 0},
      {kLegacyProxyServer, kLegacyProxyServer | kLegacyProxyEnable},
      {kLegacyProxyEnable, kLegacyProxyEnable},
      {kLegacyProxyOverride | kLegacyAutoConfigUrl,
       kLegacyProxyOverride | kLegacyAutoConfigUrl | kLegacyProxyEnable},
  };
  for (const auto& row : legacy)
    EXPECT_EQ(keep_changed_values(row.changed), row.kept) << row.changed;

  const char* ours = "http=127.0.0.1:18118;https=127.0.0.1:18118";
  const char* our_bypass = "<local>;localhost;127.0.0.1";
  const ConnectionSettings user = store(9, kConnectionFlagDirect, "corp:3128", "*.corp", "");
  const ConnectionSettings written = store(10, 0x3, ours, our_bypass, "");
  const uint8_t tail[] = {1, 2, 3};
  const struct {
    const char* name;
    ConnectionSettings now;
    int user_had_none;
    uint32_t changed;
    uint32_t flags;  // of the value written back
    const char* proxy;
    const char* bypass;
    const char* url;
  } rows[] = {
      {"the launcher's, counter moved", store(40, 0x3, ours, our_bypass, ""), 0, 0, 0, "", "", ""},
      {"the launcher's port, bare", store(10, 0x3, "127.0.0.1:18118", our_bypass, ""), 0, 0, 0, "",
       "", ""},
      {"a VPN client's proxy", store(11, 0x3, "vpn:8080", our_bypass, ""), 0, kStoreProxy, 0x3,
       "vpn:8080", "*.corp", ""},
      {"switched off in Windows Settings", store(11, 0x1, ours, our_bypass, ""), 0, kStoreSwitch,
       0x1, "corp:3128", "*.corp", ""},
      {"a setup script of a policy", store(11, 0x5, ours, our_bypass, "http://p/x.pac"), 0,
       kStoreSwitch | kStoreScript, 0x5, "corp:3128", "*.corp", "http://p/x.pac"},
      {"automatic detection", store(11, 0xB, ours, "<local>", ""), 0,
       kStoreAutoDetect | kStoreBypass, 0xB, "corp:3128", "<local>", ""},
      {"a proxy where the user had none", store(11, 0x3, "vpn:8080", our_bypass, ""), 1,
       kStoreProxy, 0x3, "vpn:8080", "", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const uint32_t changed = connection_settings_changed(&written, &row.now, 18118);
    EXPECT_EQ(changed, row.changed);
    if (changed == 0) continue;
    uint8_t buffer[512];
    const size_t size = connection_settings_keep(row.user_had_none ? nullptr : &user,
                                                 row.user_had_none ? nullptr : tail, sizeof(tail),
                                                 &row.now, keep_changed_values(changed), buffer,
                                                 sizeof(buffer));
    ConnectionSettings back;
    ASSERT_EQ(connection_settings_decode(buffer, size, &back), 1);
    EXPECT_EQ(back.counter, 12u);
    EXPECT_EQ(back.flags, row.flags);
    EXPECT_EQ(text(back.proxy, back.proxy_length), row.proxy);
    EXPECT_EQ(text(back.bypass, back.bypass_length), row.bypass);
    EXPECT_EQ(text(back.script_url, back.script_url_length), row.url);
    // The user's own bytes after the texts stay; a value they never had ends
    // in zeros.
    const uint8_t* after =
        reinterpret_cast<const uint8_t*>(back.script_url) + back.script_url_length;
    const size_t after_length = static_cast<size_t>(buffer + size - after);
    if (row.user_had_none) {
      EXPECT_EQ(after_length, kConnectionSettingsTrailerBytes);
    } else {
      ASSERT_EQ(after_length, sizeof(tail));
      EXPECT_EQ(memcmp(after, tail, sizeof(tail)), 0);
    }
  }
}

TEST(ChangeMemory, EachChangeIsSaidOnceAndTheOldestGivesWayWhenFull) {
  ChangeMemory memory = {};
  const uint64_t first = change_hash_add(kChangeHashStart, "ProxyServer=vpn:8080", 20);
  EXPECT_NE(first, change_hash_add(kChangeHashStart, "ProxyServer=vpn:8081", 20));
  EXPECT_EQ(change_memory_note(&memory, first), 1);
  EXPECT_EQ(change_memory_note(&memory, first), 0);
  for (uint64_t i = 1; i < kChangeMemoryCapacity; ++i) EXPECT_EQ(change_memory_note(&memory, i), 1);
  EXPECT_EQ(change_memory_note(&memory, first), 0);
  EXPECT_EQ(change_memory_note(&memory, 1000), 1);
  EXPECT_EQ(change_memory_note(&memory, first), 1);
}

}  // namespace
