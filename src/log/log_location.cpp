#include "log/log_location.h"

#include "platform/path.h"

namespace zolven::log {
namespace {

bool isAbsolute(std::string_view path) { return !path.empty() && path.front() == '/'; }

}  // namespace

std::string resolveLogFile(const platform::Environment& environment, std::string_view homeDirectory,
                           std::string_view currentDirectory) {
  using platform::joinPath;
  if (const auto root = environment.get("ZOLVEN_LOG_ROOT")) {
    if (root->empty()) return joinPath(currentDirectory, "launcher.log");
    const std::string directory = isAbsolute(*root) ? *root : joinPath(currentDirectory, *root);
    return joinPath(directory, "launcher.log");
  }
  std::string stateHome;
  if (const auto xdg = environment.get("XDG_STATE_HOME"); xdg && isAbsolute(*xdg)) {
    stateHome = *xdg;
  } else {
    stateHome = joinPath(homeDirectory, ".local/state");
  }
  return joinPath(stateHome, "Keldrovan/ZOLVEN/launcher.log");
}

std::string runtimeLogFile(std::string_view launcherLogFile, std::string_view key) {
  const size_t slash = launcherLogFile.rfind('/');
  const std::string_view folder =
      slash == std::string_view::npos ? std::string_view(".") : launcherLogFile.substr(0, slash);
  return platform::joinPath(folder.empty() ? "/" : folder, "runtime-" + std::string(key) + ".log");
}

}  // namespace zolven::log
