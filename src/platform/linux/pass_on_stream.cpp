#include "platform/linux/pass_on_stream.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace zolven::platform {

DescriptorStream::DescriptorStream(int fd) {
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) return;
  fd_ = fd;
  if (S_ISREG(info.st_mode)) {
    mode_ = Mode::Direct;
    return;
  }
  if (S_ISSOCK(info.st_mode)) {
    mode_ = Mode::Socket;
    return;
  }
  pipe_ = S_ISFIFO(info.st_mode);
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (own >= 0) {
    mode_ = Mode::OwnDescriptor;
    fd_ = own;
    return;
  }
  // A pipe whose reader has gone (ENXIO) takes nothing either way.
  mode_ = errno == ENXIO && S_ISFIFO(info.st_mode) ? Mode::Nowhere : Mode::Polled;
}

DescriptorStream::~DescriptorStream() {
  if (mode_ == Mode::OwnDescriptor) ::close(fd_);
}

void DescriptorStream::write(std::string_view data) {
  switch (mode_) {
    case Mode::Nowhere:
      return;
    case Mode::Polled:
      writeWithoutWaiting(fd_, data);
      return;
    case Mode::Socket:
      while (!data.empty()) {
        const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data.remove_prefix(static_cast<size_t>(n));
      }
      return;
    case Mode::Direct:
    case Mode::OwnDescriptor:
      // Until the descriptor takes no more now (EAGAIN) or at all (EPIPE, ENOSPC, ...).
      while (!data.empty()) {
        const ssize_t n = ::write(fd_, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data.remove_prefix(static_cast<size_t>(n));
      }
      return;
  }
}

bool DescriptorStream::writeWhole(std::string_view lines) {
  if (lines.empty()) return true;
  switch (mode_) {
    case Mode::Nowhere:
      return false;
    case Mode::Direct:
      // A regular file takes it all, short of a full disk or the file-size limit.
      while (!lines.empty()) {
        const ssize_t n = ::write(fd_, lines.data(), lines.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        lines.remove_prefix(static_cast<size_t>(n));
      }
      return true;
    case Mode::Socket:
    case Mode::OwnDescriptor:
    case Mode::Polled:
      break;
  }
  if (!takesWhole(lines.size())) return false;
  ssize_t n;
  do {
    n = mode_ == Mode::Socket ? ::send(fd_, lines.data(), lines.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                              : ::write(fd_, lines.data(), lines.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(lines.size());
}

// Whether a write of `size` bytes goes in whole now. For the pipe's own descriptor, which
// does not wait, a pipe's promise is enough; otherwise poll must have found room too.
bool DescriptorStream::takesWhole(size_t size) const {
  if (pipe_ && size > PIPE_BUF) {
    // Only an empty pipe is sure to take more than PIPE_BUF bytes in one write.
    int held = 0;
    return ::ioctl(fd_, FIONREAD, &held) == 0 && held == 0 &&
           size <= static_cast<size_t>(std::max(::fcntl(fd_, F_GETPIPE_SZ), 0));
  }
  if (size > PIPE_BUF) return false;
  if (pipe_ && mode_ == Mode::OwnDescriptor) return true;
  pollfd ready{.fd = fd_, .events = POLLOUT, .revents = 0};
  int n;
  do {
    n = ::poll(&ready, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n == 1 && (ready.revents & POLLOUT) != 0;
}

size_t writeWithoutWaiting(int fd, std::string_view data) {
  size_t written = 0;
  while (written < data.size()) {
    pollfd ready{.fd = fd, .events = POLLOUT, .revents = 0};
    int n;
    do {
      n = ::poll(&ready, 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n != 1 || (ready.revents & POLLOUT) == 0) break;
    // Room for PIPE_BUF bytes is what a writable pipe promises: no more, or the write
    // could wait for the rest.
    const size_t size = std::min<size_t>(data.size() - written, PIPE_BUF);
    ssize_t done;
    do {
      done = ::write(fd, data.data() + written, size);
    } while (done < 0 && errno == EINTR);
    if (done <= 0) break;  // closed (EPIPE), or anything else: the rest is dropped
    written += static_cast<size_t>(done);
  }
  return written;
}

std::unique_ptr<PassOnStream> standardOutputStream() {
  return std::make_unique<DescriptorStream>(STDOUT_FILENO);
}

std::unique_ptr<PassOnStream> standardErrorStream() {
  return std::make_unique<DescriptorStream>(STDERR_FILENO);
}

}  // namespace zolven::platform
