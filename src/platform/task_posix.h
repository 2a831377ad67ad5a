#pragma once

#include "platform/posix_support.h"
#include "platform/task.h"

namespace platform {

// Child tasks as POSIX processes.
//
// Each child leads its own process group, is killed when the launcher dies, starts with
// an empty signal mask and default signal dispositions, and inherits only standard input,
// standard error and its output pipe (as standard output). launch() must run on the main
// thread: the kernel ties the child's death signal to the thread that forked it.
//
// One thread per launched task reads the output and reaps the child through a pidfd;
// that thread blocks asynchronous signals so they reach the launcher's own threads.
// When the child exits, the output already in the pipe is reported before the exit; for
// a child that left no process holding the pipe, that includes the end of file.
class PosixTaskFactory final : public TaskFactory {
 public:
  std::shared_ptr<Task> makeTask(TaskOptions options) override;
};

}  // namespace platform
