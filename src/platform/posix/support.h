#pragma once

// Small POSIX helpers shared by the platform's process, pipe and socket code.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>

#include "platform/result.h"

namespace zolven::platform {

// The system's message for an errno value ("Permission denied").
inline std::string systemMessage(int error) { return std::strerror(error); }
inline Error systemError(int error) { return Error{systemMessage(error)}; }

// Owns one file descriptor and closes it when it goes away. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Moves a descriptor off 0..2, keeping it close-on-exec. A launcher started with closed
// standard streams gets those numbers back from pipe2, open and friends: a child's dup2
// onto fd 1 would then clobber one of ours, and the launcher's own writes to a standard
// stream would land in it. On failure the result is empty and errno is set.
inline UniqueFd aboveStandardStreams(UniqueFd fd) {
  if (!fd || fd.get() > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  fd.reset();
  errno = error;
  return UniqueFd(moved);
}

// Blocks every signal of the calling thread for its lifetime. Around fork, it keeps the
// launcher's handlers from running in the child before the child resets them; around the
// creation of a thread, it gives that thread a fully blocked start, so asynchronous
// signals go to the launcher's own threads.
class BlockedSignals {
 public:
  BlockedSignals() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &saved_);
  }
  ~BlockedSignals() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;

 private:
  sigset_t saved_;
};

// Removes `signals` from the calling thread's mask.
inline void unblockSignals(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : signals) sigaddset(&set, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// For a thread started with every signal blocked (see BlockedSignals): lets the signals
// of faults through again, so that a crash on it still reaches its handlers.
inline void unblockFaultSignals() {
  unblockSignals({SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT});
}

// Empties the calling thread's mask: what it starts inherits the mask.
inline void unblockAllSignals() {
  sigset_t none;
  sigemptyset(&none);
  ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
}

// Stops a thread that polls `wake` (an eventfd, or any descriptor that a write wakes) and
// checks `stopping`: raises the flag, wakes the thread and joins it. From the thread itself
// (inside one of the handlers it calls) it is detached instead, and owns what it still uses.
inline void stopWatchingThread(std::thread& thread, std::atomic<bool>& stopping, int wake) {
  if (!thread.joinable()) return;
  stopping = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake, &one, sizeof one);
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

}  // namespace zolven::platform
