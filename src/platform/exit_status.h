#pragma once

#include <cstdint>
#include <string>

namespace zolven::platform {

// How a child process ended: it exited with a code (on Windows a 32-bit exit code), a
// signal ended it, or the system could not tell.
class ExitStatus {
 public:
  enum class Kind { Exited, Signaled, Unknown };

  static ExitStatus exited(std::int64_t code) { return ExitStatus(Kind::Exited, code); }
  static ExitStatus signaled(int signal) { return ExitStatus(Kind::Signaled, signal); }
  static ExitStatus unknown() { return ExitStatus(Kind::Unknown, -1); }

  Kind kind() const { return kind_; }
  // The exit code, or the signal's number; -1 when unknown.
  std::int64_t value() const { return value_; }
  // Exited with code 0.
  bool succeeded() const { return kind_ == Kind::Exited && value_ == 0; }
  // The log's text for it: the exit code, the signal's number, or -1.
  std::string text() const { return std::to_string(value_); }

  bool operator==(const ExitStatus&) const = default;

 private:
  ExitStatus(Kind kind, std::int64_t value) : kind_(kind), value_(value) {}
  Kind kind_;
  std::int64_t value_;
};

}  // namespace zolven::platform
