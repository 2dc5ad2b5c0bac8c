#include "settings/connection_settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

ConnectionSettings settings_of(uint32_t flags, const char* proxy, const char* bypass,
                               const char* url) {
  ConnectionSettings settings = {kConnectionSettingsVersion,
                                 7,
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

}  // namespace
