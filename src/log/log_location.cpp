#include "log/log_location.h"

#include "platform/path.h"

namespace zolven::log {

std::string resolveLogFile(const platform::Environment& environment, std::string_view stateFolder,
                           std::string_view currentDirectory) {
  using platform::joinPath;
  if (const auto root = environment.get("ZOLVEN_LOG_ROOT")) {
    if (root->empty()) return joinPath(currentDirectory, "launcher.log");
    const std::string directory =
        platform::isAbsolutePath(*root) ? *root : joinPath(currentDirectory, *root);
    return joinPath(directory, "launcher.log");
  }
  return joinPath(stateFolder, "Keldrovan/ZOLVEN/launcher.log");
}

std::string runtimeLogFile(std::string_view launcherLogFile, std::string_view key) {
  return platform::joinPath(platform::folderOfPath(launcherLogFile),
                            "runtime-" + std::string(key) + ".log");
}

}  // namespace zolven::log
