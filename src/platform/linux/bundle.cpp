#include "platform/linux/bundle.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zolven::platform {

std::optional<std::string> executablePath() {
  static const std::optional<std::string> path = []() -> std::optional<std::string> {
    // The link names the file the process runs, already resolved; one readlink is all
    // it takes (realpath would walk and read every component again).
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(length));
  }();
  return path;
}

std::optional<std::string> executableDirectory() {
  std::optional<std::string> directory = executablePath();
  if (directory) directory->erase(directory->find_last_of('/'));
  return directory;
}

std::optional<std::string> ExecutableBundle::resourceDirectory() const {
  // The real path, so that a symbolic link to the launcher still finds its own bundle.
  const std::optional<std::string> directory = executableDirectory();
  if (!directory) return std::nullopt;
  const std::string resources = *directory + "/resources";
  struct stat info {};
  if (::stat(resources.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
  return resources;
}

std::optional<std::string> ExecutableBundle::executablePath() const {
  return platform::executablePath();
}

std::string ExecutableBundle::instanceKey() const {
  return platform::instanceKey(platform::executablePath().value_or(""));
}

std::unique_ptr<Bundle> runningBundle() { return std::make_unique<ExecutableBundle>(); }

}  // namespace zolven::platform
