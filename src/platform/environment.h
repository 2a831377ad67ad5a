#pragma once

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zolven::platform {

// A process environment as an ordered list of NAME=value pairs. Order is kept so
// that a child sees its inherited variables in the order the launcher had them.
class Environment {
 public:
  using Entry = std::pair<std::string, std::string>;

  Environment() = default;
  explicit Environment(std::vector<Entry> entries) : entries_(std::move(entries)) {}
  Environment(std::initializer_list<Entry> entries) : entries_(entries) {}

  // The environment of this process, read from `environ`.
  static Environment current();

  std::optional<std::string> get(std::string_view name) const;
  // Replaces the value of an existing variable in place, or appends a new one.
  void set(std::string_view name, std::string_view value);

  const std::vector<Entry>& entries() const { return entries_; }
  // "NAME=value" strings, in order, as execve wants them.
  std::vector<std::string> toStrings() const;

 private:
  std::vector<Entry> entries_;
};

// A variable of this process's own environment, when it is set and not empty.
inline std::optional<std::string> nonEmptyVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

}  // namespace zolven::platform
