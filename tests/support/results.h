#pragma once

// Results as tests compare them: nothing for success, the error's message otherwise.

#include <optional>
#include <string>

#include "platform/result.h"

namespace testsupport {

template <typename T>
std::optional<std::string> failureOf(const zolven::platform::Result<T>& result) {
  if (result) return std::nullopt;
  return result.error().message;
}

}  // namespace testsupport
