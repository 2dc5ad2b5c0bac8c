#include "platform/run_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string format(const char* text, size_t capacity = kRunLogLineCapacity) {
  const RunLogTime time = {2026, 1, 9, 7, 5, 3, 42};
  char line[kRunLogLineCapacity];
  return std::string(line, run_log_format_line(line, capacity, &time, text));
}

TEST(RunLog, LinesHaveTheUtcStampAndCrLfAndNoControlBytes) {
  EXPECT_EQ(format("Start"), "2026-01-09T07:05:03.042Z Start\r\n");
  EXPECT_EQ(format(""), "2026-01-09T07:05:03.042Z \r\n");
  // A text cannot end the line early or forge a line of its own.
  EXPECT_EQ(format("a\r\n2026 b\tc\x7f"), "2026-01-09T07:05:03.042Z a??2026 b?c?\r\n");
  // UTF-8 passes unchanged; a cut text ends on a whole character.
  EXPECT_EQ(format("\xd0\x96\xe2\x82\xac"), "2026-01-09T07:05:03.042Z \xd0\x96\xe2\x82\xac\r\n");
  EXPECT_EQ(format("ab\xe2\x82\xac", kRunLogStampLength + 5), "2026-01-09T07:05:03.042Z ab\r\n");
  EXPECT_EQ(format("abc\xd0\x96", kRunLogStampLength + 6), "2026-01-09T07:05:03.042Z abc\r\n");
  EXPECT_EQ(format("ab\xd0\x96x", kRunLogStampLength + 6),
            "2026-01-09T07:05:03.042Z ab\xd0\x96\r\n");
  // Bytes that are no whole UTF-8 character: stray, overlong, surrogate, cut short.
  EXPECT_EQ(format("a\xff\x80\xc0\xaf\xed\xa0\x80\xe2\x82"),
            "2026-01-09T07:05:03.042Z a?????????\r\n");
  // Characters that a viewer takes for a line end or a turn of direction
  // (C1 controls, marks, separators, embeddings, isolates); their neighbours pass.
  EXPECT_EQ(format("a\xc2\x85\xc2\x9f\xd8\x9c\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\xa8\xe2\x80\xa9"
                   "\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9z"),
            "2026-01-09T07:05:03.042Z a???????????z\r\n");
  EXPECT_EQ(format("\xc2\xa0\xe2\x80\x8d\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"),
            "2026-01-09T07:05:03.042Z "
            "\xc2\xa0\xe2\x80\x8d\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\r\n");
  EXPECT_EQ(format(std::string(2000, 'x').c_str()).size(), kRunLogLineCapacity);
}

TEST(RunLog, TheLineThatPassesTheLimitBecomesTheStopLineAndNothingFollows) {
  struct Case {
    uint64_t offset;
    size_t length;
    RunLogDecision expected;
  } cases[] = {
      {0, 40, kRunLogWrite},
      {kRunLogLimit - 40, 40, kRunLogWrite},
      {kRunLogLimit - 39, 40, kRunLogWriteStop},
      {kRunLogLimit, 40, kRunLogWriteStop},
      {kRunLogLimit + 1, 40, kRunLogDrop},
      {kRunLogLimit * 2, 1, kRunLogDrop},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run_log_decide(c.offset, c.length, kRunLogLimit), c.expected) << c.offset;
  }
}

// The writer itself, on files near and at the limit (sparse, so nothing is
// really written), each opened as a new run opens its log. A file with room
// for the longest line gets lines up to the limit, the stop line in place of
// the one that passes it, then nothing; one with less room (as every file that
// holds the stop line) is renamed to NAME.old, replacing an older one, and the
// run is logged whole in a new file. The last row's file stays open for the
// rest of the process, so the files have fixed names, replaced by the next run.
TEST(RunLog, AFileNearTheLimitGetsItsStopLineAndAFullOneIsSetAside) {
  const struct Case {
    uint64_t size;
    int set_aside;
  } cases[] = {
      {kRunLogLimit - kRunLogLineCapacity, 0},
      {kRunLogLimit - kRunLogLineCapacity + 1, 1},
      {kRunLogLimit, 1},
  };
  // Leaves 40 bytes below the limit in the file of the first row.
  const std::string filler(kRunLogLineCapacity - 40 - kRunLogStampLength - 2, 'f');
  for (size_t row = 0; row < sizeof(cases) / sizeof(cases[0]); ++row) {
    const Case& c = cases[row];
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("lumaret_run_log_test_" + std::to_string(row) + ".log");
    std::filesystem::path old_path = path;
    old_path += ".old";
    std::filesystem::remove(path);
    std::ofstream(old_path) << "older";
    std::ofstream(path).close();
    std::filesystem::resize_file(path, c.size);
    ASSERT_TRUE(run_log_open(path.string().c_str())) << row;
    run_log_printf("%s", filler.c_str());
    run_log_printf("fits %d", 1);
    run_log_printf("%s", std::string(20, 'x').c_str());
    run_log_printf("after the stop");
    if (c.set_aside) {
      EXPECT_EQ(std::filesystem::file_size(old_path), c.size) << row;
      const size_t texts = filler.size() + strlen("fits 1") + 20 + strlen("after the stop");
      EXPECT_EQ(std::filesystem::file_size(path), texts + 4 * (kRunLogStampLength + 2)) << row;
      continue;
    }
    EXPECT_EQ(std::filesystem::file_size(old_path), 5u);
    std::ifstream file(path, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(kRunLogLimit - 40));
    const std::string tail((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    ASSERT_EQ(tail.size(), 2 * kRunLogStampLength + 8 + sizeof(kRunLogStoppedText) - 1 + 2);
    EXPECT_EQ(tail.substr(kRunLogStampLength, 8), "fits 1\r\n");
    EXPECT_EQ(tail.substr(tail.size() - sizeof(kRunLogStoppedText) - 1),
              std::string(kRunLogStoppedText) + "\r\n");
  }
}

}  // namespace
