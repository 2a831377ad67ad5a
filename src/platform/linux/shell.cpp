// The desktop shell on Linux: POSIX for the event loop, the child task and the rest, and
// two modules loaded only when needed: the Qt desktop UI when there is a display, and the
// GIO browser handoff at the first open.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "platform/linux/application.h"
#include "platform/linux/bundle.h"
#include "platform/linux/event_queue.h"
#include "platform/linux/module.h"
#include "platform/shell.h"
#include "platform/linux/task.h"
#include "platform/posix/process_info.h"
#include "platform/posix/worker_queue.h"
#include "platform/linux/workspace.h"

namespace platform {
namespace {

int signalPipe[2] = {-1, -1};

// How long a later start's request waits for the main thread's decision. The main thread
// answers at once unless something holds it; then the sender is told to wait for the end.
constexpr std::chrono::seconds kDecisionTimeout{3};

// Self-pipe: the handler only writes a byte; the event loop does the work. The signals
// stay unblocked, since a blocked mask would be inherited by every child we start.
void onQuitSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

int installQuitSignals() {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction action {};
  action.sa_handler = onQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigset_t quitSignals;
  sigemptyset(&quitSignals);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    ::sigaction(signal, &action, nullptr);
    sigaddset(&quitSignals, signal);
  }
  // A parent may have started us with them blocked: logout would then never reach us.
  ::pthread_sigmask(SIG_UNBLOCK, &quitSignals, nullptr);
  return signalPipe[0];
}

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// Loads the UI module on a thread of its own, so the work of mapping and relocating the
// toolkit overlaps the launch; the UI itself is then made on the main thread.
// When no thread can be had, the module is loaded on the main thread when it is needed.
class UiLoader {
 public:
  UiLoader() {
    try {
      const BlockedSignals blocked;
      thread_ = std::thread([this] { load(); });
    } catch (const std::system_error&) {
    }
  }
  ~UiLoader() {
    if (thread_.joinable()) thread_.join();
  }

  std::unique_ptr<DesktopUi> make(const char* programName) {
    if (thread_.joinable()) {
      thread_.join();
    } else {
      load();
    }
    std::unique_ptr<DesktopUi> ui(create_ != nullptr ? create_(programName, &error_) : nullptr);
    if (!ui)
      std::fprintf(stderr, "zolven-launcher: running without a desktop UI: %s\n", error_.c_str());
    return ui;
  }

 private:
  void load() {
    create_ = reinterpret_cast<CreateDesktopUi>(
        loadModuleSymbol(modulePath("zolven-desktop.so"), kCreateDesktopUiSymbol, error_));
  }

  std::thread thread_;
  CreateDesktopUi create_ = nullptr;
  std::string error_;
};

class LinuxShell final : public Shell {
 public:
  LinuxShell(int argc, char** argv)
      : workspace_(DesktopWorkspace::takeLaunchTokenFromEnvironment(),
                   modulePath("zolven-browser.so")),
        program_(argc > 0 ? argv[0] : "zolven-launcher") {
    if (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY")) loader_.emplace();
    application_.emplace(
        mainQueue_,
        [this]() -> std::unique_ptr<DesktopUi> {
          if (!loader_) return nullptr;
          return loader_->make(program_.c_str());
        },
        quitSignals_ = installQuitSignals());
    services_.emplace(Services{
        .application = *application_,
        .mainQueue = mainQueue_,
        .globalQueue = globalQueue_,
        .tasks = tasks_,
        .alerts = *application_,
        .bundle = bundle_,
        .processInfo = processInfo_,
        .workspace = workspace_,
    });
  }

  Services& services() override { return *services_; }

  // The startup failure that leaves this shell unusable, if any.
  std::optional<std::string> failure() const {
    if (!mainQueue_.valid()) return std::string("cannot make the main queue: out of descriptors");
    if (quitSignals_ < 0) return "cannot make the pipe for quit signals";
    return std::nullopt;
  }

  void answerInstanceRequests(std::unique_ptr<SingleInstance> claim) override {
    claim_ = std::move(claim);
    // Queued, so listening starts inside the loop, after the launch has finished: no
    // request is handled before the launcher has started.
    mainQueue_.async([this] {
      const std::optional<std::string> error = claim_->listen(
          [this](const InstanceRequest& request) { return decideOnMainThread(request); });
      if (error)
        std::fprintf(stderr, "zolven-launcher: later starts cannot reach this one: %s\n",
                     error->c_str());
    });
  }

 private:
  // On the claim's thread. Only the main thread knows whether a quit has begun, so it
  // decides: a launcher that is ending takes no request, and the sender waits for it to
  // end instead of being answered and forgotten. A main loop that has finished drops the
  // item, which breaks the promise: that is a refusal too.
  InstanceAnswer decideOnMainThread(const InstanceRequest& request) {
    struct Decision {
      std::promise<InstanceAnswer> accepted;
      std::atomic<int> state{0};  // 0 pending, 1 taken by the main thread, 2 given up
    };
    auto decision = std::make_shared<Decision>();
    std::future<InstanceAnswer> accepted = decision->accepted.get_future();
    mainQueue_.async([this, request, decision] {
      int pending = 0;
      if (!decision->state.compare_exchange_strong(pending, 1)) return;  // the sender has gone
      const bool ending = application_->isTerminating();
      // A reopen is answered with the ready URL, for a later start without a display.
      std::optional<std::string> url;
      if (!ending && request.kind == InstanceRequestKind::Reopen)
        url = application_->announcedURL();
      decision->accepted.set_value(InstanceAnswer(!ending, std::move(url)));
      if (ending) return;
      if (request.kind == InstanceRequestKind::Quit) {
        application_->terminate(TerminationCause::Normal);
        return;
      }
      if (request.activationToken) workspace_.offerActivationToken(*request.activationToken);
      application_->reopen();
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

  DesktopWorkspace workspace_;  // first: it takes the desktop's token before anything else reads it
  std::string program_;
  int quitSignals_ = -1;
  std::optional<UiLoader> loader_;
  EventQueue mainQueue_;
  std::optional<LinuxApplication> application_;
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

std::unique_ptr<Shell> makeDesktopShell(int argc, char** argv) {
  auto shell = std::make_unique<LinuxShell>(argc, argv);
  if (const std::optional<std::string> failure = shell->failure()) {
    std::fprintf(stderr, "zolven-launcher: %s\n", failure->c_str());
    return nullptr;
  }
  return shell;
}

}  // namespace platform
