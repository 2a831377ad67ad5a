#include "platform/environment.h"

extern char** environ;

namespace zolven::platform {

Environment Environment::current() {
  std::vector<Entry> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto eq = text.find('=');
    if (eq == std::string_view::npos) continue;  // not a variable; execve would keep it, we don't
    entries.emplace_back(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
  }
  return Environment(std::move(entries));
}

std::optional<std::string> Environment::get(std::string_view name) const {
  for (const auto& [key, value] : entries_)
    if (key == name) return value;
  return std::nullopt;
}

void Environment::set(std::string_view name, std::string_view value) {
  for (auto& [key, current] : entries_) {
    if (key == name) {
      current = std::string(value);
      return;
    }
  }
  entries_.emplace_back(std::string(name), std::string(value));
}

std::vector<std::string> Environment::toStrings() const {
  std::vector<std::string> strings;
  strings.reserve(entries_.size());
  for (const auto& [key, value] : entries_) strings.push_back(key + "=" + value);
  return strings;
}

}  // namespace zolven::platform
