#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zolven::platform {

// The application as installed: the launcher with its resources beside it.
class Bundle {
 public:
  virtual ~Bundle() = default;
  // The absolute path of the application's resources directory, or nothing when the
  // running program has none.
  virtual std::optional<std::string> resourceDirectory() const = 0;
  // The real path of the running executable, with every symbolic link resolved, or
  // nothing when it cannot be told.
  virtual std::optional<std::string> executablePath() const = 0;
  // What tells this bundle apart from every other bundle of the user: its instance claim
  // and its runtime log are named by it. A short name, safe in a file name.
  virtual std::string instanceKey() const = 0;
};

// The instance key of the bundle whose executable has the real path `executablePath`: the
// 64-bit FNV-1a hash of that path as 16 lower-case hex digits. Short, so that names made
// of it fit a socket address.
std::string instanceKey(std::string_view executablePath);

// The bundle of the running executable.
std::unique_ptr<Bundle> runningBundle();

}  // namespace zolven::platform
