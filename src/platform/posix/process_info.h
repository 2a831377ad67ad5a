#pragma once

#include <optional>
#include <string>

#include "platform/process_info.h"

namespace zolven::platform {

// The environment from `environ`, the home from HOME or the password database, the
// current directory from getcwd.
class PosixProcessInfo final : public ProcessInfo {
 public:
  Environment environment() const override;
  std::string homeDirectory() const override;
  std::string currentDirectory() const override;
  std::optional<std::string> accountHomeDirectory() const override;
};

}  // namespace zolven::platform
