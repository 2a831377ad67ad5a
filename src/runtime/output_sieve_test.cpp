#include "runtime/output_sieve.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zolven::runtime {
namespace {

struct SieveCase {
  const char* name;
  std::string stream;
  std::string lines;            // what is kept
  std::vector<size_t> dropped;  // where the drops fall among the kept lines
  std::string pending;          // the unfinished last line
};

void PrintTo(const SieveCase& c, std::ostream* os) { *os << c.name; }

class Sieve : public testing::TestWithParam<SieveCase> {};

TEST_P(Sieve, KeepsTheSameWhateverTheChunks) {
  const SieveCase& c = GetParam();
  for (const size_t size : {size_t{1}, size_t{2}, size_t{7}, size_t{100}, size_t{65536},
                            LineFramer::kMaxLine, c.stream.size()}) {
    if (size == 0 || (size < 100 && c.stream.size() > 100000)) continue;
    SCOPED_TRACE("chunks of " + std::to_string(size));
    OutputSieve sieve;
    SiftedOutput out;
    for (size_t at = 0; at < c.stream.size(); at += size)
      sieve.append(std::string_view(c.stream).substr(at, size), out);
    EXPECT_TRUE(out.lines == c.lines) << out.lines.substr(0, 200);
    EXPECT_EQ(out.dropped, c.dropped);
    EXPECT_EQ(sieve.pending(), c.pending);
  }
}

const std::string kLong(LineFramer::kMaxLine + 1, 'x');
const std::string kLongCandidate(LineFramer::kMaxLine + 1, 'h');
const std::string kLongest(LineFramer::kMaxLine, 'h');

INSTANTIATE_TEST_SUITE_P(
    Streams, Sieve,
    testing::Values(
        SieveCase{"OtherLinesAreLeftOut",
                  "GET /a 200\n\n   \nListening on http://127.0.0.1/\n\x1chttp://127.0.0.1/\nx",
                  "",
                  {},
                  "x"},
        SieveCase{"CandidatesAreKeptInOrder",
                  "noise\nhttp://127.0.0.1:1/\n  HTTP://x/\r\nmore\n\xc2\xa0http://127.0.0.1/\n"
                  "hello\nhttp://127.0.",
                  "http://127.0.0.1:1/\n  HTTP://x/\r\n\xc2\xa0http://127.0.0.1/\nhello\n",
                  {},
                  "http://127.0."},
        SieveCase{"OverLongLinesAreDroppedInTheirPlace",
                  "http://a/\n" + kLong + "\nHTTP://b/\n" + kLongCandidate + "\n" + kLongest +
                      "\nnoise\n" + kLong,
                  "http://a/\nHTTP://b/\n" + kLongest + "\n",
                  {10, 20, 20 + kLongest.size() + 1},
                  ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Sieve, AFloodOfOtherLinesKeepsNothingAndHoldsLittle) {
  std::string block;
  while (block.size() < 64 * 1024)
    block += "GET /api/items?page=1 200 0.4ms ......................\n";
  block += "GET /api/items?page=2 20";  // each block ends inside a line
  OutputSieve sieve;
  SiftedOutput out;
  size_t largestPending = 0;
  for (int i = 0; i < 200; ++i) {
    sieve.append(block, out);
    largestPending = std::max(largestPending, sieve.pending().size());
  }
  EXPECT_TRUE(out.empty());
  EXPECT_LE(largestPending, 200u);
}

}  // namespace
}  // namespace zolven::runtime
