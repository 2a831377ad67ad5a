#pragma once

// What the pieces of the single-instance claim on Linux share: their clock, their
// descriptors and the shape of their messages. A UniqueFd owns every descriptor; a
// function that only borrows one (the private directory's, mostly) takes it as a plain
// int, as the system calls it is passed on to do.

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>

#include "platform/posix/support.h"

namespace zolven::platform::instance {

using Clock = std::chrono::steady_clock;

// The time left until `deadline`, as poll() takes it: whole milliseconds, rounded up,
// never below 0 and never above a minute.
inline int remainingMilliseconds(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 60'000));
}

// Takes ownership of a new descriptor, off 0..2: the launcher's children inherit whatever
// holds standard input or error, and the lock or the socket must not be it.
inline UniqueFd adopt(int raw) { return aboveStandardStreams(UniqueFd(raw)); }

// "<what> <path>: <reason>", as every message of the claim reads.
inline std::string describe(std::string_view what, std::string_view path, std::string_view reason) {
  std::string text(what);
  text += ' ';
  text += path;
  text += ": ";
  text += reason;
  return text;
}

}  // namespace zolven::platform::instance
