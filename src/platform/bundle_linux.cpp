#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "platform/bundle.h"

namespace platform {

std::optional<std::string> ExecutableBundle::resourceDirectory() const {
  // The real path, so that a symbolic link to the launcher still finds its own bundle.
  char executable[PATH_MAX];
  if (::realpath("/proc/self/exe", executable) == nullptr) return std::nullopt;
  std::string directory(executable);
  directory.erase(directory.find_last_of('/'));
  const std::string resources = directory + "/resources";
  struct stat info {};
  if (::stat(resources.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
  return resources;
}

}  // namespace platform
