#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/environment.h"
#include "platform/exit_status.h"
#include "platform/result.h"

namespace zolven::platform {

// What becomes of the processes the child started when the child itself exits.
enum class Leftovers {
  KeepRunning,      // they go on; only the end of this process ends them
  EndWithTheChild,  // stopped for good, so that nothing the child started outlives it
};

struct TaskOptions {
  std::string executable;              // absolute path, run directly (no shell, no PATH search)
  std::vector<std::string> arguments;  // argv[1..]; argv[0] is the executable path
  std::string currentDirectory;
  Environment environment;
  Leftovers leftovers = Leftovers::KeepRunning;
  // An entry of `environment` ("NAME=value") that only this child's environment holds, and
  // so whatever it starts with its environment: where the system cannot keep the child's
  // processes together (on Linux, once what stands between us and the child is lost), the
  // task finds what the child left behind by it and ends it. Empty: nothing is looked for.
  std::string familyMark;
};

// One child process whose standard output is a pipe read by the task.
//
// The task is passive towards its owner: it reports output and exit through the two
// handlers, which run on a thread of the task's own, never on the caller's thread.
// Standard input is inherited from this process, unless it is a terminal: the child could
// not read one (it does not run in the terminal's foreground), so it reads nothing instead.
// Standard error is inherited too, unless an error output handler is set, which makes it a
// second pipe read by the same thread.
class Task {
 public:
  // Called with each non-empty chunk read from the child's standard output, in order,
  // and once with an empty chunk at end of file.
  using OutputHandler = std::function<void(std::string_view chunk)>;
  // Called once, after the child has exited and has been reaped.
  using TerminationHandler = std::function<void(const std::shared_ptr<Task>& task)>;

  virtual ~Task() = default;

  // Both handlers must be set before launch(); setOutputHandler(nullptr) removes it.
  virtual void setOutputHandler(OutputHandler handler) = 0;
  virtual void setTerminationHandler(TerminationHandler handler) = 0;
  // Set before launch(), the child's standard error is a pipe whose chunks go to this
  // handler as the output's go to theirs (in order, then one empty chunk at its end).
  virtual void setErrorOutputHandler(OutputHandler handler) = 0;

  // Starts the child; the error holds the system's message when it could not be started
  // (for example "Permission denied"). Call from the main thread.
  virtual Result<void> launch() = 0;

  // Valid after a successful launch.
  virtual int processIdentifier() const = 0;
  virtual bool isRunning() const = 0;
  // Asks the child and whatever it started to stop, and returns at once (on Linux, SIGTERM
  // to its process group); does nothing once the child has exited.
  virtual void terminate() = 0;
  // Stops the child and whatever it started for good, without asking (on Linux, SIGKILL
  // to its process group), within a short bound whatever state the child is in; does
  // nothing once it has exited.
  virtual void stopForGood() = 0;
  // Blocks until the child has exited and its termination handler has returned.
  virtual void waitUntilExit() = 0;
  // As waitUntilExit(), for at most `timeout`; true when the child has exited.
  virtual bool waitUntilExit(std::chrono::milliseconds timeout) = 0;
  // How the child ended; valid once it has exited.
  virtual ExitStatus terminationStatus() const = 0;
};

class TaskFactory {
 public:
  virtual ~TaskFactory() = default;
  virtual std::shared_ptr<Task> makeTask(TaskOptions options) = 0;
};

}  // namespace zolven::platform
