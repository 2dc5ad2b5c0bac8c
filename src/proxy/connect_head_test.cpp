#include "proxy/connect_head.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
#include <string>

#include "build_constants.h"
#include "proxy/forward_head.h"

namespace {

struct SplitCase {
  const char* target;
  int accepted;
  const char* host;
  uint16_t port;
};

struct ParseCase {
  const char* name;
  std::string head;
  int accepted;
  std::string host;
  uint16_t port;
};

}  // namespace

TEST(ConnectHead, ResponsesHaveTheirFixedLengths) {
  EXPECT_EQ(strlen(kResponseRefused), 73u);
  EXPECT_EQ(strlen(kResponseBadGateway), 66u);
  EXPECT_EQ(strlen(kResponseEstablished), 76u);
}

TEST(ConnectHead, SplitsTargetsIntoHostAndPort) {
  const SplitCase cases[] = {
      {"192.0.2.7:443", 1, "192.0.2.7", 443},
      {"example.org", 1, "example.org", 443},
      {"[2001:db8::1]:1080", 1, "2001:db8::1", 1080},
      {"[2001:db8::1]", 1, "2001:db8::1", 443},
      {"[2001:db8::1]x:80", 1, "2001:db8::1", 443},  // only ":" right after "]" gives a port
      {"[2001:db8::1", 0, "", 0},
      {"[]:443", 0, "", 0},
      {"2001:db8::1", 1, "2001:db8:", 1},  // unbracketed: split at the last colon
      {":443", 0, "", 0},
      {"h:0", 0, "", 0},
      {"h:1", 1, "h", 1},
      {"h:65535", 1, "h", 65535},
      {"h:65536", 0, "", 0},
      {"h:-1", 0, "", 0},
      {"h:99999999999999999999999", 0, "", 0},
      {"h:", 0, "", 0},
      {"h:https", 0, "", 0},
      {"h:443abc", 1, "h", 443},
      {"[::1]:0", 0, "", 0},
      {"[::1]:65536", 0, "", 0},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.target);
    ConnectTarget target;
    memset(&target, 0x5A, sizeof(target));
    ASSERT_EQ(connect_target_split(c.target, &target), c.accepted);
    if (!c.accepted) continue;
    EXPECT_STREQ(target.host, c.host);
    EXPECT_EQ(target.port, c.port);
  }
}

TEST(ConnectHead, CutsLongHostsTo255Bytes) {
  const std::string long_name(300, 'a');
  const std::string expected(255, 'a');
  const std::string targets[] = {long_name + ":8443", "[" + long_name + "]:8443"};
  for (const std::string& text : targets) {
    SCOPED_TRACE(text.substr(0, 3));
    ConnectTarget target;
    memset(&target, 0x5A, sizeof(target));
    ASSERT_EQ(connect_target_split(text.c_str(), &target), 1);
    EXPECT_EQ(std::string(target.host), expected);
    EXPECT_EQ(target.port, 8443);
  }
  // Exactly 255 bytes stay whole.
  ConnectTarget target;
  ASSERT_EQ(connect_target_split(expected.c_str(), &target), 1);
  EXPECT_EQ(strlen(target.host), 255u);
}

TEST(ConnectHead, ParsesRequestHeads) {
  const std::string b600(600, 'b');
  const std::string b511(511, 'b');
  const std::string c40(40, 'c');
  const ParseCase cases[] = {
      {"full request", "CONNECT 192.0.2.7:443 HTTP/1.1\r\nHost: 192.0.2.7:443\r\n\r\n", 1,
       "192.0.2.7", 443},
      {"lower-case method", "connect 192.0.2.7:443 HTTP/1.1\r\n\r\n", 1, "192.0.2.7", 443},
      {"mixed-case method", "CoNnEcT h:7 HTTP/1.0\r\n\r\n", 1, "h", 7},
      {"GET refused", "GET http://192.0.2.7/ HTTP/1.1\r\nHost: 192.0.2.7\r\n\r\n", 0, "", 0},
      {"longer method refused", "CONNECTS h:443 HTTP/1.1\r\n\r\n", 0, "", 0},
      {"two tokens refused", "CONNECT 192.0.2.7:443\r\n\r\n", 0, "", 0},
      {"header line is the third token", "CONNECT 192.0.2.7:443\r\nHost: x\r\n\r\n", 1, "192.0.2.7",
       443},
      {"empty head", "", 0, "", 0},
      {"whitespace only", " \r\n\r\n", 0, "", 0},
      {"refused target", "CONNECT [2001:db8::1 HTTP/1.1\r\n\r\n", 0, "", 0},
      // A 600-byte target is cut at 511; its rest becomes the version token.
      {"target cut, rest is the version", "CONNECT " + b600 + "\r\n\r\n", 1, std::string(255, 'b'),
       443},
      {"511-byte target, nothing left over", "CONNECT " + b511 + "\r\n\r\n", 0, "", 0},
      {"long version cut", "CONNECT h:9 " + c40 + "\r\n\r\n", 1, "h", 9},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    ConnectTarget target;
    memset(&target, 0x5A, sizeof(target));
    ASSERT_EQ(connect_head_parse(c.head.c_str(), &target), c.accepted);
    if (!c.accepted) continue;
    EXPECT_EQ(std::string(target.host), c.host);
    EXPECT_EQ(target.port, c.port);
  }
}

TEST(ConnectHead, NulEndsTheScannedHead) {
  const char head[] = "CONNECT\0 h:443 HTTP/1.1\r\n\r\n";
  ConnectTarget target;
  EXPECT_EQ(connect_head_parse(head, &target), 0);
}

TEST(ConnectHead, FindsTheBlankLine) {
  using namespace std::string_literals;  // "..."s keeps an embedded NUL
  struct EndCase {
    std::string head;
    size_t end;
  };
  const std::string long_line = "X-Pad: " + std::string(2000, 'p') + "\r\n";
  const EndCase cases[] = {
      {"CONNECT h:1 HTTP/1.1\r\n\r\n", 24},
      {"CONNECT h:1 HTTP/1.1\r\n\r\nearly bytes", 24},
      {"\r\n\r\n", 4},
      {"CONNECT h:1 HTTP/1.1\n\n", 0},  // bare line feeds never complete a head
      {"CONNECT h:1 HTTP/1.1\r\n\n\r\n", 0},
      {"CONNECT h:1 HTTP/1.1\r\n\r", 0},
      {"\r\r\n\r\n\r\n", 5},
      {"CONNECT h:1 HTTP/1.1\r\n" + long_line + "\r\n", 2033},
      {"", 0},
      // The search stops at the first NUL even when a blank line follows it.
      {"CONNECT h:1 HTTP/1.1\r\n\0\r\n\r\n"s, 0},
      {"\0\r\n\r\n"s, 0},
      {"CONNECT h:1 HTTP/1.1\r\n\r\n\0\r\n\r\n"s, 24},
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(c.head.substr(0, 40));
    EXPECT_EQ(connect_head_end(c.head.c_str()), c.end);
    // The same answer when the head arrives byte by byte or in random pieces,
    // with the search resumed after each piece as the tunnel does.
    for (unsigned max_piece : {1u, 3u, 9u, 64u}) {
      std::mt19937 random(max_piece);
      for (int run = 0; run < (max_piece == 1 ? 1 : 10); ++run) {
        size_t searched = 0;
        size_t length = 0;
        size_t end = 0;
        while (end == 0 && length < c.head.size()) {
          length += std::min<size_t>(c.head.size() - length, 1 + random() % max_piece);
          end = connect_head_end_next(c.head.data(), length, &searched);
          ASSERT_EQ(end, connect_head_end(c.head.substr(0, length).c_str())) << length;
        }
        EXPECT_EQ(end, c.end);
      }
    }
  }
  // Bytes searched before are not searched again.
  size_t searched = 5;
  EXPECT_EQ(connect_head_end_next("\r\n\r\nX", 5, &searched), 0u);
}

TEST(ConnectHead, CountsHostsContainingAMarker) {
  for (const char* marker : app_traffic_markers) {
    SCOPED_TRACE(marker);
    EXPECT_EQ(connect_host_is_app_traffic(marker), 1);
    // A marker inside a longer name counts too.
    const std::string longer = std::string("edge-") + marker + ".example";
    EXPECT_EQ(connect_host_is_app_traffic(longer.c_str()), 1);
    std::string upper = marker;
    for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(connect_host_is_app_traffic(upper.c_str()), 0);
    const std::string shortened(marker, strlen(marker) - 1);
    EXPECT_EQ(connect_host_is_app_traffic(shortened.c_str()), 0);
  }
  EXPECT_EQ(connect_host_is_app_traffic("192.0.2.7"), 0);
  EXPECT_EQ(connect_host_is_app_traffic(""), 0);
}

TEST(ForwardHead, RewritesAbsoluteRequestsAndRefusesTheRest) {
  struct ForwardCase {
    const char* name;
    std::string head;
    std::string host;  // empty: refused
    uint16_t port;
    std::string rewritten;
  };
  const std::string close = "Connection: close\r\n\r\n";
  const std::string t511 = "http://h/" + std::string(502, 'p');
  const ForwardCase cases[] = {
      {"port 80 by default",
       "GET http://example.org/a?b=1#frag HTTP/1.1\r\nHost: example.org\r\n\r\n", "example.org", 80,
       "GET /a?b=1 HTTP/1.1\r\nHost: example.org\r\n" + close},
      {"hop-by-hop headers dropped, named ones too, in any case",
       "POST HTTP://h:8080 HTTP/1.0\r\nproxy-connection: keep-alive\r\nX-A:1\r\n"
       "Connection: X-Gone ,\tupgrade\r\nKeep-Alive: 5\r\nx-gone: 2\r\nUpgrade: h2c\r\n"
       "Proxy-Authorization: Basic eA==\r\nContent-Length: 3\r\n\r\n",
       "h", 8080, "POST / HTTP/1.0\r\nHost: h:8080\r\nX-A:1\r\nContent-Length: 3\r\n" + close},
      {"Host lines replaced by the URL's authority, without port 80",
       "GET http://H:080/ HTTP/1.1\r\nHost: evil\r\nX: 1\r\nhost: other\r\n\r\n", "H", 80,
       "GET / HTTP/1.1\r\nHost: H\r\nX: 1\r\n" + close},
      {"query without path", "HEAD http://h?q HTTP/1.1\r\n\r\n", "h", 80,
       "HEAD /?q HTTP/1.1\r\nHost: h\r\n" + close},
      {"bracketed IPv6", "GET http://[2001:db8::1]:81/ HTTP/1.1\r\n\r\n", "2001:db8::1", 81,
       "GET / HTTP/1.1\r\nHost: [2001:db8::1]:81\r\n" + close},
      {"511-byte target", "GET " + t511 + " HTTP/1.1\r\n\r\n", "h", 80,
       "GET " + t511.substr(8) + " HTTP/1.1\r\nHost: h\r\n" + close},
      {"512-byte target", "GET " + t511 + "p HTTP/1.1\r\n\r\n", "", 0, ""},
      {"user information", "GET http://u:p@h/ HTTP/1.1\r\n\r\n", "", 0, ""},
      {"other scheme", "GET https://h/ HTTP/1.1\r\n\r\n", "", 0, ""},
      {"origin form", "GET / HTTP/1.1\r\nHost: h\r\n\r\n", "", 0, ""},
      {"empty host", "GET http:///x HTTP/1.1\r\n\r\n", "", 0, ""},
      {"empty host before port", "GET http://:80/ HTTP/1.1\r\n\r\n", "", 0, ""},
      {"port 0", "GET http://h:0/ HTTP/1.1\r\n\r\n", "", 0, ""},
      {"port 65536", "GET http://h:65536/ HTTP/1.1\r\n\r\n", "", 0, ""},
      {"port 65535", "GET http://h:65535/ HTTP/1.1\r\n\r\n", "h", 65535,
       "GET / HTTP/1.1\r\nHost: h:65535\r\n" + close},
      {"empty port", "GET http://h:/ HTTP/1.1\r\n\r\n", "", 0, ""},
      {"port with letters", "GET http://h:80x/ HTTP/1.1\r\n\r\n", "", 0, ""},
      {"unbracketed IPv6", "GET http://2001:db8::1/ HTTP/1.1\r\n\r\n", "", 0, ""},
      {"host of 256 bytes", "GET http://" + std::string(256, 'h') + "/ HTTP/1.1\r\n\r\n", "", 0,
       ""},
      {"CONNECT is never forwarded", "CONNECT http://h/ HTTP/1.1\r\n\r\n", "", 0, ""},
      {"two spaces", "GET  http://h/ HTTP/1.1\r\n\r\n", "", 0, ""},
      {"no version", "GET http://h/\r\n\r\n", "", 0, ""},
      {"bare line feed inside", "GET http://h/ HTTP/1.1\r\nX: a\nConnection: x\r\n\r\n", "", 0, ""},
      {"folded line", "GET http://h/ HTTP/1.1\r\nX: a\r\n b\r\n\r\n", "", 0, ""},
      {"space before colon", "GET http://h/ HTTP/1.1\r\nConnection : x\r\n\r\n", "", 0, ""},
      {"header without colon", "GET http://h/ HTTP/1.1\r\nX\r\n\r\n", "", 0, ""},
  };
  for (const ForwardCase& c : cases) {
    SCOPED_TRACE(c.name);
    ForwardRequest request;
    memset(&request, 0x5A, sizeof(request));
    const size_t end = connect_head_end(c.head.c_str());
    ASSERT_NE(end, 0u);
    ASSERT_EQ(forward_request_parse(c.head.c_str(), end, &request), c.host.empty() ? 0 : 1);
    if (c.host.empty()) continue;
    EXPECT_EQ(std::string(request.target.host), c.host);
    EXPECT_EQ(request.target.port, c.port);
    char out[kForwardHeadCapacity];
    const size_t length = forward_head_rewrite(c.head.c_str(), &request, out, sizeof(out));
    EXPECT_EQ(std::string(out, length), c.rewritten);
    // One byte short of the rewritten head does not fit.
    EXPECT_EQ(forward_head_rewrite(c.head.c_str(), &request, out, length - 1), 0u);
  }
  // A head without its blank line, and too many names listed by Connection.
  ForwardRequest request;
  EXPECT_EQ(forward_request_parse("GET http://h/ HTTP/1.1\r\n", 0, &request), 0);
  std::string many = "GET http://h/ HTTP/1.1\r\nConnection: a";
  for (size_t i = 1; i < kForwardConnectionTokensMax; ++i) many += ",a";
  const std::string enough = many + "\r\n\r\n";
  const std::string too_many = many + ",a\r\n\r\n";
  EXPECT_EQ(forward_request_parse(enough.c_str(), enough.size(), &request), 1);
  EXPECT_EQ(forward_request_parse(too_many.c_str(), too_many.size(), &request), 0);
}

TEST(ForwardHead, TellsWhereARequestBodyEndsAndRefusesAmbiguousLengths) {
  struct FramingCase {
    const char* headers;
    int kind;  // -1: refused with 400
    uint64_t length;
  };
  const FramingCase cases[] = {
      {"", kBodyNone, 0},
      {"Content-Length: 0\r\n", kBodyLength, 0},
      {"content-length:  70000 \r\n", kBodyLength, 70000},
      {"Content-Length: 9999999999999999999\r\n", kBodyLength, 9999999999999999999ull},
      {"Transfer-Encoding: Chunked\r\n", kBodyChunked, 0},
      {"Content-Length: 10000000000000000000\r\n", -1, 0},
      {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", -1, 0},
      {"Transfer-Encoding: chunked\r\nContent-Length: 0\r\n", -1, 0},
      {"Content-Length: 5\r\nContent-Length: 5\r\n", -1, 0},
      {"Content-Length: 5, 5\r\n", -1, 0},
      {"Content-Length: +5\r\n", -1, 0},
      {"Content-Length: 0x5\r\n", -1, 0},
      {"Content-Length: 5 5\r\n", -1, 0},
      {"Content-Length:\r\n", -1, 0},
      {"Transfer-Encoding: gzip, chunked\r\n", -1, 0},
      {"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", -1, 0},
      {"Transfer-Encoding: identity\r\n", -1, 0},
  };
  for (const FramingCase& c : cases) {
    SCOPED_TRACE(c.headers);
    const std::string head = std::string("POST http://h/ HTTP/1.1\r\n") + c.headers + "\r\n";
    ForwardRequest request;
    ASSERT_EQ(forward_request_parse(head.c_str(), head.size(), &request), 1);
    ASSERT_EQ(forward_request_framing(head.c_str(), &request), c.kind < 0 ? 0 : 1);
    if (c.kind < 0) continue;
    EXPECT_EQ(request.body.kind, c.kind);
    EXPECT_EQ(request.body.remaining, c.length);
  }
}

TEST(ForwardHead, ScansChunkedBodiesToTheirEndInAnyPieces) {
  struct ChunkCase {
    std::string body;  // what follows the head, the next request included
    int result;
    size_t consumed;
  };
  const std::string ext(4096 - 3, 'e');  // a size line of 4096 bytes with its CR
  const ChunkCase cases[] = {
      {"5;name=\"v\"\r\nhello\r\nA \r\n0123456789\r\n0\r\nX-T: 1\r\n\r\nGET /next", kBodyDone, 48},
      {"000000000000000001\r\nx\r\n00\r\n\r\n", kBodyDone, 29},
      {"1;" + ext + "\r\nx\r\n0\r\n\r\n", kBodyDone, 4097 + 8},
      {"1;" + ext + "e\r\n", kBodyBad, 4096},
      {"5\r\nhel", kBodyMore, 6},
      {"g\r\n", kBodyBad, 0},
      {"1g\r\nx\r\n", kBodyBad, 1},
      {"0x5\r\n", kBodyBad, 1},
      {"fffffffffffffff\r\n", kBodyMore, 17},
      {"1000000000000000\r\n", kBodyBad, 15},
      {"5\nhello\r\n", kBodyBad, 1},
      {"5\r\nhelloX\r\n", kBodyBad, 8},
      {"0\r\nX-T: 1\n\r\n", kBodyBad, 9},
      {"1;\x01\r\n", kBodyBad, 2},
  };
  for (const ChunkCase& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 40));
    for (size_t piece : {c.body.size(), size_t{1}, size_t{7}}) {
      ForwardBodyScan scan;
      forward_body_start(&scan, kBodyChunked, 0);
      size_t at = 0;
      int result = kBodyMore;
      while (result == kBodyMore && at < c.body.size()) {
        const size_t length = std::min(piece, c.body.size() - at);
        size_t consumed = 0;
        result = forward_body_scan(&scan, c.body.data() + at, length, &consumed);
        ASSERT_LE(consumed, length);
        at += consumed;
      }
      EXPECT_EQ(result, c.result) << piece;
      EXPECT_EQ(at, c.consumed) << piece;
    }
  }
  // A trailer section past its limit; a length body stops at its end.
  ForwardBodyScan scan;
  forward_body_start(&scan, kBodyChunked, 0);
  const std::string trailers = "0\r\nX: " + std::string(kChunkTrailerMax, 't') + "\r\n\r\n";
  size_t consumed = 0;
  EXPECT_EQ(forward_body_scan(&scan, trailers.data(), trailers.size(), &consumed), kBodyBad);
  EXPECT_EQ(consumed, 3 + kChunkTrailerMax);
  forward_body_start(&scan, kBodyLength, 3);
  EXPECT_EQ(forward_body_scan(&scan, "abcdef", 6, &consumed), kBodyDone);
  EXPECT_EQ(consumed, 3u);
}

TEST(ForwardHead, RewritesTheOriginsResponseHeadSoThatTheClientCloses) {
  struct ResponseCase {
    std::string head;
    int head_request;
    std::string rewritten;  // empty: refused with 502
    int kind;
    uint64_t length;
  };
  const std::string close = "Connection: close\r\n\r\n";
  const ResponseCase cases[] = {
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive, X-Trace\r\nKeep-Alive: timeout=5\r\n"
       "X-Trace: 1\r\nProxy-Connection: x\r\nContent-Length: 3\r\nSet-Cookie: a=b; c\r\n\r\n",
       0, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nSet-Cookie: a=b; c\r\n" + close, kBodyLength, 3},
      {"HTTP/1.1 100 Continue\r\n\r\n", 0, "HTTP/1.1 100 Continue\r\n" + close, kBodyNone, 0},
      {"HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\n", 0,
       "HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n" + close, kBodyNone, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n", 1,
       "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n" + close, kBodyNone, 0},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\nContent-Length: 9\r\n\r\n", 0,
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\nContent-Length: 9\r\n" + close,
       kBodyChunked, 0},
      {"HTTP/1.0 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", 0,
       "HTTP/1.0 200 OK\r\nTransfer-Encoding: gzip\r\n" + close, kBodyUntilClose, 0},
      {"HTTP/1.1 200\r\n\r\n", 0, "HTTP/1.1 200\r\n" + close, kBodyUntilClose, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4, 4\r\n\r\n", 0,
       "HTTP/1.1 200 OK\r\nContent-Length: 4, 4\r\n" + close, kBodyLength, 4},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\n", 0, "", 0, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", 0, "", 0, 0},
      {"HTTP/1.1 2000 OK\r\n\r\n", 0, "", 0, 0},
      {"HTTP/1.1 099 Low\r\n\r\n", 0, "", 0, 0},
      {"ICY 200 OK\r\nX: 1\r\n\r\n", 0, "", 0, 0},
      {"HTTP/1.1 200 OK\r\nX: 1\nConnection: keep-alive\r\n\r\n", 0, "", 0, 0},
  };
  for (const ResponseCase& c : cases) {
    SCOPED_TRACE(c.head.substr(0, 40));
    ForwardResponse response;
    ASSERT_EQ(forward_response_parse(c.head.c_str(), c.head.size(), c.head_request, &response),
              c.rewritten.empty() ? 0 : 1);
    if (c.rewritten.empty()) continue;
    EXPECT_EQ(response.interim, c.head.compare(9, 3, "100") == 0 ? 1 : 0);
    EXPECT_EQ(response.body.kind, c.kind);
    EXPECT_EQ(response.body.remaining, c.length);
    char out[kForwardHeadCapacity];
    const size_t length = forward_response_rewrite(c.head.c_str(), &response, out, sizeof(out));
    EXPECT_EQ(std::string(out, length), c.rewritten);
    EXPECT_EQ(forward_response_rewrite(c.head.c_str(), &response, out, length - 1), 0u);
  }
}
