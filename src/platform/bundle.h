#pragma once

#include <optional>
#include <string>

namespace platform {

class Bundle {
 public:
  virtual ~Bundle() = default;
  // The absolute path of the application's resources directory, or nothing when the
  // running program has none.
  virtual std::optional<std::string> resourceDirectory() const = 0;
};

// The real path of the running executable, with every symbolic link resolved (the kernel
// keeps it), or nothing when it cannot be read. Read once per process.
std::optional<std::string> executablePath();
// The folder that holds it, from the same path.
std::optional<std::string> executableDirectory();

// The resources directory is "resources" beside the real path of the running executable.
class ExecutableBundle final : public Bundle {
 public:
  std::optional<std::string> resourceDirectory() const override;
};

}  // namespace platform
