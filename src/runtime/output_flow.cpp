#include "runtime/output_flow.h"

namespace zolven::runtime {

std::shared_ptr<void> OutputFlow::acquire() {
  std::unique_lock lock(mutex_);
  freed_.wait(lock, [this] { return inFlight_ < limit_; });
  ++inFlight_;
  // The permit keeps the flow alive, so it may outlive everyone else's reference.
  return std::shared_ptr<void>(nullptr, [self = shared_from_this()](void*) { self->release(); });
}

size_t OutputFlow::inFlight() const {
  std::lock_guard lock(mutex_);
  return inFlight_;
}

void OutputFlow::release() {
  {
    std::lock_guard lock(mutex_);
    --inFlight_;
  }
  freed_.notify_one();
}

}  // namespace zolven::runtime
