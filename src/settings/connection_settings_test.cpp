#include "settings/connection_settings.h"
#include "settings/settings_keep.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

ConnectionSettings settings_of(uint32_t flags, const char* proxy, const char* bypass,
                               const char* url, uint32_t counter = 7) {
  ConnectionSettings settings = {kConnectionSettingsVersion,
                                 counter,
                                 flags,
                                 proxy,
                                 static_cast<uint32_t>(strlen(proxy)),
                                 bypass,
                                 static_cast<uint32_t>(strlen(bypass)),
                                 url,
                                 static_cast<uint32_t>(strlen(url))};
  return settings;
}

TEST(ConnectionSettings, EncodesTheLayoutWindowsReadsWithAZeroedTrailer) {
  const ConnectionSettings settings = settings_of(3, "p:1", "<local>", "");
  uint8_t buffer[128];
  size_t size = connection_settings_encode(&settings, buffer, sizeof(buffer));
  const uint8_t head[] = {0x46, 0,   0, 0, 7, 0, 0,   0,   3,   0,   0,   0,   3,   0, 0, 0, 'p',
                          ':',  '1', 7, 0, 0, 0, '<', 'l', 'o', 'c', 'a', 'l', '>', 0, 0, 0, 0};
  ASSERT_EQ(size, sizeof(head) + kConnectionSettingsTrailerBytes);
  EXPECT_EQ(memcmp(buffer, head, sizeof(head)), 0);
  for (size_t i = sizeof(head); i < size; ++i) EXPECT_EQ(buffer[i], 0) << i;
}

TEST(ConnectionSettings, DecodesWhatItEncodesAndRefusesEveryCutShortOfTheStrings) {
  const ConnectionSettings settings =
      settings_of(kConnectionFlagAutoDetect | kConnectionFlagScriptUrl | kConnectionFlagDirect,
                  "corp:3128", "*.corp;<local>", "http://wpad.corp/proxy.pac");
  uint8_t buffer[256];
  size_t size = connection_settings_encode(&settings, buffer, sizeof(buffer));
  ASSERT_NE(size, 0u);
  ConnectionSettings decoded;
  ASSERT_EQ(connection_settings_decode(buffer, size, &decoded), 1);
  EXPECT_EQ(decoded.version, 0x46u);
  EXPECT_EQ(decoded.counter, 7u);
  EXPECT_EQ(decoded.flags, 0xDu);
  EXPECT_EQ(std::string(decoded.proxy, decoded.proxy_length), "corp:3128");
  EXPECT_EQ(std::string(decoded.bypass, decoded.bypass_length), "*.corp;<local>");
  EXPECT_EQ(std::string(decoded.script_url, decoded.script_url_length),
            "http://wpad.corp/proxy.pac");
  // The trailer may be missing; any byte less of the strings may not.
  const size_t strings_end = size - kConnectionSettingsTrailerBytes;
  for (size_t length = 0; length < size; ++length) {
    EXPECT_EQ(connection_settings_decode(buffer, length, &decoded), length >= strings_end ? 1 : 0)
        << length;
  }
}

TEST(ConnectionSettings, LengthsThatRunPastTheValueAreRefused) {
  uint8_t value[16] = {0x46, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  ConnectionSettings decoded;
  EXPECT_EQ(connection_settings_decode(value, sizeof(value), &decoded), 0);
}

TEST(ConnectionSettings, EncodingRefusesABufferOneByteShort) {
  const ConnectionSettings settings = settings_of(3, "proxy:80", "", "");
  uint8_t buffer[128];
  size_t size = connection_settings_encode(&settings, buffer, sizeof(buffer));
  ASSERT_NE(size, 0u);
  EXPECT_EQ(connection_settings_encode(&settings, buffer, size - 1), 0u);
  EXPECT_EQ(connection_settings_encode(&settings, buffer, size), size);
}

TEST(ConnectionSettings, OnlyTheLoopbackProxyAtThePortCountsAsLocal) {
  struct Case {
    const char* text;
    int local;
  };
  const Case cases[] = {
      {"http=127.0.0.1:18118;https=127.0.0.1:18118", 1},
      {"127.0.0.1:18118", 1},
      {"127.0.0.1:18119", 0},
      {"http=127.0.0.1:18118", 0},
      {"http=127.0.0.1:18118;https=corp:3128", 0},
      {"127.0.0.1:181180", 0},
      {"", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(connection_proxy_is_local(c.text, strlen(c.text), 18118), c.local) << c.text;
  }
}

TEST(ConnectionSettings, OnlyTheLaunchersProxyIsSwitchedToDirectInPlace) {
  struct Case {
    uint32_t flags;
    const char* proxy;
    int switched;
  };
  const Case cases[] = {
      {3, "http=127.0.0.1:18118;https=127.0.0.1:18118", 1},
      {2, "127.0.0.1:8080", 1},
      {3, "vpn-proxy.corp.test:8080", 0},
      {3, "http=127.0.0.1:1;https=127.0.0.1:2", 0},
      {1, "http=127.0.0.1:18118;https=127.0.0.1:18118", 0},
      {3, "127.0.0.1:", 0},
  };
  for (const Case& c : cases) {
    const ConnectionSettings settings = settings_of(c.flags, c.proxy, "<local>", "");
    uint8_t value[128];
    size_t size = connection_settings_encode(&settings, value, sizeof(value));
    ASSERT_NE(size, 0u);
    uint8_t before[128];
    memcpy(before, value, size);
    EXPECT_EQ(connection_settings_switch_to_direct(value, size), c.switched) << c.proxy;
    if (c.switched) {
      // The counter goes one up, the flags become direct; nothing else moves.
      before[4] = static_cast<uint8_t>(before[4] + 1);
      before[8] = 1;
    }
    EXPECT_EQ(memcmp(value, before, size), 0) << c.proxy;
  }
  uint8_t short_value[8] = {0x46, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(connection_settings_switch_to_direct(short_value, sizeof(short_value)), 0);
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
  const ConnectionSettings user = settings_of(kConnectionFlagDirect, "corp:3128", "*.corp", "", 9);
  const ConnectionSettings written = settings_of(0x3, ours, our_bypass, "", 10);
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
      {"the launcher's, counter moved", settings_of(0x3, ours, our_bypass, "", 40), 0, 0, 0, "", "",
       ""},
      {"the launcher's port, bare", settings_of(0x3, "127.0.0.1:18118", our_bypass, "", 10), 0, 0,
       0, "", "", ""},
      {"a VPN client's proxy", settings_of(0x3, "vpn:8080", our_bypass, "", 11), 0, kStoreProxy,
       0x3, "vpn:8080", "*.corp", ""},
      {"switched off in Windows Settings", settings_of(0x1, ours, our_bypass, "", 11), 0,
       kStoreSwitch, 0x1, "corp:3128", "*.corp", ""},
      {"a setup script of a policy", settings_of(0x5, ours, our_bypass, "http://p/x.pac", 11), 0,
       kStoreSwitch | kStoreScript, 0x5, "corp:3128", "*.corp", "http://p/x.pac"},
      {"automatic detection", settings_of(0xB, ours, "<local>", "", 11), 0,
       kStoreAutoDetect | kStoreBypass, 0xB, "corp:3128", "<local>", ""},
      {"a proxy where the user had none", settings_of(0x3, "vpn:8080", our_bypass, "", 11), 1,
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
