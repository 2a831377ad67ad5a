#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "platform/process_state.h"

namespace zolven::platform {
namespace {

// Caught rather than ignored: the write that raised it fails all the same (EPIPE, EFBIG),
// and a caught signal is back at its default in every program the launcher starts, where
// an ignored one would be inherited (GLib, starting the browser, resets neither).
void onFailedWrite(int) {}

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

  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  ::sigaction(SIGCHLD, &action, nullptr);
  action.sa_handler = onFailedWrite;
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGPIPE, SIGXFSZ}) ::sigaction(signal, &action, nullptr);
}

}  // namespace zolven::platform
