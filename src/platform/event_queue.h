#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include "platform/dispatch.h"
#include "platform/posix_support.h"

namespace platform {

// The main queue: work items from any thread, run in order on the main thread by
// whichever event loop watches fd() (the headless poll loop, or the GUI toolkit's).
// Items submitted before any loop runs wait for it; items left when the process ends are
// dropped unrun.
class EventQueue final : public DispatchQueue {
 public:
  EventQueue();

  void async(std::function<void()> work) override;

  // Readable while items wait.
  int fd() const { return wake_.get(); }
  // Runs the items queued now, in order (items they submit wait for the next call).
  // Before each item it asks `stop`; once that says true, the rest stay queued.
  void runPending(const std::function<bool()>& stop = {});

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> items_;
  UniqueFd wake_;  // an eventfd
};

}  // namespace platform
