#pragma once

#include <string>

#include "platform/environment.h"

namespace platform {

// What the launcher reads about its own process.
class ProcessInfo {
 public:
  virtual ~ProcessInfo() = default;
  virtual Environment environment() const = 0;
  virtual std::string homeDirectory() const = 0;
  virtual std::string currentDirectory() const = 0;
};

class PosixProcessInfo final : public ProcessInfo {
 public:
  Environment environment() const override;
  std::string homeDirectory() const override;
  std::string currentDirectory() const override;
};

}  // namespace platform
