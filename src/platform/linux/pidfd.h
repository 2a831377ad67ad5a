#pragma once

// Children by process descriptor (pidfd, Linux 5.3 and later): no pid can be reused
// behind one.

#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/support.h"

// The kernel's id type for waiting on a pidfd; older C library headers do not name it.
#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace zolven::platform {

// A pidfd for `pid`, above the standard streams; invalid, with errno set, when the kernel
// gives none.
inline UniqueFd openPidfd(pid_t pid) {
  return aboveStandardStreams(UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))));
}

inline int sendSignal(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// waitid on the child behind `pidfd` (`options` as waitid's: WEXITED, and WNOHANG not to
// wait), through interruptions. False, with errno set, when it cannot be waited for.
inline bool waitForChild(int pidfd, int options, siginfo_t& info) {
  info = siginfo_t{};
  while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, options) != 0)
    if (errno != EINTR) return false;
  return true;
}

}  // namespace zolven::platform
