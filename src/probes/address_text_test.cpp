#include "probes/address_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct BodyCase {
  std::string body;
  int accepted;
  const char* text;  // the address text when accepted
};

}  // namespace

TEST(AddressText, AcceptsAddressesWithTrailingWhiteSpaceOnly) {
  const BodyCase cases[] = {
      {"203.0.113.7\n", 1, "203.0.113.7"},
      {"2001:db8::7\r\n", 1, "2001:db8::7"},
      {"2001:DB8::A \t\v\f", 1, "2001:DB8::A"},
      {"::1", 1, "::1"},
      {"1.2", 1, "1.2"},
      {" 203.0.113.7", 0, ""},
      {"ab", 0, ""},
      {"ab\n\n", 0, ""},
      {"ok", 0, ""},
      {"fe80::1%3", 0, ""},
      {"[::1]", 0, ""},
      {"2001:db8::g", 0, ""},
      {"1.2 3", 0, ""},
      {" \r\n\t", 0, ""},
      {"", 0, ""},
      {std::string("1.2\0"
                   "3",
                   5),
       0, ""},  // a NUL from the network is no terminator
  };
  for (const BodyCase& c : cases) {
    char out[kAddressTextCapacity];
    memset(out, 'x', sizeof(out));
    EXPECT_EQ(address_text_from_body(c.body.data(), c.body.size(), out), c.accepted) << c.body;
    EXPECT_STREQ(out, c.text) << c.body;
  }
}

TEST(AddressText, LongBodyKeepsItsFirst79Characters) {
  std::string body(100, 'a');
  body[0] = '1';
  char out[kAddressTextCapacity];
  ASSERT_EQ(address_text_from_body(body.data(), body.size(), out), 1);
  EXPECT_EQ(std::string(out), body.substr(0, 79));
}

TEST(AddressText, ChecksInPlace) {
  // The query reads the body straight into the caller's buffer.
  char out[kAddressTextCapacity] = "203.0.113.7\r\n";
  ASSERT_EQ(address_text_from_body(out, 13, out), 1);
  EXPECT_STREQ(out, "203.0.113.7");
}

TEST(AddressText, ReadsStopAt79Bytes) {
  EXPECT_EQ(address_text_next_read(0), 79u);
  EXPECT_EQ(address_text_next_read(78), 1u);
  EXPECT_EQ(address_text_next_read(79), 0u);
  EXPECT_EQ(address_text_next_read(500), 0u);
}
