#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/environment.h"

namespace zolven::platform {

// What the launcher reads about its own process.
class ProcessInfo {
 public:
  virtual ~ProcessInfo() = default;
  virtual Environment environment() const = 0;
  // HOME when it is an absolute path, otherwise accountHomeDirectory(), otherwise "/".
  virtual std::string homeDirectory() const = 0;
  virtual std::string currentDirectory() const = 0;
  // The home of the user this process runs as, from the system's account database (not
  // from the environment); nothing when the database has no entry for the user.
  virtual std::optional<std::string> accountHomeDirectory() const = 0;
};

// What this process reads about itself.
std::unique_ptr<ProcessInfo> currentProcessInfo();

}  // namespace zolven::platform
