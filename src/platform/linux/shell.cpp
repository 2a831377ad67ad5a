// The desktop shell on Linux, and the composition root of its platform: a POSIX event loop,
// the child task, and two modules loaded only when needed: the Qt desktop UI when there is
// a display, and the GIO browser handoff at the first open.
#include "platform/shell.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/files.h"
#include "platform/linux/application.h"
#include "platform/linux/bundle.h"
#include "platform/linux/event_queue.h"
#include "platform/linux/instance_requests.h"
#include "platform/linux/module.h"
#include "platform/linux/quit_signals.h"
#include "platform/linux/task.h"
#include "platform/linux/ui_loader.h"
#include "platform/linux/workspace.h"
#include "platform/posix/process_info.h"
#include "platform/posix/worker_queue.h"
#include "platform/program_conventions.h"
#include "platform/user_places.h"

namespace zolven::platform {
namespace {

class LinuxShell final : public Shell {
 public:
  LinuxShell(int argc, char** argv)
      : launchToken_(DesktopWorkspace::takeLaunchTokenFromEnvironment()),
        program_(argc > 0 ? argv[0] : "zolven-launcher"),
        quitSignals_(installQuitSignals()),
        workspace_(std::move(launchToken_), modulePath("zolven-browser.so")) {
    if (hasDisplay()) loader_.emplace();
    std::function<std::unique_ptr<DesktopUi>()> makeUi;  // none: headless
    if (loader_) makeUi = [this] { return loader_->make(program_.c_str()); };
    application_.emplace(mainQueue_, std::move(makeUi), quitSignals_ ? *quitSignals_ : -1);
    // The toolkit's start waits for the browser's: both at once slow the page down.
    application_->setUiWaitsFor(
        [this](std::function<void()> then) { workspace_.afterOpensInHand(std::move(then)); });
    router_.emplace(mainQueue_, *application_, workspace_);
    services_.emplace(Services{
        .application = *application_,
        .mainQueue = mainQueue_,
        .globalQueue = globalQueue_,
        .tasks = tasks_,
        .alerts = *application_,
        .bundle = bundle_,
        .processInfo = processInfo_,
        .workspace = workspace_,
        .places = userPlaces(processInfo_.environment(), processInfo_.homeDirectory()),
        .programs = programConventions(),
    });
  }

  Services& services() override { return *services_; }

  // The startup failure that leaves this shell unusable, if any.
  Result<void> usable() const {
    if (!mainQueue_.valid()) return Error{"cannot make the main queue: out of descriptors"};
    if (!quitSignals_) return quitSignals_.error();
    return {};
  }

  void answerInstanceRequests(std::unique_ptr<SingleInstance> claim) override {
    claim_ = std::move(claim);
    // Queued, so listening starts inside the loop, after the launch has finished: no
    // request is handled before the launcher has started.
    mainQueue_.async([this] {
      const Result<void> listening = claim_->listen(
          [this](const InstanceRequest& request) { return router_->decide(request); });
      if (!listening)
        standardErrorStream()->writeWhole("zolven-launcher: later starts cannot reach this one: " +
                                          listening.error().message + "\n");
    });
  }

 private:
  // First: the desktop's token is taken before anything else reads the environment.
  std::optional<std::string> launchToken_;
  std::string program_;
  Result<int> quitSignals_;
  std::optional<UiLoader> loader_;
  EventQueue mainQueue_;
  // After the main queue, so destroyed before it: the opens in progress, which reply
  // through it, have ended by then.
  DesktopWorkspace workspace_;
  std::optional<LinuxApplication> application_;
  std::optional<InstanceRequestRouter> router_;
  // After the application and the main queue, so destroyed before them: the quit's wait,
  // which replies through both, has ended by then.
  WorkerQueue globalQueue_{"zolven-global"};
  LinuxTaskFactory tasks_;
  ExecutableBundle bundle_;
  PosixProcessInfo processInfo_;
  std::optional<Services> services_;
  // Last, so it is destroyed first: its thread stops before what its handler uses.
  std::unique_ptr<SingleInstance> claim_;
};

}  // namespace

// An X or a Wayland display is named by its variable; whether it can be reached is for
// the desktop UI to find out.
bool hasDisplay() {
  return nonEmptyVariable("DISPLAY").has_value() || nonEmptyVariable("WAYLAND_DISPLAY").has_value();
}

Result<std::unique_ptr<Shell>> makeDesktopShell(int argc, char** argv) {
  auto shell = std::make_unique<LinuxShell>(argc, argv);
  if (Result<void> usable = shell->usable(); !usable) return usable.error();
  return std::unique_ptr<Shell>(std::move(shell));
}

}  // namespace zolven::platform
