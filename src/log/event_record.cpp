#include "log/event_record.h"

#include <cstdio>
#include <exception>

#include <nlohmann/json.hpp>

namespace zolven::log {

std::string formatTimestamp(std::chrono::system_clock::time_point moment) {
  using namespace std::chrono;
  const sys_seconds seconds = floor<std::chrono::seconds>(moment);
  const sys_days day = floor<days>(seconds);
  const year_month_day date(day);
  const hh_mm_ss time(seconds - day);
  char text[32];
  const int length = std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                                   static_cast<int>(date.year()),
                                   static_cast<unsigned>(date.month()),
                                   static_cast<unsigned>(date.day()),
                                   static_cast<int>(time.hours().count()),
                                   static_cast<int>(time.minutes().count()),
                                   static_cast<int>(time.seconds().count()));
  return std::string(text, static_cast<size_t>(length));
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

}  // namespace zolven::log
