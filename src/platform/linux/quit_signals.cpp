#include "platform/linux/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/support.h"

namespace zolven::platform {
namespace {

int signalPipe[2] = {-1, -1};

void onQuitSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

Result<int> installQuitSignals() {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    return Error{"cannot make the pipe for quit signals: " + systemMessage(errno)};
  struct sigaction action {};
  action.sa_handler = onQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
  // Unblocked, not blocked and waited for: a blocked mask would be inherited by every
  // child we start.
  unblockSignals({SIGTERM, SIGINT, SIGHUP});
  return signalPipe[0];
}

}  // namespace zolven::platform
