#include "platform/linux/private_directory.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/instance_support.h"
#include "platform/path.h"

namespace zolven::platform {
namespace {

using instance::adopt;
using instance::describe;

// The runtime directory that the environment names: XDG_RUNTIME_DIR when it holds an
// absolute path. Relative values are ignored, as the XDG base directory rules ask.
std::optional<std::string> runtimeDirectory(const Environment& environment) {
  std::optional<std::string> runtime = environment.get("XDG_RUNTIME_DIR");
  if (runtime && !runtime->empty() && runtime->front() == '/') return runtime;
  return std::nullopt;
}

// The user's home as the password database has it: the same for every start, where $HOME
// may differ (sudo, su, service managers).
std::string homeOf(uid_t user) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 16384));
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr)
    return "";
  return found->pw_dir;
}

// mkdir -p, each directory it makes with mode 0700 (the last one is checked by
// openPrivateDirectory()). Failures show when that one is opened.
void makePrivateDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) == 0) ::chmod(prefix.c_str(), 0700);
    if (slash == std::string::npos) return;
  }
}

}  // namespace

Result<UniqueFd> openPrivateDirectory(const std::string& path) {
  const auto refused = [&path](std::string_view reason) {
    return Error{describe("instance directory", path, reason)};
  };
  if (path.empty() || path.front() != '/') return refused("not an absolute path");
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return refused(systemMessage(errno));
  // O_NOFOLLOW: a symbolic link is refused, whoever made it.
  UniqueFd directory = adopt(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory) {
    const int error = errno;
    // With O_DIRECTORY, Linux reports a symbolic link as ENOTDIR rather than ELOOP; the
    // lstat only picks the words of the refusal.
    struct stat link {};
    if (error == ELOOP || (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)))
      return refused("is a symbolic link");
    if (error == ENOTDIR) return refused("is not a directory");
    return refused(systemMessage(error));
  }
  struct stat info {};
  if (::fstat(directory.get(), &info) != 0) return refused(systemMessage(errno));
  if (!S_ISDIR(info.st_mode)) return refused("is not a directory");
  if (info.st_uid != ::geteuid()) return refused("belongs to user " + std::to_string(info.st_uid));
  // A directory of ours with a wider mode was left so by the user or an old umask, never
  // by another user: only the owner can change it, and the descriptor pins the directory
  // we checked. Tightening it keeps the launcher usable, where a refusal would stop it
  // until someone repaired the mode by hand.
  if ((info.st_mode & 07777) != 0700 && ::fchmod(directory.get(), 0700) != 0)
    return refused(systemMessage(errno));
  return directory;
}

std::string instanceDirectoryPath(const Environment& environment, uid_t user) {
  if (const std::optional<std::string> runtime = runtimeDirectory(environment))
    return joinPath(*runtime, "zolven");
  return "/tmp/zolven-" + std::to_string(user);
}

InstanceDirectoryChoice chooseInstanceDirectory(const Environment& environment, uid_t user,
                                                const InstancePlaces& places) {
  InstanceDirectoryChoice choice;
  // Takes `path` when it can be used.
  const auto use = [&choice](const std::string& path) -> Result<void> {
    const Result<UniqueFd> directory = openPrivateDirectory(path);
    if (!directory) return directory.error();
    choice.directory = path;
    return {};
  };

  const std::optional<std::string> runtime = runtimeDirectory(environment);
  if (runtime) {
    const Result<void> used = use(joinPath(*runtime, "zolven"));
    if (used) return choice;
    choice.passedOver.push_back("XDG_RUNTIME_DIR: " + used.error().message);
  }

  const std::string userRuntime = joinPath(places.runUser, std::to_string(user));
  struct stat info {};
  if (::lstat(userRuntime.c_str(), &info) == 0 && (!runtime || *runtime != userRuntime)) {
    if (S_ISDIR(info.st_mode) && info.st_uid == user && (info.st_mode & 077) == 0) {
      const Result<void> used = use(joinPath(userRuntime, "zolven"));
      if (used) return choice;
      choice.passedOver.push_back(used.error().message);
    } else {
      choice.passedOver.push_back(
          describe("runtime directory", userRuntime,
                   "not a private directory of user " + std::to_string(user)));
    }
  }

  const Result<void> used = use(joinPath(places.temporary, "zolven-" + std::to_string(user)));
  if (used) return choice;
  choice.passedOver.push_back(used.error().message);

  const std::string home = places.home ? *places.home : homeOf(user);
  if (!home.empty() && home.front() == '/') {
    const std::string state = joinPath(home, ".local/state/zolven");
    makePrivateDirectories(state);
    const Result<void> usedHome =
        use(joinPath(state, places.host.empty() ? "localhost" : places.host));
    if (usedHome) return choice;
    choice.passedOver.push_back(usedHome.error().message);
  }
  return choice;
}

}  // namespace zolven::platform
