#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace zolven::log {

struct EventRecord {
  std::string_view at;
  std::string_view event;
  std::optional<std::string_view> url;
  std::optional<std::string_view> detail;
};

// "2026-12-10T05:38:05Z": UTC, whole seconds.
std::string formatTimestamp(std::chrono::system_clock::time_point moment);

// One record as a line of the log: a compact JSON object with its members in key order
// ("at", "detail", "event", "url"), every solidus escaped as "\/", ended by a line feed.
// Bytes that are not valid UTF-8 are written as U+FFFD, so the line always is. Nothing
// when the encoder fails.
std::optional<std::string> encodeRecord(const EventRecord& record);

}  // namespace zolven::log
