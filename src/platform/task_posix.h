#pragma once

#include "platform/task.h"

namespace platform {

// Child tasks as POSIX processes. Each child runs in its own process group, is killed
// when the launcher dies, starts with an empty signal mask and default dispositions, and
// inherits only standard input, standard error and its output pipe. One thread per
// task reads the output and reaps the child through a pidfd.
class PosixTaskFactory final : public TaskFactory {
 public:
  std::shared_ptr<Task> makeTask(TaskOptions options) override;
};

}  // namespace platform
