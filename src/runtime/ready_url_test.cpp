#include "runtime/ready_url.h"

#include <gtest/gtest.h>

namespace zolven::runtime {
namespace {

struct ReadyCase {
  std::string line;
  std::optional<std::string> url;
};

class ReadyURL : public testing::TestWithParam<ReadyCase> {};

TEST_P(ReadyURL, DecidesTheLine) { EXPECT_EQ(readyURL(GetParam().line), GetParam().url); }

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Lines, ReadyURL,
    testing::Values(
        // Ready: any port, path, query, fragment, user information; surrounding blanks.
        ReadyCase{"http://127.0.0.1", "http://127.0.0.1"},
        ReadyCase{"http://127.0.0.1:43123/", "http://127.0.0.1:43123/"},
        ReadyCase{"http://127.0.0.1:1/a/b?x=1&y#frag", "http://127.0.0.1:1/a/b?x=1&y#frag"},
        ReadyCase{"http://user:pw@127.0.0.1:8/", "http://user:pw@127.0.0.1:8/"},
        ReadyCase{"  \thttp://127.0.0.1:8080/\r", "http://127.0.0.1:8080/"},
        ReadyCase{"\xc2\xa0http://127.0.0.1/\xe2\x80\xa8\xe3\x80\x80\xc2\x85", "http://127.0.0.1/"},
        ReadyCase{"\xe3\x80\x80\xe2\x80\xa9http://127.0.0.1/", "http://127.0.0.1/"},
        ReadyCase{"\x0b\x0c\x0d http://127.0.0.1/", "http://127.0.0.1/"},
        // Not ready.
        ReadyCase{"https://127.0.0.1:8080/", std::nullopt},
        ReadyCase{"HTTP://127.0.0.1/", std::nullopt},
        ReadyCase{"http://localhost:8080/", std::nullopt},
        ReadyCase{"http://127.0.0.2:8080/", std::nullopt},
        ReadyCase{"http://[::1]:8080/", std::nullopt},
        ReadyCase{"Listening on http://127.0.0.1:8080/", std::nullopt},
        ReadyCase{"http://127.0.0.1:8080/ ready", std::nullopt},
        ReadyCase{"http://127.0.0.1:8080/\x01", std::nullopt}, ReadyCase{"", std::nullopt},
        ReadyCase{"GET /api/items 200", std::nullopt},
        ReadyCase{"\xe2\x80\x8bhttp://127.0.0.1/", std::nullopt},  // zero width space leads
        ReadyCase{"\x1chttp://127.0.0.1/", std::nullopt},          // a control, not white space
        ReadyCase{"hello", std::nullopt}, ReadyCase{"   ", std::nullopt},
        ReadyCase{"http://127.0.0.1/\xff", std::nullopt},
        ReadyCase{"\xc0\xafhttp://127.0.0.1/", std::nullopt},  // overlong encoding
        ReadyCase{"http://127.0.0.1/\0.example/"s, std::nullopt},
        ReadyCase{"http:127.0.0.1", std::nullopt},
        ReadyCase{"http://127.0.0.1.evil/", std::nullopt},
        ReadyCase{"http://127.0.0.1:80\xe2\x80\x8b/",
                  std::nullopt}));  // zero width space is not trimmed or valid

TEST(TrimUtf8, KeepsInnerBlanksAndRejectsInvalidText) {
  EXPECT_EQ(trimUtf8(" a  b\t"), "a  b");
  EXPECT_EQ(trimUtf8("\xe2\x80\x80x\xe2\x80\x8a"), "x");
  EXPECT_EQ(trimUtf8("\xed\xa0\x80"), std::nullopt);  // a surrogate
  EXPECT_EQ(trimUtf8("\xe2\x82"), std::nullopt);      // cut short
}

struct CandidateCase {
  std::string line;
  bool candidate;
};

class CandidateLine : public testing::TestWithParam<CandidateCase> {};

// The sieve on the reading thread keeps only candidate lines: whatever either test acts on
// must be one.
TEST_P(CandidateLine, PassesEveryLineEitherTestActsOn) {
  const std::string& line = GetParam().line;
  EXPECT_EQ(isCandidateLine(line), GetParam().candidate);
  if (readyURL(line) || whyNotReady(line)) {
    EXPECT_TRUE(isCandidateLine(line));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CandidateLine,
    testing::Values(CandidateCase{"http://127.0.0.1:1/", true},
                    CandidateCase{" \t\x0b\x0c\rhttp://127.0.0.1:1/", true},
                    CandidateCase{"HTTPS://127.0.0.1/", true}, CandidateCase{"https://x/", true},
                    CandidateCase{"Http://localhost/", true}, CandidateCase{"hello", true},
                    CandidateCase{"\xc2\xa0http://127.0.0.1/", true},
                    CandidateCase{"\xe3\x80\x80HTTP://127.0.0.1/", true},
                    CandidateCase{"\xff", true}, CandidateCase{"", false},
                    CandidateCase{" \t ", false}, CandidateCase{"GET /api/items 200", false},
                    CandidateCase{"Listening on http://127.0.0.1:8080/", false},
                    CandidateCase{"\x1chttp://127.0.0.1/", false},
                    CandidateCase{"\0http://127.0.0.1/"s, false},
                    CandidateCase{"xhttp://127.0.0.1/", false}));

}  // namespace
}  // namespace zolven::runtime
