#pragma once

#include <functional>

namespace platform {

// A queue of work items. The main queue runs them one at a time on the main thread in
// the order they were submitted; the global queue runs each on a thread of its own.
// async() may be called from any thread and never waits for the item.
class DispatchQueue {
 public:
  virtual ~DispatchQueue() = default;
  virtual void async(std::function<void()> work) = 0;
};

// The global queue: one detached thread per work item.
class ThreadQueue final : public DispatchQueue {
 public:
  void async(std::function<void()> work) override;
};

}  // namespace platform
