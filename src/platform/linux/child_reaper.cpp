#include "platform/linux/child_reaper.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <system_error>

#include "platform/linux/pidfd.h"

namespace zolven::platform {
namespace {

// Reaps the child behind `pidfd` if it has ended; true once it is reaped (or cannot be).
bool reapIfEnded(int pidfd) {
  siginfo_t info;
  return !waitForChild(pidfd, WEXITED | WNOHANG, info) || info.si_pid != 0;
}

}  // namespace

ChildReaper::~ChildReaper() { stopWatchingThread(thread_, stopping_, wake_.get()); }

void ChildReaper::adopt(pid_t pid) {
  UniqueFd pidfd = openPidfd(pid);
  if (!pidfd) {
    // No pidfd (a kernel before 5.3): reaped now if it has already ended, else it stays a
    // zombie once it ends, until the launcher exits.
    ::waitpid(pid, nullptr, WNOHANG);
    return;
  }
  std::lock_guard lock(mutex_);
  if (!thread_.joinable()) {
    wake_ = aboveStandardStreams(UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)));
    if (!wake_) {
      ::waitpid(pid, nullptr, WNOHANG);
      return;
    }
    try {
      // Started with every signal blocked: asynchronous signals go to the main thread.
      const BlockedSignals blocked;
      thread_ = std::thread([this] { reapAsTheyEnd(); });
    } catch (const std::system_error& error) {
      std::fprintf(stderr, "zolven-launcher: no thread to reap the browser's process: %s\n",
                   error.what());
      ::waitpid(pid, nullptr, WNOHANG);
      return;
    }
  }
  adopted_.push_back(std::move(pidfd));
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
}

void ChildReaper::reapAsTheyEnd() {
  std::vector<UniqueFd> watched;
  std::vector<pollfd> polled;
  while (!stopping_) {
    {
      std::lock_guard lock(mutex_);
      for (UniqueFd& pidfd : adopted_) watched.push_back(std::move(pidfd));
      adopted_.clear();
    }
    polled.assign(1, pollfd{.fd = wake_.get(), .events = POLLIN, .revents = 0});
    for (const UniqueFd& pidfd : watched)
      polled.push_back(pollfd{.fd = pidfd.get(), .events = POLLIN, .revents = 0});
    if (::poll(polled.data(), polled.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (polled[0].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t read = ::read(wake_.get(), &count, sizeof count);
    }
    // From the back, so that erasing keeps the earlier indices.
    for (std::size_t i = watched.size(); i-- > 0;)
      if (polled[i + 1].revents != 0 && reapIfEnded(watched[i].get()))
        watched.erase(watched.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

}  // namespace zolven::platform
