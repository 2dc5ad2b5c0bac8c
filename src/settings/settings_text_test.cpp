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
    uint16_t port = 0;
    EXPECT_EQ(settings_parse_proxy_server(c.text, strlen(c.text), &port), 1);
    EXPECT_EQ(port, c.port);
  }
}

// Only the launcher's own text is taken for it: a switch-off must leave any
// other proxy of the user's alone.
TEST(ProxyServerText, ParseRefusesEveryOtherText) {
  const char* const texts[] = {"http=127.0.0.1:18118;https=127.0.0.1:18119",
                               "127.0.0.1:18118",
                               "http=127.0.0.1:018118;https=127.0.0.1:018118",
                               "http=127.0.0.1:0;https=127.0.0.1:0",
                               "http=127.0.0.1:65536;https=127.0.0.1:65536",
                               "http=127.0.0.1:18118;https=127.0.0.1:1811",
                               "http=127.0.0.1:18118;https=127.0.0.1:18118;ftp=a:1",
                               "http=127.0.0.1:",
                               ""};
  for (const char* text : texts) {
    uint16_t port = 7;
    EXPECT_EQ(settings_parse_proxy_server(text, strlen(text), &port), 0) << text;
    EXPECT_EQ(port, 7) << text;
  }
  // The length decides, not a terminator.
  uint16_t port = 0;
  EXPECT_EQ(settings_parse_proxy_server("http=127.0.0.1:1;https=127.0.0.1:1xyz", 34, &port), 1);
}

TEST(ProxyServerText, BufferOneByteShortIsRefusedAndLeftEmpty) {
  char buffer[43];
  EXPECT_EQ(settings_format_proxy_server(buffer, 43, 18118), 43u);
  EXPECT_EQ(settings_format_proxy_server(buffer, 42, 18118), 0u);
  EXPECT_STREQ(buffer, "");
}

TEST(WatchdogCommandLine, QuotedPathOptionAndDecimalProcessId) {
  wchar_t buffer[kWatchdogCommandCapacity];
  ASSERT_EQ(watchdog_format_command_line(buffer, kWatchdogCommandCapacity,
                                         L"C:\\Program Files\\Lumaret Proxy\\Launcher.exe", 4242),
            1);
  EXPECT_EQ(std::wstring(buffer),
            L"\"C:\\Program Files\\Lumaret Proxy\\Launcher.exe\" --restore-watchdog 4242");
  // Characters of no 8-bit code page pass through unchanged.
  ASSERT_EQ(watchdog_format_command_line(buffer, kWatchdogCommandCapacity,
                                         L"C:\\\u0418\u0432\u0430\u043d\\\u4e0b\u8f7d\\L.exe", 7),
            1);
  EXPECT_EQ(std::wstring(buffer),
            L"\"C:\\\u0418\u0432\u0430\u043d\\\u4e0b\u8f7d\\L.exe\" --restore-watchdog 7");
}

// The logon's restore command: no process to wait for, so it restores at once.
TEST(WatchdogCommandLine, ProcessIdZeroAndTheRunOnceLimitOf260Characters) {
  wchar_t buffer[kRunOnceCommandCapacity];
  ASSERT_EQ(watchdog_format_command_line(buffer, kRunOnceCommandCapacity, L"C:\\L.exe", 0), 1);
  EXPECT_EQ(std::wstring(buffer), L"\"C:\\L.exe\" --restore-watchdog 0");
  // 2 quotes and 21 for the option and the id leave 237 for the path.
  const std::wstring fits(237, L'p');
  EXPECT_EQ(watchdog_format_command_line(buffer, kRunOnceCommandCapacity, fits.c_str(), 0), 1);
  EXPECT_EQ(std::wstring(buffer).size(), 260u);
  const std::wstring too_long(238, L'p');
  EXPECT_EQ(watchdog_format_command_line(buffer, kRunOnceCommandCapacity, too_long.c_str(), 0), 0);
  EXPECT_EQ(std::wstring(buffer), L"");
}

TEST(WatchdogCommandLine, LongestPathAndLargestIdFitTheDriversBuffer) {
  std::wstring path(kProgramPathCapacity - 1, L'p');
  wchar_t buffer[kWatchdogCommandCapacity];
  ASSERT_EQ(watchdog_format_command_line(buffer, kWatchdogCommandCapacity, path.c_str(),
                                         4294967295UL),
            1);
  EXPECT_EQ(std::wstring(buffer).size(), 259u + 2 + 20 + 10);
  EXPECT_EQ(std::wstring(buffer).substr(261), L" --restore-watchdog 4294967295");
}

TEST(WatchdogCommandLine, TooSmallBufferIsRefused) {
  wchar_t buffer[16];
  EXPECT_EQ(watchdog_format_command_line(buffer, 16, L"C:\\a.exe", 1), 0);
  EXPECT_EQ(std::wstring(buffer), L"");
}

TEST(ConsoleEvents, InterruptCloseAndShutdownRestoreLogoffDoesNot) {
  for (unsigned long type = 0; type < 10; ++type) {
    int expected = type == 0 || type == 1 || type == 2 || type == 6;
    EXPECT_EQ(console_event_restores(type), expected) << type;
  }
  EXPECT_EQ(console_event_restores(0xFFFFFFFFUL), 0);
}

}  // namespace
