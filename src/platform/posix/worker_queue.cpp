#include "platform/posix/worker_queue.h"

#include <pthread.h>

#include <cstdio>
#include <system_error>

#include "platform/posix/support.h"

namespace zolven::platform {

WorkerQueue::WorkerQueue(std::string name) : name_(std::move(name)) {}

WorkerQueue::~WorkerQueue() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(items_);
  }
  changed_.notify_all();
  dropped.clear();  // outside the lock: what an item holds may queue more
  if (thread_.joinable()) thread_.join();
}

void WorkerQueue::async(std::function<void()> work) {
  std::unique_lock lock(mutex_);
  if (stopping_) return;
  if (!thread_.joinable()) {
    try {
      // Started with every signal blocked: asynchronous signals go to the main thread.
      const BlockedSignals blocked;
      thread_ = std::thread([this] { drain(); });
      ::pthread_setname_np(thread_.native_handle(), name_.substr(0, 15).c_str());
    } catch (const std::system_error& failure) {
      lock.unlock();
      std::fprintf(stderr, "zolven-launcher: no thread for %s (%s); running its work inline\n",
                   name_.c_str(), failure.what());
      work();
      return;
    }
  }
  items_.push_back(std::move(work));
  lock.unlock();
  changed_.notify_one();
}

void WorkerQueue::drain() {
  unblockFaultSignals();
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !items_.empty(); });
    if (stopping_) return;
    std::function<void()> item = std::move(items_.front());
    items_.pop_front();
    lock.unlock();
    item();
    item = nullptr;  // what it holds is let go before the next item runs
    lock.lock();
  }
}

}  // namespace zolven::platform
