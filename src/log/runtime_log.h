#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace zolven::log {

// The runtime log: what the runtime wrote to its standard error, kept beside the launcher
// log for a person to read after a failure, with notes of the launcher's own.
//
// Every line the runtime writes is kept as it wrote it; each line of the launcher's begins
// with "[launcher] " and its time, so it is never taken for the app's. A run begins with
// one such header line. Lines are written whole (a note never lands inside a line of the
// runtime's), and the file rotates at kRuntimeLogLimit.
//
// The runtime's output is also passed on to `passOn` (the launcher's standard error) as
// it comes, whole lines or not; that stream takes what it takes at once, so the runtime
// never waits for it (see PassOnStream).
//
// Callable from any thread: the runtime's output arrives on the task's thread, notes on
// the main thread and the quit's.
class RuntimeLog {
 public:
  struct Options {
    std::string file;  // absolute
    // Where the runtime's output is passed on; none for nowhere.
    std::unique_ptr<platform::PassOnStream> passOn;
  };
  explicit RuntimeLog(Options options);
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

  const Options options_;
  std::mutex mutex_;
  std::condition_variable headerWritten_;
  bool begun_ = false;   // guarded by mutex_
  std::string pending_;  // the unfinished last line; guarded by mutex_
};

}  // namespace zolven::log
