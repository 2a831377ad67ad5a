#pragma once

#include <optional>
#include <string>

#include "platform/bundle.h"

namespace zolven::platform {

// The real path of the running executable, with every symbolic link resolved (the kernel
// keeps it), or nothing when it cannot be read. Read once per process.
std::optional<std::string> executablePath();
// The folder that holds it, from the same path.
std::optional<std::string> executableDirectory();

// The resources directory is "resources" beside the real path of the running executable;
// the instance key is instanceKey() of that path.
class ExecutableBundle final : public Bundle {
 public:
  std::optional<std::string> resourceDirectory() const override;
  std::optional<std::string> executablePath() const override;
  std::string instanceKey() const override;
};

}  // namespace zolven::platform
