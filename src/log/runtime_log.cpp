#include "log/runtime_log.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "log/event_record.h"
#include "log/log_file.h"
#include "log/log_location.h"

namespace eventlog {
namespace {

// How long the runtime's output waits for its run's header before it goes on without:
// only a launcher that never writes the header would use it up.
constexpr std::chrono::seconds kHeaderWait{5};

std::string launcherLine(std::string_view text) {
  std::string line = "[launcher] ";
  line += formatTimestamp(std::chrono::system_clock::now());
  line += ' ';
  line += text;
  // A note is one line, whatever it quotes.
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  line += '\n';
  return line;
}

}  // namespace

RuntimeLog::RuntimeLog(Options options) : options_(std::move(options)) {
  struct stat info {};
  if (options_.passOn < 0 || ::fstat(options_.passOn, &info) != 0) return;
  passOnFd_ = options_.passOn;
  if (S_ISREG(info.st_mode)) {
    passOnMode_ = PassOn::Direct;
    return;
  }
  if (S_ISSOCK(info.st_mode)) {
    passOnMode_ = PassOn::Socket;
    return;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(options_.passOn);
  const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (own >= 0) {
    passOnMode_ = PassOn::OwnDescriptor;
    passOnFd_ = own;
    return;
  }
  // A pipe whose reader has gone (ENXIO) takes nothing either way.
  passOnMode_ = errno == ENXIO && S_ISFIFO(info.st_mode) ? PassOn::Nowhere : PassOn::Polled;
}

RuntimeLog::~RuntimeLog() {
  if (passOnMode_ == PassOn::OwnDescriptor) ::close(passOnFd_);
}

void RuntimeLog::passOn(std::string_view chunk) {
  switch (passOnMode_) {
    case PassOn::Nowhere:
      return;
    case PassOn::Polled:
      writeWithoutWaiting(passOnFd_, chunk);
      return;
    case PassOn::Socket:
      while (!chunk.empty()) {
        const ssize_t n =
            ::send(passOnFd_, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        chunk.remove_prefix(static_cast<size_t>(n));
      }
      return;
    case PassOn::Direct:
    case PassOn::OwnDescriptor:
      // Until the descriptor takes no more now (EAGAIN) or at all (EPIPE, ENOSPC, ...).
      while (!chunk.empty()) {
        const ssize_t n = ::write(passOnFd_, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        chunk.remove_prefix(static_cast<size_t>(n));
      }
      return;
  }
}

void RuntimeLog::write(const std::string& lines) {
  // A failed append loses these lines only: the log never reports its own failures.
  appendLine(options_.file, lines, {.rotateAt = kRuntimeLogLimit});
}

void RuntimeLog::beginRun(std::string_view header) {
  {
    std::lock_guard lock(mutex_);
    write(launcherLine(header));
    begun_ = true;
  }
  headerWritten_.notify_all();
}

void RuntimeLog::note(std::string_view text) {
  std::lock_guard lock(mutex_);
  write(launcherLine(text));
}

void RuntimeLog::appendOutput(std::string_view chunk) {
  // First, and outside the lock: a person at a terminal sees the runtime's words as soon
  // as it wrote them, whole lines or not.
  if (!chunk.empty()) passOn(chunk);

  std::unique_lock lock(mutex_);
  if (!begun_) headerWritten_.wait_for(lock, kHeaderWait, [this] { return begun_; });
  if (chunk.empty()) {
    if (!pending_.empty()) write(pending_ + '\n');
    pending_.clear();
    return;
  }
  // The whole lines of the chunk go out in one append; the unfinished last one waits for
  // its end (or for the bound, which splits it).
  std::string lines;
  while (!chunk.empty()) {
    const size_t feed = chunk.find('\n');
    const size_t room = kMaxLine - pending_.size();
    if (feed == std::string_view::npos && chunk.size() < room) {
      pending_.append(chunk);
      break;
    }
    const size_t take = feed == std::string_view::npos || feed >= room ? room : feed + 1;
    if (pending_.empty()) {
      lines.append(chunk.substr(0, take));
    } else {
      lines.append(pending_);
      lines.append(chunk.substr(0, take));
      pending_.clear();
    }
    if (lines.back() != '\n') lines += '\n';
    chunk.remove_prefix(take);
  }
  if (!lines.empty()) write(lines);
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

}  // namespace eventlog
