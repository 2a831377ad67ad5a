#include "log/event_record.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace zolven::log {
namespace {

using namespace std::chrono;

TEST(FormatTimestamp, IsUtcWithWholeSecondsAndZeroPadding) {
  EXPECT_EQ(formatTimestamp(system_clock::time_point{}), "1970-01-01T00:00:00Z");
  // 2026-03-04T05:06:07Z plus 999 ms: the fraction is cut, not rounded.
  const auto moment = sys_days{year{2026} / 3 / 4} + hours{5} + minutes{6} + seconds{7} +
                      milliseconds{999};
  EXPECT_EQ(formatTimestamp(moment), "2026-03-04T05:06:07Z");
  // The last second of a leap day, and of a century's last year.
  EXPECT_EQ(formatTimestamp(sys_days{year{2024} / 2 / 29} + hours{23} + minutes{59} + seconds{59}),
            "2024-02-29T23:59:59Z");
  EXPECT_EQ(formatTimestamp(sys_days{year{2000} / 1 / 1} - seconds{1}), "1999-12-31T23:59:59Z");
}

struct EncodeCase {
  const char* name;
  EventRecord record;
  const char* line;
};

class EncodeRecord : public testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeRecord, WritesTheExactLine) {
  EXPECT_EQ(encodeRecord(GetParam().record), std::string(GetParam().line));
}

constexpr const char* kAt = "2026-01-02T03:04:05Z";

INSTANTIATE_TEST_SUITE_P(
    Records, EncodeRecord,
    testing::Values(
        EncodeCase{"EventOnly", {kAt, "launcher.started", {}, {}},
                   R"({"at":"2026-01-02T03:04:05Z","event":"launcher.started"})"
                   "\n"},
        EncodeCase{"DetailSortsBeforeEvent", {kAt, "runtime.started", {}, "pid=42"},
                   R"({"at":"2026-01-02T03:04:05Z","detail":"pid=42","event":"runtime.started"})"
                   "\n"},
        EncodeCase{"UrlSolidiEscaped", {kAt, "runtime.ready", "http://127.0.0.1:8080/a/b", {}},
                   R"({"at":"2026-01-02T03:04:05Z","event":"runtime.ready","url":"http:\/\/127.0.0.1:8080\/a\/b"})"
                   "\n"},
        EncodeCase{"AllFourMembers",
                   {kAt, "browser.open.requested", "http://127.0.0.1/", "runtime-ready"},
                   R"({"at":"2026-01-02T03:04:05Z","detail":"runtime-ready","event":"browser.open.requested","url":"http:\/\/127.0.0.1\/"})"
                   "\n"},
        EncodeCase{"EmptyDetailIsPresent", {kAt, "launcher.failed", {}, ""},
                   R"({"at":"2026-01-02T03:04:05Z","detail":"","event":"launcher.failed"})"
                   "\n"},
        EncodeCase{"ControlCharactersEscaped", {kAt, "e", {}, "a\nb\tc\r\x01\x1f\"\\"},
                   R"({"at":"2026-01-02T03:04:05Z","detail":"a\nb\tc\r\u0001\u001f\"\\","event":"e"})"
                   "\n"},
        EncodeCase{"NonAsciiKeptAsUtf8", {kAt, "e", {}, "caf\xc3\xa9 \xe2\x82\xac"},
                   "{\"at\":\"2026-01-02T03:04:05Z\",\"detail\":\"caf\xc3\xa9 \xe2\x82\xac\","
                   "\"event\":\"e\"}\n"},
        EncodeCase{"InvalidUtf8Replaced", {kAt, "e", {}, "a\xff" "b"},
                   "{\"at\":\"2026-01-02T03:04:05Z\",\"detail\":\"a\xef\xbf\xbd" "b\","
                   "\"event\":\"e\"}\n"}),
    [](const testing::TestParamInfo<EncodeCase>& info) { return info.param.name; });

TEST(EncodeRecordParse, ReadsBackToTheSameMembers) {
  const std::string detail = "line one\nline two / \"quoted\" \x7f";
  const auto line = encodeRecord({kAt, "runtime.start.failed", "http://x/y", detail});
  ASSERT_TRUE(line);
  ASSERT_EQ(line->find('\n'), line->size() - 1) << "a record is exactly one line";
  const auto parsed = nlohmann::json::parse(*line);
  EXPECT_EQ(parsed.size(), 4u);
  EXPECT_EQ(parsed["detail"], detail);
  EXPECT_EQ(parsed["url"], "http://x/y");
  EXPECT_EQ(parsed["event"], "runtime.start.failed");
}

}  // namespace
}  // namespace zolven::log
