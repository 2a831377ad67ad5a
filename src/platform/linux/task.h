#pragma once

#include "platform/posix/support.h"
#include "platform/task.h"

namespace zolven::platform {

// Child tasks as Linux processes, each started through the supervisor (zolven-supervisor,
// see supervisor_protocol.h) so that nothing the child starts outlives the launcher.
//
// Each child leads its own process group, is killed with everything it started when the
// launcher dies, starts with an empty signal mask and default signal dispositions, and
// inherits only standard input, standard error and its output pipe (as standard output);
// with an error output handler, standard error is a pipe of the task's as well.
// launch() must run on the main thread: the kernel ties the supervisor's death signal to
// the thread that forked it.
//
// One thread per launched task reads the output and the supervisor's reports and reaps
// the supervisor through a pidfd; that thread blocks asynchronous signals so they reach
// the launcher's own threads. When the child exits, the output already in the pipe is
// reported before the exit; for a child that left no process holding the pipe, that
// includes the end of file.
class LinuxTaskFactory final : public TaskFactory {
 public:
  // The supervisor in lib/ beside the running executable.
  LinuxTaskFactory();
  explicit LinuxTaskFactory(std::string supervisor);

  std::shared_ptr<Task> makeTask(TaskOptions options) override;

 private:
  std::string supervisor_;
};

}  // namespace zolven::platform
