#include "platform/linux/instance_requests.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/application.h"
#include "platform/linux/event_queue.h"
#include "platform/linux/workspace.h"

namespace zolven::platform {
namespace {

// How long a later start's request waits for the main thread's decision. The main thread
// answers at once unless something holds it; then the sender is told to wait for the end.
constexpr std::chrono::seconds kDecisionTimeout{3};

}  // namespace

// A main loop that has finished drops the item, which breaks the promise: that is a
// refusal too.
InstanceAnswer InstanceRequestRouter::decide(const InstanceRequest& request) {
  struct Decision {
    std::promise<InstanceAnswer> accepted;
    std::atomic<int> state{0};  // 0 pending, 1 taken by the main thread, 2 given up
  };
  auto decision = std::make_shared<Decision>();
  std::future<InstanceAnswer> accepted = decision->accepted.get_future();
  mainQueue_.async([this, request, decision] {
    int pending = 0;
    if (!decision->state.compare_exchange_strong(pending, 1)) return;  // the sender has gone
    const bool ending = application_.isTerminating();
    std::optional<std::string> url;
    if (!ending && request.kind == InstanceRequestKind::Reopen) url = application_.announcedURL();
    decision->accepted.set_value(InstanceAnswer(!ending, std::move(url)));
    // A quit is acted on even by an ending launcher, as a quit signal is: one showing the
    // failure alert ends without waiting for the user, and the sender, told "ending",
    // waits for that end.
    if (request.kind == InstanceRequestKind::Quit) {
      application_.terminate(TerminationCause::Normal);
      return;
    }
    if (ending) return;
    if (request.activationToken) workspace_.offerActivationToken(*request.activationToken);
    application_.reopen();
  });
  if (accepted.wait_for(kDecisionTimeout) != std::future_status::ready) {
    int pending = 0;
    if (decision->state.compare_exchange_strong(pending, 2)) return false;
  }
  try {
    return accepted.get();
  } catch (const std::future_error&) {
    return false;
  }
}

}  // namespace zolven::platform
