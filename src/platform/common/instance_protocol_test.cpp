// The request and answer lines, as text alone.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "platform/single_instance.h"

namespace zolven::platform {

void PrintTo(const InstanceRequest& request, std::ostream* os) {
  *os << (request.kind == InstanceRequestKind::Quit ? "quit" : "reopen");
  if (request.activationToken) *os << " token=\"" << *request.activationToken << '"';
}

namespace {

InstanceRequest reopen(std::optional<std::string> token = std::nullopt) {
  return {.kind = InstanceRequestKind::Reopen, .activationToken = std::move(token)};
}
InstanceRequest quit() { return {.kind = InstanceRequestKind::Quit}; }

struct ParseCase {
  const char* name;
  std::string line;
  std::optional<InstanceRequest> expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ParseInstanceRequest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseInstanceRequest, AcceptsExactlyTheValidLines) {
  EXPECT_EQ(parseInstanceRequest(GetParam().line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseInstanceRequest,
    testing::Values(ParseCase{"Reopen", "reopen", reopen()},
                    ParseCase{"ReopenWithToken", "reopen abc-123_X:y", reopen("abc-123_X:y")},
                    ParseCase{"TokenOfEveryPrintable", "reopen !~", reopen("!~")},
                    ParseCase{"LongestToken", "reopen " + std::string(256, 't'),
                              reopen(std::string(256, 't'))},
                    ParseCase{"Quit", "quit", quit()}, ParseCase{"Empty", "", std::nullopt},
                    ParseCase{"ReopenWithEmptyToken", "reopen ", std::nullopt},
                    ParseCase{"TwoSpaces", "reopen  abc", std::nullopt},
                    ParseCase{"TwoTokens", "reopen a b", std::nullopt},
                    ParseCase{"QuitWithArgument", "quit x", std::nullopt},
                    ParseCase{"QuitWithSpace", "quit ", std::nullopt},
                    ParseCase{"UpperCase", "REOPEN", std::nullopt},
                    ParseCase{"LeadingSpace", " reopen", std::nullopt},
                    ParseCase{"GluedToken", "reopenabc", std::nullopt},
                    ParseCase{"TabInToken", "reopen a\tb", std::nullopt},
                    ParseCase{"EscapeInToken", "reopen a\x1b[0m", std::nullopt},
                    ParseCase{"NulInToken", std::string("reopen a\0b", 10), std::nullopt},
                    ParseCase{"DeleteInToken", "reopen a\x7f", std::nullopt},
                    ParseCase{"NonAsciiToken", "reopen caf\xc3\xa9", std::nullopt},
                    ParseCase{"TooLongToken", "reopen " + std::string(257, 't'), std::nullopt},
                    ParseCase{"TrailingCarriageReturn", "reopen\r", std::nullopt},
                    ParseCase{"TokenWithCarriageReturn", "reopen abc\r", std::nullopt},
                    ParseCase{"LineFeedIncluded", "quit\n", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FormatInstanceRequest, WritesLinesThatParseBack) {
  const std::vector<std::pair<InstanceRequest, std::string>> cases = {
      {reopen(), "reopen\n"}, {reopen("tok-1"), "reopen tok-1\n"}, {quit(), "quit\n"}};
  for (const auto& [request, line] : cases) {
    EXPECT_EQ(formatInstanceRequest(request), line);
    EXPECT_EQ(parseInstanceRequest(std::string_view(line).substr(0, line.size() - 1)), request);
  }
}

// --- The answer line ---

struct AnswerCase {
  const char* name;
  std::string line;              // without its line feed
  std::optional<bool> accepted;  // nothing: not an answer
  std::optional<std::string> url;
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class ParseInstanceAnswer : public testing::TestWithParam<AnswerCase> {};

TEST_P(ParseInstanceAnswer, AcceptsExactlyTheValidLines) {
  const std::optional<InstanceAnswer> answer = parseInstanceAnswer(GetParam().line);
  ASSERT_EQ(answer.has_value(), GetParam().accepted.has_value());
  if (!answer) return;
  EXPECT_EQ(answer->accepted, *GetParam().accepted);
  EXPECT_EQ(answer->url, GetParam().url);
  // And it is what the running launcher writes for it.
  EXPECT_EQ(formatInstanceAnswer(*answer), GetParam().line + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseInstanceAnswer,
    testing::Values(
        AnswerCase{"Ok", "ok", true, std::nullopt},
        AnswerCase{"Ending", "ending", false, std::nullopt},
        AnswerCase{"OkWithURL", "ok http://127.0.0.1:5/a?b#c", true, "http://127.0.0.1:5/a?b#c"},
        AnswerCase{"OkWithUtf8URL", "ok http://127.0.0.1/\xc3\xa9", true,
                   "http://127.0.0.1/\xc3\xa9"},
        AnswerCase{"EndingWithURL", "ending http://127.0.0.1/", std::nullopt, std::nullopt},
        AnswerCase{"TwoSpaces", "ok  http://127.0.0.1/", std::nullopt, std::nullopt},
        AnswerCase{"SpaceInURL", "ok http://127.0.0.1/ x", std::nullopt, std::nullopt},
        AnswerCase{"ControlInURL", "ok http://127.0.0.1/\x1b[2J", std::nullopt, std::nullopt},
        AnswerCase{"TrailingSpace", "ok ", std::nullopt, std::nullopt},
        AnswerCase{"TooLong", "ok http://127.0.0.1/" + std::string(2048, 'a'), std::nullopt,
                   std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FormatInstanceAnswer, LeavesOutAURLThatCannotTravel) {
  EXPECT_EQ(formatInstanceAnswer(InstanceAnswer(true, "a b")), "ok\n");
  EXPECT_EQ(formatInstanceAnswer(InstanceAnswer(false, "http://127.0.0.1/")), "ending\n");
}

}  // namespace
}  // namespace zolven::platform
