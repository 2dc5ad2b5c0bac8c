#include "launcher/shortcut_arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/options.h"
#include "proxy/proxy_context.h"

namespace {

// Each row's quoted form is what CommandLineToArgvW splits back into the
// argument (the Wine shortcut test reads real shortcuts back that way).
TEST(ShortcutArguments, QuotesWhatWindowsWouldSplitOrStrip) {
  struct Case {
    const char* argument;
    const char* quoted;
  } cases[] = {
      {"plain", "plain"},
      {"", "\"\""},
      {"a.example; b.example", "\"a.example; b.example\""},
      {"tab\there", "\"tab\there\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"C:\\dir\\", "C:\\dir\\"},
      {"C:\\my dir\\", "\"C:\\my dir\\\\\""},
      {"a\\\\\"b", "\"a\\\\\\\\\\\"b\""},
      {"a\\b c", "\"a\\b c\""},
  };
  for (const Case& c : cases) {
    char text[64] = "x";
    size_t length = 1;
    ASSERT_EQ(shortcut_append_argument(text, sizeof(text), &length, c.argument), 1) << c.argument;
    EXPECT_EQ(std::string(text), std::string("x ") + c.quoted);
    EXPECT_EQ(length, strlen(text));
  }
  // One byte short leaves the text as it was; "x \"ab c\"" and its NUL take 9.
  char text[9] = "x";
  size_t length = 1;
  EXPECT_EQ(shortcut_append_argument(text, 8, &length, "ab c"), 0);
  EXPECT_EQ(std::string(text), "x");
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(shortcut_append_argument(text, 9, &length, "ab c"), 1);
  EXPECT_EQ(std::string(text), "x \"ab c\"");
}

TEST(ShortcutArguments, KeepsTheOptionsAndValuesButNotTheFlags) {
  struct Case {
    std::vector<std::string> arguments;
    const char* kept;
  } cases[] = {
      {{"--create-shortcut"}, ""},
      {{"--socks-user", "alice", "--create-shortcut", "--bypass", "a.example; b.example",
        "--save-password", "--forget-password"},
       "--socks-user alice --bypass \"a.example; b.example\""},
      {{"--socks-host", "--save-password", "--create-shortcut", "--log", ""},
       "--socks-host --save-password --log \"\""},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv;
    std::string program = "LumaretDesktopProxyLauncher.exe";
    argv.push_back(&program[0]);
    std::vector<std::string> arguments = c.arguments;
    for (std::string& argument : arguments) argv.push_back(&argument[0]);
    static ProxyContext context;
    proxy_context_set_defaults(&context);
    LauncherOptions options;
    const int argc = static_cast<int>(argv.size());
    ASSERT_EQ(options_parse(argc, argv.data(), &context, &options), kOptionsRun) << c.kept;
    EXPECT_TRUE(options.create_shortcut);
    char text[128];
    ASSERT_EQ(shortcut_build_arguments(argc, argv.data(), text, sizeof(text)), 1);
    EXPECT_EQ(std::string(text), c.kept);
    // Too small a buffer is a failure, never a shorter command line.
    if (strlen(c.kept) > 0) {
      EXPECT_EQ(shortcut_build_arguments(argc, argv.data(), text, strlen(c.kept)), 0);
      EXPECT_EQ(std::string(text), "");
    }
  }
}

}  // namespace
