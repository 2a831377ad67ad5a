#include "runtime/line_framer.h"

#include <gtest/gtest.h>

#include <vector>

namespace zolven::runtime {
namespace {

std::vector<std::string> frame(LineFramer& framer, const std::vector<std::string>& chunks) {
  std::vector<std::string> lines;
  for (const auto& chunk : chunks)
    framer.append(chunk, [&](std::string_view line) { lines.emplace_back(line); });
  return lines;
}

TEST(LineFramer, EverySplitPointGivesTheSameLines) {
  const std::string stream = "noise\r\nhttp://127.0.0.1:1/\n\ncaf\xc3\xa9 \xe2\x82\xac\nunfinished";
  LineFramer whole;
  const auto expected = frame(whole, {stream});
  ASSERT_EQ(expected, (std::vector<std::string>{"noise\r", "http://127.0.0.1:1/", "", "caf\xc3\xa9 \xe2\x82\xac"}));
  EXPECT_EQ(whole.pending(), "unfinished");
  for (size_t a = 0; a <= stream.size(); ++a) {
    for (size_t b = a; b <= stream.size(); b += 3) {
      LineFramer split;
      EXPECT_EQ(frame(split, {stream.substr(0, a), stream.substr(a, b - a), stream.substr(b)}), expected)
          << "split at " << a << " and " << b;
      EXPECT_EQ(split.pending(), "unfinished");
    }
  }
}

TEST(LineFramer, EmptyChunkChangesNothing) {
  LineFramer framer;
  EXPECT_TRUE(frame(framer, {"part", "", ""}).empty());
  EXPECT_EQ(framer.pending(), "part");
}

TEST(LineFramer, OverLongLineIsDroppedAndTheNextLineStillFound) {
  LineFramer framer;
  const std::string piece(64 * 1024, 'x');
  std::vector<std::string> chunks;
  for (size_t sent = 0; sent <= LineFramer::kMaxLine * 3; sent += piece.size()) {
    chunks.push_back(piece);
  }
  chunks.push_back("still the long line\nhttp://127.0.0.1:2/\n");
  std::vector<std::string> lines;
  size_t largestPending = 0;
  for (const auto& chunk : chunks) {
    framer.append(chunk, [&](std::string_view line) { lines.emplace_back(line); });
    largestPending = std::max(largestPending, framer.pending().capacity());
  }
  EXPECT_EQ(lines, std::vector<std::string>{"http://127.0.0.1:2/"});
  EXPECT_LE(largestPending, 2 * LineFramer::kMaxLine) << "held memory stays bounded";
}

TEST(LineFramer, LineOfExactlyTheBoundIsKept) {
  LineFramer framer;
  const std::string line(LineFramer::kMaxLine, 'y');
  const auto lines = frame(framer, {line.substr(0, 10), line.substr(10) + "\n"});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), LineFramer::kMaxLine);
}

// Each over-long line counts once, as it passes the bound, however it arrives.
TEST(LineFramer, CountsEachDroppedLineOnce) {
  const std::string longLine(LineFramer::kMaxLine + 1, 'z');
  const std::vector<std::pair<std::vector<std::string>, size_t>> cases = {
      {{longLine + "\n"}, 1},
      {{longLine.substr(0, 5), longLine.substr(5) + "\nok\n"}, 1},
      {{longLine, "more", "more\n", longLine + "\n"}, 2},
      {{std::string(LineFramer::kMaxLine, 'y') + "\n"}, 0},
  };
  for (const auto& [chunks, dropped] : cases) {
    LineFramer framer;
    frame(framer, chunks);
    EXPECT_EQ(framer.droppedLines(), dropped) << chunks.size() << " chunks";
  }
}

}  // namespace
}  // namespace zolven::runtime
