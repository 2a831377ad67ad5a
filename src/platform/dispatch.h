#pragma once

#include <functional>

namespace zolven::platform {

// A queue of work items. The main queue runs them one at a time on the main thread in
// the order they were submitted; the global queue runs them on another thread.
// async() may be called from any thread and does not wait for the item.
class DispatchQueue {
 public:
  virtual ~DispatchQueue() = default;
  virtual void async(std::function<void()> work) = 0;
};

}  // namespace zolven::platform
