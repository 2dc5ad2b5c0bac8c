#include "launcher/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proxy/proxy_context.h"

namespace {

struct Parsed {
  OptionsResult result;
  std::string host;
  std::string port;
  unsigned http_port;
  std::string user;
  std::string log;
  std::string bypass;
  PlainHttpMode plain_http;
};

LauncherOptions options;  // the last parse's flags

Parsed parse(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  std::string program = "LumaretDesktopProxyLauncher.exe";
  argv.push_back(&program[0]);
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  static ProxyContext context;
  proxy_context_set_defaults(&context);
  OptionsResult result =
      options_parse(static_cast<int>(argv.size()), argv.data(), &context, &options);
  return {result,
          context.socks_host,
          context.socks_port,
          context.http_port,
          context.socks_user,
          context.log_path != nullptr ? context.log_path : "(none)",
          context.proxy_bypass,
          context.plain_http_mode};
}

TEST(Options, NoArgumentsKeepsTheDefaults) {
  Parsed parsed = parse({});
  EXPECT_EQ(parsed.result, kOptionsRun);
  EXPECT_EQ(parsed.host, "127.0.0.1");
  EXPECT_EQ(parsed.port, "1080");
  EXPECT_EQ(parsed.http_port, 18118u);
  EXPECT_EQ(parsed.user, "");
  EXPECT_EQ(parsed.bypass, "<local>;localhost;127.0.0.1");
  EXPECT_EQ(parsed.plain_http, kPlainHttpRefuse);
}

TEST(Options, DecisionTable) {
  struct Case {
    std::vector<std::string> arguments;
    OptionsResult expected;
  } cases[] = {
      {{"--help"}, kOptionsHelp},
      {{"--socks-port", "1", "--help"}, kOptionsHelp},
      {{"--http-port", "0", "--help"}, kOptionsHelp},
      {{"--socks-host"}, kOptionsMissingValue},
      {{"--bogus"}, kOptionsMissingValue},
      {{"--bogus", "x"}, kOptionsUnknown},
      {{"--bogus", "--help"}, kOptionsUnknown},
      {{"--HELP"}, kOptionsMissingValue},
      {{"--HELP", "x"}, kOptionsUnknown},
      {{"--Socks-Host", "h"}, kOptionsUnknown},
      {{"--socks-host", "--help"}, kOptionsRun},
      {{"--http-port", "0"}, kOptionsInvalidPort},
      {{"--http-port", "abc"}, kOptionsInvalidPort},
      {{"--http-port", "65536"}, kOptionsInvalidPort},
      {{"--http-port", "0", "--http-port", "18119"}, kOptionsRun},
      {{"--http-port", "2147483648"}, kOptionsInvalidPort},
      {{"--http-port", "99999999999999999999"}, kOptionsInvalidPort},
      {{"--http-port", "-2147483649"}, kOptionsInvalidPort},
      {{"--http-port", "2147483648", "--http-port", "18119"}, kOptionsRun},
      {{"--restore-watchdog"}, kOptionsMissingValue},
      {{"--restore-watchdog", "1", "2"}, kOptionsUnknown},
      {{"--socks-user"}, kOptionsMissingValue},
      {{"--socks-user", "a"}, kOptionsRun},
      {{"--socks-user", std::string(255, 'u')}, kOptionsRun},
      {{"--socks-user", ""}, kOptionsInvalidUser},
      {{"--socks-user", std::string(256, 'u')}, kOptionsInvalidUser},
      {{"--socks-user", "", "--help"}, kOptionsHelp},
      {{"--socks-user", "", "--socks-user", "alice"}, kOptionsRun},
      {{"--socks-user", "alice", "--socks-user", ""}, kOptionsInvalidUser},
      {{"--socks-user", "", "--http-port", "0"}, kOptionsInvalidPort},
      {{"--Socks-User", "alice"}, kOptionsUnknown},
      // The flags take no value; an unknown name and a missing value keep
      // their places around them.
      {{"--save-password"}, kOptionsNeedsUser},
      {{"--socks-port", "1", "--forget-password"}, kOptionsNeedsUser},
      {{"--forget-password", "--socks-user", "a", "--save-password"}, kOptionsRun},
      {{"--save-password", "--help"}, kOptionsHelp},
      {{"--save-password", "--bogus"}, kOptionsMissingValue},
      {{"--save-password", "x", "--socks-user", "a"}, kOptionsUnknown},
      {{"--bogus", "--save-password"}, kOptionsUnknown},
      {{"--socks-host", "--save-password"}, kOptionsRun},
      {{"--save-password", "--http-port", "0"}, kOptionsInvalidPort},
      {{"--forget-password", "--socks-user", ""}, kOptionsInvalidUser},
      {{"--log"}, kOptionsMissingValue},
      {{"--log", "run.log", "--http-port", "0"}, kOptionsInvalidPort},
      {{"--bypass"}, kOptionsMissingValue},
      {{"--bypass", ""}, kOptionsInvalidBypass},
      {{"--bypass", "bad entry"}, kOptionsInvalidBypass},
      {{"--bypass", "", "--bypass", "a"}, kOptionsRun},
      {{"--bypass", "a", "--bypass", ";"}, kOptionsInvalidBypass},
      {{"--bypass", "", "--help"}, kOptionsHelp},
      {{"--bypass", "", "--socks-user", ""}, kOptionsInvalidUser},
      {{"--bypass", "", "--plain-http", "x"}, kOptionsInvalidBypass},
      {{"--plain-http"}, kOptionsMissingValue},
      {{"--plain-http", "refuse"}, kOptionsRun},
      {{"--plain-http", "forward"}, kOptionsRun},
      {{"--plain-http", "Forward"}, kOptionsInvalidPlainHttp},
      {{"--plain-http", ""}, kOptionsInvalidPlainHttp},
      {{"--plain-http", "x", "--plain-http", "refuse"}, kOptionsRun},
      {{"--Plain-Http", "forward"}, kOptionsUnknown},
      {{"--save-password", "--bypass", ""}, kOptionsNeedsUser},
      {{"--on-disconnect"}, kOptionsMissingValue},
      {{"--on-disconnect", "Wait"}, kOptionsInvalidDisconnect},
      {{"--on-disconnect", "x", "--on-disconnect", "restore"}, kOptionsRun},
      {{"--plain-http", "x", "--on-disconnect", "x"}, kOptionsInvalidPlainHttp},
      {{"--on-disconnect", "x", "--help"}, kOptionsHelp},
      // --version wins at once like --help; an error before it wins.
      {{"--version"}, kOptionsVersion},
      {{"--http-port", "0", "--version", "--help"}, kOptionsVersion},
      {{"--help", "--version"}, kOptionsHelp},
      {{"--bogus", "x", "--version"}, kOptionsUnknown},
      {{"--socks-host", "--version"}, kOptionsRun},
      {{"--create-shortcut"}, kOptionsRun},
      {{"--create-shortcut", "--bypass", " ; ;"}, kOptionsInvalidBypass},
      {{"--create-shortcut", "--version"}, kOptionsVersion},
      {{"--bogus", "--create-shortcut"}, kOptionsUnknown},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& a : c.arguments) shown += a + " ";
    EXPECT_EQ(parse(c.arguments).result, c.expected) << shown;
  }
}

TEST(Options, LaterValuesReplaceEarlierOnesAndLongTextsAreCut) {
  Parsed parsed = parse({"--socks-host", "a", "--socks-host", std::string(300, 'h'), "--socks-port",
                         std::string(20, '9'), "--http-port", "18119"});
  EXPECT_EQ(parsed.result, kOptionsRun);
  EXPECT_EQ(parsed.host, std::string(255, 'h'));
  EXPECT_EQ(parsed.port, std::string(15, '9'));
  EXPECT_EQ(parsed.http_port, 18119u);
  EXPECT_EQ(parse({"--socks-host", "--help"}).host, "--help");
  // A user name is taken whole, never cut, and may look like an option.
  EXPECT_EQ(parse({"--socks-user", std::string(255, 'u')}).user, std::string(255, 'u'));
  EXPECT_EQ(parse({"--socks-user", "--help"}).user, "--help");
  EXPECT_EQ(parse({"--socks-user", std::string(256, 'u')}).user, "");
  // A flag's next argument is a name again, and a value is never a flag.
  EXPECT_EQ(
      parse({"--save-password", "--socks-user", "a", "--socks-host", "--forget-password"}).host,
      "--forget-password");
  EXPECT_TRUE(options.save_password && !options.forget_password);
  EXPECT_EQ(parse({}).log, "(none)");
  EXPECT_EQ(parse({"--log", "a.log", "--log", "--help"}).log, "--help");
}

TEST(Options, PlainHttpAndDisconnectModesFollowTheLastValue) {
  EXPECT_EQ(parse({"--plain-http", "forward"}).plain_http, kPlainHttpForward);
  EXPECT_EQ(parse({"--plain-http", "forward", "--plain-http", "refuse"}).plain_http,
            kPlainHttpRefuse);
  EXPECT_EQ(parse({"--on-disconnect", "wait"}).result, kOptionsRun);
  EXPECT_TRUE(options.wait_on_disconnect);
  parse({"--on-disconnect", "wait", "--on-disconnect", "restore"});
  EXPECT_FALSE(options.wait_on_disconnect);
  parse({});
  EXPECT_FALSE(options.wait_on_disconnect);
}

TEST(Options, BypassListKeepsTheLaunchersEntriesFirstAndRefusesBadLists) {
  const std::string base = "<local>;localhost;127.0.0.1";
  const std::string longest(255, 'e');
  // Entries that fill the list to 2047 characters exactly: 27 + 8 * 252 + 4.
  std::string full;
  for (int i = 0; i < 8; ++i) full += std::string(250, static_cast<char>('a' + i)) + "." + ";";
  full += "i.j";
  struct Case {
    std::string value;
    int accepted;
    std::string list;
  } cases[] = {
      {"*.corp.example;10.*;192.168.*;intranet:8080", 1,
       base + ";*.corp.example;10.*;192.168.*;intranet:8080"},
      {"  a ; ;b;;  ", 1, base + ";a;b"},
      {"A;b;a;B;LOCALHOST;<LOCAL>;127.0.0.1;c", 1, base + ";A;b;c"},
      {"localhost", 1, base},
      {"!~", 1, base + ";!~"},
      {longest, 1, base + ";" + longest},
      {full, 1, base + ";" + full},
      {full + "k", 0, base},
      {longest + "f", 0, base},
      {"", 0, base},
      {" ; ;", 0, base},
      {"a b", 0, base},
      {"a\tb", 0, base},
      {"a;\x7f", 0, base},
      {"caf\xc3\xa9", 0, base},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.substr(0, 40));
    char list[kProxyBypassMax + 1];
    EXPECT_EQ(options_build_bypass(c.value.c_str(), list), c.accepted);
    EXPECT_EQ(std::string(list), c.list);
    Parsed parsed = parse({"--bypass", c.value});
    EXPECT_EQ(parsed.result, c.accepted ? kOptionsRun : kOptionsInvalidBypass);
  }
  EXPECT_EQ(base.size() + 1 + full.size(), kProxyBypassMax);
}

TEST(Options, PortConversionFollowsAtoiAndKeepsTheLow16Bits) {
  struct Case {
    const char* text;
    int ok;
    unsigned port;
  } cases[] = {
      {"18118", 1, 18118},
      {"70000", 1, 4464},
      {"-1", 1, 65535},
      {"  +80x", 1, 80},
      {"\t\n42", 1, 42},
      {"abc", 1, 0},
      {"", 1, 0},
      {"65535", 1, 65535},
      {"2147483647", 1, 65535},
      {"-2147483648", 1, 0},
      {"2147483648", 0, 0},
      {"4294967296", 0, 0},
      {"- 5", 1, 0},
  };
  for (const auto& c : cases) {
    uint16_t port = 12345;
    EXPECT_EQ(options_convert_port(c.text, &port), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(port, c.port) << c.text;
    }
  }
}

TEST(Options, WatchdogModeNeedsExactlyTwoArgumentsAfterThePath) {
  char program[] = "x.exe";
  char mode[] = "--restore-watchdog";
  char pid[] = "123";
  char extra[] = "4";
  char upper[] = "--Restore-Watchdog";
  char* two[] = {program, mode, pid};
  char* one[] = {program, mode};
  char* three[] = {program, mode, pid, extra};
  char* wrong_case[] = {program, upper, pid};
  EXPECT_TRUE(options_is_watchdog_mode(3, two));
  EXPECT_FALSE(options_is_watchdog_mode(2, one));
  EXPECT_FALSE(options_is_watchdog_mode(4, three));
  EXPECT_FALSE(options_is_watchdog_mode(3, wrong_case));
}

}  // namespace
