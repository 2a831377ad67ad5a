#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

namespace zolven::runtime {

// Bounds the chunks of output on their way from the reading thread to the main thread.
//
// The reader takes a permit for each chunk it hands over and waits while `limit` are
// out; a permit is given back when the work item holding it is destroyed, whether it ran
// or was dropped with its queue. A runtime that writes faster than the main thread frames
// is thus slowed by its full pipe instead of growing the launcher's memory.
class OutputFlow : public std::enable_shared_from_this<OutputFlow> {
 public:
  explicit OutputFlow(size_t limit) : limit_(limit) {}

  // Waits for a free slot; the permit holds it until the last copy of it goes away.
  std::shared_ptr<void> acquire();

  size_t inFlight() const;

 private:
  void release();

  const size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  size_t inFlight_ = 0;
};

}  // namespace zolven::runtime
