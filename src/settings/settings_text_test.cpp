#include "settings/settings_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(ProxyServerText, PortInBothPlacesWithByteCountIncludingTheTerminator) {
  struct Case {
    uint16_t port;
    const char* text;
    size_t bytes;
  };
  const Case cases[] = {
      {18118, "http=127.0.0.1:18118;https=127.0.0.1:18118", 43},
      {1, "http=127.0.0.1:1;https=127.0.0.1:1", 35},
      {65535, "http=127.0.0.1:65535;https=127.0.0.1:65535", 43},
  };
  for (const Case& c : cases) {
    char buffer[256];
    EXPECT_EQ(settings_format_proxy_server(buffer, sizeof(buffer), c.port), c.bytes) << c.port;
    EXPECT_STREQ(buffer, c.text);
  }
}

TEST(ProxyServerText, BufferOneByteShortIsRefusedAndLeftEmpty) {
  char buffer[43];
  EXPECT_EQ(settings_format_proxy_server(buffer, 43, 18118), 43u);
  EXPECT_EQ(settings_format_proxy_server(buffer, 42, 18118), 0u);
  EXPECT_STREQ(buffer, "");
}

TEST(WatchdogCommandLine, QuotedPathOptionAndDecimalProcessId) {
  char buffer[388];
  ASSERT_EQ(watchdog_format_command_line(buffer, sizeof(buffer),
                                         "C:\\Program Files\\Lumaret Proxy\\Launcher.exe", 4242),
            1);
  EXPECT_STREQ(buffer, "\"C:\\Program Files\\Lumaret Proxy\\Launcher.exe\" --restore-watchdog 4242");
}

// The logon's restore command: no process to wait for, so it restores at once.
TEST(WatchdogCommandLine, ProcessIdZeroAndTheRunOnceLimitOf260Characters) {
  char buffer[261];
  ASSERT_EQ(watchdog_format_command_line(buffer, sizeof(buffer), "C:\\L.exe", 0), 1);
  EXPECT_STREQ(buffer, "\"C:\\L.exe\" --restore-watchdog 0");
  // 2 quotes and 21 for the option and the id leave 237 for the path.
  const std::string fits(237, 'p');
  EXPECT_EQ(watchdog_format_command_line(buffer, sizeof(buffer), fits.c_str(), 0), 1);
  EXPECT_EQ(strlen(buffer), 260u);
  const std::string too_long(238, 'p');
  EXPECT_EQ(watchdog_format_command_line(buffer, sizeof(buffer), too_long.c_str(), 0), 0);
}

TEST(WatchdogCommandLine, LongestPathAndLargestIdFitTheDriversBuffer) {
  std::string path(259, 'p');
  char buffer[388];
  ASSERT_EQ(watchdog_format_command_line(buffer, sizeof(buffer), path.c_str(), 4294967295UL), 1);
  EXPECT_EQ(strlen(buffer), 259u + 2 + 20 + 10);
  EXPECT_EQ(std::string(buffer).substr(261), " --restore-watchdog 4294967295");
}

TEST(WatchdogCommandLine, TooSmallBufferIsRefused) {
  char buffer[16];
  EXPECT_EQ(watchdog_format_command_line(buffer, sizeof(buffer), "C:\\a.exe", 1), 0);
  EXPECT_STREQ(buffer, "");
}

TEST(ConsoleEvents, InterruptCloseAndShutdownRestoreLogoffDoesNot) {
  for (unsigned long type = 0; type < 10; ++type) {
    int expected = type == 0 || type == 1 || type == 2 || type == 6;
    EXPECT_EQ(console_event_restores(type), expected) << type;
  }
  EXPECT_EQ(console_event_restores(0xFFFFFFFFUL), 0);
}

}  // namespace
