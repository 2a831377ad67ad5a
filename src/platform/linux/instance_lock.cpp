#include "platform/linux/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/instance_support.h"

namespace zolven::platform {

Result<UniqueFd> openInstanceLock(int directory, const std::string& name) {
  for (int attempt = 0;; ++attempt) {
    // O_NONBLOCK: a FIFO in its place must not hang the open.
    UniqueFd lock = instance::adopt(::openat(
        directory, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    struct stat info {};
    if (lock && ::fstat(lock.get(), &info) != 0) return systemError(errno);
    const bool stray = lock ? !S_ISREG(info.st_mode) : (errno == ELOOP || errno == EISDIR);
    if (!lock && !stray) return systemError(errno);
    if (!stray) {
      if (info.st_uid != ::geteuid()) return Error{"not a file of ours"};
      return lock;
    }
    if (attempt > 0) return Error{"not a file, and it could not be replaced"};
    lock.reset();
    if (Result<void> removed = removeStray(directory, name); !removed) return removed.error();
  }
}

Result<LockState> takeInstanceLock(const UniqueFd& lock) {
  // Close-on-exec (see openInstanceLock()) keeps children from holding it on after us.
  int result;
  do {
    result = ::flock(lock.get(), LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return LockState::Taken;
  if (errno == EWOULDBLOCK) return LockState::HeldElsewhere;
  return systemError(errno);
}

Result<void> removeStray(int directory, const std::string& name) {
  if (::unlinkat(directory, name.c_str(), 0) == 0 || errno == ENOENT) return {};
  if (errno != EISDIR) return systemError(errno);
  if (::unlinkat(directory, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return {};
  if (errno != ENOTEMPTY && errno != EEXIST) return systemError(errno);
  const std::string aside = name + ".stray-" + std::to_string(::getpid());
  if (::renameat(directory, name.c_str(), directory, aside.c_str()) != 0) return systemError(errno);
  return {};
}

}  // namespace zolven::platform
