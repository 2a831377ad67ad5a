#pragma once

// The launcher's log as the tests read it: a file of JSON lines, one record each.

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace testsupport {

// Every line of `file` parsed as one record; throws on a line that is not JSON.
inline std::vector<nlohmann::json> readJsonLines(const std::filesystem::path& file) {
  std::vector<nlohmann::json> out;
  std::istringstream lines(readFile(file));
  for (std::string line; std::getline(lines, line);) out.push_back(nlohmann::json::parse(line));
  return out;
}

// The "event" member of each record, in order.
inline std::vector<std::string> eventsOf(const std::vector<nlohmann::json>& records) {
  std::vector<std::string> out;
  for (const auto& record : records) out.push_back(record["event"]);
  return out;
}

// How many of `events` are `event`.
inline long count(const std::vector<std::string>& events, const std::string& event) {
  return std::count(events.begin(), events.end(), event);
}

}  // namespace testsupport
