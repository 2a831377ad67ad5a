#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/support.h"

namespace zolven::platform {

// Reaps the children that the launcher starts and does not wait for (the browsers it
// opens): each is reaped on a thread of the reaper's own as soon as it ends, so none stays
// behind as a zombie however long the launcher runs. The thread starts with the first
// child. A child still running when the reaper is destroyed is left running; once the
// launcher is gone, the system adopts and reaps it.
class ChildReaper {
 public:
  ChildReaper() = default;
  ~ChildReaper();
  ChildReaper(const ChildReaper&) = delete;
  ChildReaper& operator=(const ChildReaper&) = delete;

  // `pid` is a child of this process that nobody else waits for. From any thread.
  void adopt(pid_t pid);

 private:
  void reapAsTheyEnd();

  std::mutex mutex_;
  std::vector<UniqueFd> adopted_;  // pidfds not yet watched by the thread
  UniqueFd wake_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace zolven::platform
