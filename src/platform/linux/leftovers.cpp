#include "platform/linux/leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/pidfd.h"

namespace zolven::platform {
namespace {

bool holdsEntry(std::string_view entries, std::string_view mark) {
  while (!entries.empty()) {
    const size_t end = entries.find('\0');
    if (entries.substr(0, end) == mark) return true;
    if (end == std::string_view::npos) return false;
    entries.remove_prefix(end + 1);
  }
  return false;
}

bool ownEnvironmentHolds(std::string_view mark) {
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
    if (mark == *entry) return true;
  return false;
}

// The environment the process was started with, as /proc gives it: entries ended by NUL.
// Empty when it cannot be read (another user's, or gone).
std::string startingEnvironment(int procDirectory, const char* pid) {
  const std::string path = std::string(pid) + "/environ";
  const UniqueFd fd(::openat(procDirectory, path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string text;
  if (!fd) return text;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

// One pass over the process table: SIGKILL to each process of this user that carries the
// mark, through a pidfd opened before its environment is read, so that a pid reused
// meanwhile is never signalled. Returns the pidfds of those signalled.
std::vector<UniqueFd> killMarked(std::string_view mark) {
  std::vector<UniqueFd> killed;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return killed;
  const int procDirectory = ::dirfd(proc);
  const pid_t self = ::getpid();
  const uid_t user = ::geteuid();
  while (const dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
    if (pid == self) continue;
    struct stat owner {};
    if (::fstatat(procDirectory, entry->d_name, &owner, 0) != 0 || owner.st_uid != user) continue;
    UniqueFd pidfd = openPidfd(pid);
    if (!pidfd) continue;
    if (!holdsEntry(startingEnvironment(procDirectory, entry->d_name), mark)) continue;
    if (sendSignal(pidfd.get(), SIGKILL) == 0) killed.push_back(std::move(pidfd));
  }
  ::closedir(proc);
  return killed;
}

// Waits until every process behind `pidfds` has ended, or the deadline.
void waitUntilGone(std::vector<UniqueFd>& pidfds, std::chrono::steady_clock::time_point until) {
  std::vector<pollfd> polled;
  for (const UniqueFd& pidfd : pidfds)
    polled.push_back(pollfd{.fd = pidfd.get(), .events = POLLIN, .revents = 0});
  size_t left = polled.size();
  while (left > 0) {
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) return;
    const int ready = ::poll(polled.data(), polled.size(), static_cast<int>(remaining.count()));
    if (ready < 0 && errno != EINTR) return;
    for (pollfd& entry : polled) {
      if (entry.fd >= 0 && entry.revents != 0) {
        entry.fd = -1;  // skipped by poll from now on
        --left;
      }
    }
  }
}

}  // namespace

int endMarkedProcesses(std::string_view mark, std::chrono::milliseconds bound) {
  if (mark.find('=') == std::string_view::npos || ownEnvironmentHolds(mark)) return 0;
  const auto until = std::chrono::steady_clock::now() + bound;
  int ended = 0;
  while (std::chrono::steady_clock::now() < until) {
    std::vector<UniqueFd> killed = killMarked(mark);
    if (killed.empty()) break;
    ended += static_cast<int>(killed.size());
    waitUntilGone(killed, until);
  }
  return ended;
}

}  // namespace zolven::platform
