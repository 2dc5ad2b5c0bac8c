#include "launcher/observation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/thread.h"

namespace {

// A fake clock for the window: counts the sleeps and raises the counter when
// the sleep numbered raise_at_sleep (1-based) ends; 0 never raises it.
ProxyContext* fake_context = nullptr;
int fake_sleeps = 0;
unsigned fake_last_sleep_ms = 0;
int fake_raise_at_sleep = 0;

void fake_sleep_ms(unsigned milliseconds) {
  ++fake_sleeps;
  fake_last_sleep_ms = milliseconds;
  if (fake_sleeps == fake_raise_at_sleep) fake_context->app_tunnel_count.fetch_add(1);
}

std::string box_text;
std::string box_caption;
unsigned box_icon = 0;
int box_count = 0;

void record_box(const char* text, const char* caption, unsigned icon) {
  box_text = text;
  box_caption = caption;
  box_icon = icon;
  ++box_count;
}

class ObservationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    proxy_context_set_defaults(&context_);
    fake_context = &context_;
    fake_sleeps = 0;
    fake_last_sleep_ms = 0;
    fake_raise_at_sleep = 0;
    box_text.clear();
    box_caption.clear();
    box_icon = 0;
    box_count = 0;
  }

  ProxyContext context_;
  ObservationServices fake_ = {fake_sleep_ms, record_box};
};

TEST_F(ObservationTest, CounterAlreadyPositiveSucceedsWithoutSleeping) {
  context_.app_tunnel_count.store(3);
  EXPECT_EQ(1, observation_wait_for_app_tunnel(&context_, &fake_));
  EXPECT_EQ(0, fake_sleeps);
}

TEST_F(ObservationTest, TunnelCountedDuringASleepIsSeenAtTheNextCheck) {
  const int raise_at[] = {1, 2, 20, 59};
  for (int sleep : raise_at) {
    SetUp();
    fake_raise_at_sleep = sleep;
    EXPECT_EQ(1, observation_wait_for_app_tunnel(&context_, &fake_)) << "raised in sleep " << sleep;
    EXPECT_EQ(sleep, fake_sleeps);
    EXPECT_EQ(500u, fake_last_sleep_ms);
  }
}

// The sixtieth check comes before the last sleep; the verdict follows that
// sleep without another look, so a tunnel counted during it is not seen.
TEST_F(ObservationTest, TunnelCountedDuringTheLastSleepIsNotSeen) {
  fake_raise_at_sleep = 60;
  EXPECT_EQ(0, observation_wait_for_app_tunnel(&context_, &fake_));
  EXPECT_EQ(60, fake_sleeps);
}

TEST_F(ObservationTest, NoTunnelGivesUpAfterSixtySleeps) {
  EXPECT_EQ(0, observation_wait_for_app_tunnel(&context_, &fake_));
  EXPECT_EQ(60, fake_sleeps);
  EXPECT_EQ(500u, fake_last_sleep_ms);
}

// With the real sleep: a tunnel counted by another thread about 1.2 s into the
// window is seen within one 500 ms step.
TEST_F(ObservationTest, RealTimeTunnelFromAnotherThreadIsSeenWithinOneStep) {
  ObservationServices real = {thread_sleep_ms, record_box};
  std::chrono::steady_clock::time_point raised;
  std::thread tunnel([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    raised = std::chrono::steady_clock::now();
    context_.app_tunnel_count.fetch_add(1);
  });
  int seen = observation_wait_for_app_tunnel(&context_, &real);
  auto found = std::chrono::steady_clock::now();
  tunnel.join();
  EXPECT_EQ(1, seen);
  auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(found - raised).count();
  EXPECT_GE(delay, 0);
  EXPECT_LE(delay, 500 + 150);
}

constexpr char kOutcomeBoth[] =
    "Verification succeeded.\n\nDirect public IP: 198.51.100.7\nSOCKS5 exit IP: 203.0.113.9\n"
    "Lumaret effective exit IP: 203.0.113.9\n\nLumaret/Corvane traffic was observed through the "
    "local proxy, so its effective exit is the SOCKS5 exit shown above.\n\nKeep the launcher "
    "window open while using Lumaret.";

TEST(ObservationOutcome, FormatsBothAddresses) {
  char text[1024];
  EXPECT_EQ(1, observation_format_outcome(text, sizeof(text), "198.51.100.7", "203.0.113.9"));
  EXPECT_STREQ(kOutcomeBoth, text);
}

TEST(ObservationOutcome, EmptyAddressesReadUnavailable) {
  struct Case {
    const char* direct;
    const char* exit;
    const char* expected_direct;
    const char* expected_exit;
  } cases[] = {
      {"", "", "Unavailable", "Unavailable"},
      {"", "203.0.113.9", "Unavailable", "203.0.113.9"},
      {"198.51.100.7", "", "198.51.100.7", "Unavailable"},
  };
  for (const Case& c : cases) {
    char text[1024];
    char expected[1024];
    snprintf(expected, sizeof(expected),
             "Verification succeeded.\n\nDirect public IP: %s\nSOCKS5 exit IP: %s\nLumaret "
             "effective exit IP: %s\n\n",
             c.expected_direct, c.expected_exit, c.expected_exit);
    EXPECT_EQ(1, observation_format_outcome(text, sizeof(text), c.direct, c.exit));
    EXPECT_EQ(0, strncmp(expected, text, strlen(expected))) << text;
  }
}

TEST(ObservationOutcome, LongestAddressesFitAndLongerTextIsCutWithNul) {
  char address[80];
  memset(address, '1', 79);
  address[79] = '\0';
  char text[1024];
  EXPECT_EQ(1, observation_format_outcome(text, sizeof(text), address, address));

  char small[40];
  memset(small, 'x', sizeof(small));
  EXPECT_EQ(0, observation_format_outcome(small, sizeof(small), address, address));
  EXPECT_EQ(39u, strlen(small));
  EXPECT_EQ(0, strncmp("Verification succeeded.\n\nDirect public ", small, 39));
}

TEST_F(ObservationTest, SuccessWritesTheComparisonAndShowsTheInformationBox) {
  context_.app_tunnel_count.store(1);
  ::testing::internal::CaptureStdout();
  int result = observe_app_traffic(&context_, "", "203.0.113.9", &fake_);
  std::string output = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(0, result);
  EXPECT_EQ(
      "[3/3] PASSED - Lumaret/Corvane traffic was observed through the local proxy.\n\n"
      "IP comparison\n"
      "  Direct public IP:            Unavailable\n"
      "  SOCKS5 exit IP:              203.0.113.9\n"
      "  Lumaret effective exit IP:   203.0.113.9 (inferred from verified proxy route)\n\n",
      output);
  EXPECT_EQ(1, box_count);
  EXPECT_EQ("Lumaret Proxy - Verification succeeded", box_caption);
  EXPECT_EQ(0x40u, box_icon);
  char expected[1024];
  observation_format_outcome(expected, sizeof(expected), "", "203.0.113.9");
  EXPECT_EQ(expected, box_text);
}

TEST_F(ObservationTest, NoTrafficWritesNotConfirmedAndShowsTheWarningBox) {
  ::testing::internal::CaptureStdout();
  int result = observe_app_traffic(&context_, "198.51.100.7", "203.0.113.9", &fake_);
  std::string output = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(11, result);
  EXPECT_EQ(60, fake_sleeps);
  EXPECT_EQ("[3/3] NOT CONFIRMED - no Lumaret/Corvane tunnel was observed within 30 seconds.\n\n",
            output);
  EXPECT_EQ(1, box_count);
  EXPECT_EQ("Lumaret Proxy - App verification not confirmed", box_caption);
  EXPECT_EQ(0x30u, box_icon);
  EXPECT_EQ(
      "The SOCKS5 and HTTPS tests passed, but Lumaret app traffic was not observed through the "
      "local proxy within 30 seconds.\n\nThe launcher cannot claim full success. Try refreshing "
      "Lumaret, then check the console again.",
      box_text);
}

}  // namespace
