#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>

namespace eventlog {

// The runtime log: what the runtime wrote to its standard error, kept beside the launcher
// log for a person to read after a failure, with notes of the launcher's own.
//
// Every line the runtime writes is kept as it wrote it; each line of the launcher's begins
// with "[launcher] " and its time, so it is never taken for the app's. A run begins with
// one such header line. Lines are written whole (a note never lands inside a line of the
// runtime's), and the file rotates at kRuntimeLogLimit.
//
// The runtime's output is also passed on to `passOn` (the launcher's standard error), as
// much as it takes at once: a pipe or terminal that is full, closed or slow loses what does
// not fit, and the descriptor's flags are never changed (they are shared with whoever gave
// it to us), so the runtime never waits for it. A regular file takes everything.
//
// Callable from any thread: the runtime's output arrives on the task's thread, notes on
// the main thread and the quit's.
class RuntimeLog {
 public:
  struct Options {
    std::string file;  // absolute
    int passOn = -1;   // where the runtime's output is passed on; -1 for nowhere
  };
  explicit RuntimeLog(Options options);
  ~RuntimeLog();
  RuntimeLog(const RuntimeLog&) = delete;
  RuntimeLog& operator=(const RuntimeLog&) = delete;

  // Writes the header of a run. The runtime's output that comes before it waits for it
  // (briefly: the header follows the launch at once), so a run's lines follow its header.
  void beginRun(std::string_view header);
  // One line of the launcher's.
  void note(std::string_view text);
  // A chunk of the runtime's standard error; an empty chunk is its end, which finishes an
  // unfinished last line.
  void appendOutput(std::string_view chunk);

  // A line of the runtime's longer than this is split into lines of this length.
  static constexpr size_t kMaxLine = 64 * 1024;

 private:
  void write(const std::string& lines);  // with the mutex held
  void passOn(std::string_view chunk);

  // How the runtime's output reaches `passOn`: a regular file directly; anything else
  // through a descriptor of our own on the same pipe or terminal, opened non-blocking (a
  // new open file description, so the inherited one keeps its flags); a socket (the
  // journal's, under systemd) with non-blocking sends; anything else that cannot be
  // opened so with writeWithoutWaiting().
  enum class PassOn { Nowhere, Direct, OwnDescriptor, Socket, Polled };
  PassOn passOnMode_ = PassOn::Nowhere;
  int passOnFd_ = -1;

  const Options options_;
  std::mutex mutex_;
  std::condition_variable headerWritten_;
  bool begun_ = false;   // guarded by mutex_
  std::string pending_;  // the unfinished last line; guarded by mutex_
};

// Writes what `fd` takes of `data` now, without waiting and without changing the
// descriptor's flags: each write is at most PIPE_BUF bytes and follows a poll that found
// room. Returns the byte count written; the rest is the caller's to drop.
size_t writeWithoutWaiting(int fd, std::string_view data);

}  // namespace eventlog
