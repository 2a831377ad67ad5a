#pragma once

#include <chrono>
#include <functional>

#include "platform/single_instance.h"

namespace zolven::platform {

// What a later start decides between the claim and the running launcher, written against
// the two things it needs of the system (below): the same decisions on every system, and
// tested without any.

// The claim of one bundle as the system holds it.
class InstanceClaimer {
 public:
  virtual ~InstanceClaimer() = default;
  // Claims the bundle for this process, unless another launcher holds it.
  virtual InstanceClaim claim() = 0;
  // Hands `request` to the launcher that holds the claim, with no patience for one that
  // does not listen yet.
  virtual InstanceDelivery deliver(const InstanceRequest& request) = 0;
};

// The time a hand-over waits in.
class HandOverClock {
 public:
  virtual ~HandOverClock() = default;
  virtual std::chrono::steady_clock::time_point now() = 0;
  virtual void pause(std::chrono::milliseconds duration) = 0;
};

// The steady clock, and pauses that sleep.
class SteadyHandOverClock final : public HandOverClock {
 public:
  std::chrono::steady_clock::time_point now() override;
  void pause(std::chrono::milliseconds duration) override;
};

// How often a waiting start looks at the claim again.
inline constexpr std::chrono::milliseconds kHandOverRetry{20};

// claimOrHandOver() (see single_instance.h) on `claimer`, waiting on `clock`.
InstanceClaim claimOrHandOver(InstanceClaimer& claimer, HandOverClock& clock,
                              const InstanceRequest& request, HandOverEnd end,
                              std::chrono::milliseconds bound,
                              const std::function<void()>& ending = {});

}  // namespace zolven::platform
