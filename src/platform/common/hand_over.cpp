#include "platform/common/hand_over.h"

#include <string>
#include <thread>
#include <utility>

namespace zolven::platform {

std::chrono::steady_clock::time_point SteadyHandOverClock::now() {
  return std::chrono::steady_clock::now();
}

void SteadyHandOverClock::pause(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

InstanceClaim claimOrHandOver(InstanceClaimer& claimer, HandOverClock& clock,
                              const InstanceRequest& request, HandOverEnd end,
                              std::chrono::milliseconds bound,
                              const std::function<void()>& ending) {
  const bool waitForTheEnd = end == HandOverEnd::WaitForTheEnd;
  const auto deadline = clock.now() + bound;
  bool delivered = false;
  bool toldEnding = false;
  std::string lastError;
  for (;;) {
    InstanceClaim claim = claimer.claim();
    if (claim.outcome != InstanceClaim::Outcome::AnotherRuns) {
      claim.handedOver = delivered;
      return claim;
    }
    if (!delivered) {
      InstanceDelivery delivery = claimer.deliver(request);
      switch (delivery.outcome) {
        case InstanceDelivery::Outcome::Accepted:
          if (!waitForTheEnd)
            return InstanceClaim{.outcome = InstanceClaim::Outcome::AnotherRuns,
                                 .handedOver = true,
                                 .url = std::move(delivery.url)};
          delivered = true;
          break;
        case InstanceDelivery::Outcome::Ending:
          // It is on its way out: this start waits for its claim. A quit has what it asked.
          delivered = waitForTheEnd;
          if (ending && !toldEnding) ending();
          toldEnding = true;
          break;
        case InstanceDelivery::Outcome::NotListening:
          // Starting (it claims before it listens) or ending: either way, soon decided.
          break;
        case InstanceDelivery::Outcome::Failed: {
          // It may have ended meanwhile; if so, take its place.
          claim = claimer.claim();
          if (claim.outcome != InstanceClaim::Outcome::AnotherRuns) return claim;
          return InstanceClaim{.outcome = InstanceClaim::Outcome::AnotherRuns,
                               .error = std::move(delivery.error)};
        }
      }
      lastError = std::move(delivery.error);
    }
    if (clock.now() >= deadline)
      return InstanceClaim{.outcome = InstanceClaim::Outcome::AnotherRuns,
                           .error = delivered ? "it has not ended after " +
                                                    std::to_string(bound.count() / 1000) + " s"
                                              : lastError,
                           .handedOver = delivered};
    clock.pause(kHandOverRetry);
  }
}

}  // namespace zolven::platform
