#include "platform/process_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <initializer_list>

namespace zolven::platform {
namespace {

// Caught rather than ignored: the write that raised it fails all the same (EPIPE, EFBIG),
// and a caught signal is back at its default in every program the launcher starts, where
// an ignored one would be inherited (GLib, starting the browser, resets neither).
void onFailedWrite(int) {}

// Whatever the parent left open beyond the standard streams is the parent's business: none
// of it may reach a program the launcher starts, so all of it becomes close-on-exec.
void keepDescriptorsFromChildren() {
#if defined(__linux__) && defined(CLOSE_RANGE_CLOEXEC)
  if (::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
#endif
  // Without close_range (Linux before 5.11): the open ones, as /proc lists them.
  DIR* open = ::opendir("/proc/self/fd");
  if (open == nullptr) return;
  const int own = ::dirfd(open);
  while (const dirent* entry = ::readdir(open)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= STDERR_FILENO || fd == own) continue;
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
  ::closedir(open);
}

}  // namespace

void prepareProcessState() {
  // Lowest first: open() returns the lowest free number, which is then the closed stream.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened > fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }

  keepDescriptorsFromChildren();

  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  ::sigaction(SIGCHLD, &action, nullptr);
  action.sa_handler = onFailedWrite;
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGPIPE, SIGXFSZ}) ::sigaction(signal, &action, nullptr);
}

}  // namespace zolven::platform
