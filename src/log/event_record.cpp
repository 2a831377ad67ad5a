#include "log/event_record.h"

#include <ctime>
#include <exception>

#include <nlohmann/json.hpp>

namespace eventlog {

std::string formatTimestamp(std::chrono::system_clock::time_point moment) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(moment);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(text, length);
}

std::optional<std::string> encodeRecord(const EventRecord& record) {
  try {
    // nlohmann::json keeps object members in a std::map, so they come out sorted by key.
    nlohmann::json object = nlohmann::json::object();
    object["at"] = std::string(record.at);
    object["event"] = std::string(record.event);
    if (record.url) object["url"] = std::string(*record.url);
    if (record.detail) object["detail"] = std::string(*record.detail);

    const std::string compact =
        object.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);

    // The log has always escaped the solidus. A solidus can only stand inside a JSON
    // string, so escaping every one in the text is exact.
    std::string line;
    line.reserve(compact.size() + 16);
    for (const char c : compact) {
      if (c == '/') line += '\\';
      line += c;
    }
    line += '\n';
    return line;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace eventlog
