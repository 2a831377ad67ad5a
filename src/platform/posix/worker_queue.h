#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dispatch.h"

namespace zolven::platform {

// A queue whose items run one at a time, in order, on one thread of its own, started at
// the first item. The queue owns the thread: its destructor drops the items that have not
// started and joins the thread once the running item has returned, so no item outlives
// the queue and what it was built on.
//
// When no thread can be had (a task limit), the item runs on the caller's thread instead,
// after a message on standard error: late, but never lost and never a crash.
class WorkerQueue final : public DispatchQueue {
 public:
  // `name` names the thread for diagnostics (at most 15 characters are kept).
  explicit WorkerQueue(std::string name);
  ~WorkerQueue() override;
  WorkerQueue(const WorkerQueue&) = delete;
  WorkerQueue& operator=(const WorkerQueue&) = delete;

  void async(std::function<void()> work) override;

 private:
  void drain();

  const std::string name_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> items_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace zolven::platform
