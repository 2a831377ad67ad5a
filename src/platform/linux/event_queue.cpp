#include "platform/linux/event_queue.h"

#include <sys/eventfd.h>

#include <cstdint>
#include <iterator>

namespace zolven::platform {

EventQueue::EventQueue()
    : wake_(aboveStandardStreams(UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)))) {}

void EventQueue::async(std::function<void()> work) {
  // The wake-up is written under the lock: the main thread cannot take the item before
  // it, so an item that ends the process never races this write to a closed descriptor.
  std::unique_lock lock(mutex_);
  if (closed_) {
    lock.unlock();
    work = nullptr;  // dropped here, outside the lock: what it holds may queue more
    return;
  }
  items_.push_back(std::move(work));
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
}

void EventQueue::close() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(items_);
  }
  // Destroyed in order, outside the lock.
  while (!dropped.empty()) dropped.pop_front();
}

void EventQueue::runPending(const std::function<bool()>& stop) {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t read = ::read(wake_.get(), &count, sizeof count);
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(items_);
  }
  while (!batch.empty()) {
    if (stop && stop()) {
      std::lock_guard lock(mutex_);
      items_.insert(items_.begin(), std::make_move_iterator(batch.begin()),
                    std::make_move_iterator(batch.end()));
      return;
    }
    // Destroyed before the next runs, so whatever an item holds is let go in order.
    std::function<void()> item = std::move(batch.front());
    batch.pop_front();
    item();
  }
}

}  // namespace zolven::platform
