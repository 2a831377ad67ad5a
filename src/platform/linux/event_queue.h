#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include "platform/dispatch.h"
#include "platform/posix/support.h"

namespace zolven::platform {

// The main queue: work items from any thread, run in order on the main thread by
// whichever event loop watches fd() (the headless poll loop, or the GUI toolkit's).
// Items submitted before any loop runs wait for it. Once the loop has finished, close()
// drops what is left unrun, and later items are dropped as they come: whatever an item
// holds is let go at once, so no thread waits on a main thread that will not run again.
class EventQueue final : public DispatchQueue {
 public:
  EventQueue();

  void async(std::function<void()> work) override;

  // False when the queue could not be made (out of descriptors): nothing can run.
  bool valid() const { return static_cast<bool>(wake_); }
  // Readable while items wait.
  int fd() const { return wake_.get(); }
  // Runs the items queued now, in order (items they submit wait for the next call).
  // Before each item it asks `stop`; once that says true, the rest stay queued.
  void runPending(const std::function<bool()>& stop = {});
  // Drops the items queued now and every later one, unrun. Main thread.
  void close();

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> items_;
  bool closed_ = false;
  UniqueFd wake_;  // an eventfd
};

}  // namespace zolven::platform
