// The desktop shell on Linux: POSIX for the event loop, the child task and the rest, and
// two modules loaded only when needed: the Qt desktop UI when there is a display, and the
// GIO browser handoff at the first open.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "platform/application_posix.h"
#include "platform/event_queue.h"
#include "platform/module.h"
#include "platform/shell.h"
#include "platform/task_posix.h"
#include "platform/workspace_desktop.h"

namespace platform {
namespace {

int signalPipe[2] = {-1, -1};

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
class UiLoader {
 public:
  UiLoader() {
    thread_ = std::thread([this] {
      create_ = reinterpret_cast<CreateDesktopUi>(
          loadModuleSymbol(modulePath("zolven-desktop.so"), kCreateDesktopUiSymbol, error_));
    });
  }
  ~UiLoader() {
    if (thread_.joinable()) thread_.join();
  }

  std::unique_ptr<DesktopUi> make(const char* programName) {
    thread_.join();
    std::unique_ptr<DesktopUi> ui(create_ != nullptr ? create_(programName, &error_) : nullptr);
    if (!ui)
      std::fprintf(stderr, "zolven-launcher: running without a desktop UI: %s\n", error_.c_str());
    return ui;
  }

 private:
  std::thread thread_;
  CreateDesktopUi create_ = nullptr;
  std::string error_;
};

class PosixShell final : public Shell {
 public:
  PosixShell(int argc, char** argv)
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
        installQuitSignals());
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

  void answerInstanceRequests(std::unique_ptr<SingleInstance> claim) override {
    claim_ = std::move(claim);
    // Queued, so listening starts inside the loop, after the launch has finished: no
    // request is handled before the launcher has started.
    mainQueue_.async([this] {
      const std::optional<std::string> error =
          claim_->listen([this](const InstanceRequest& request) {
            // On the claim's thread: hand the request to the main thread and return.
            mainQueue_.async([this, request] {
              if (request.kind == InstanceRequestKind::Quit) {
                application_->terminate(TerminationCause::Normal);
                return;
              }
              if (request.activationToken)
                workspace_.offerActivationToken(*request.activationToken);
              application_->reopen();
            });
          });
      if (error)
        std::fprintf(stderr, "zolven-launcher: later starts cannot reach this one: %s\n",
                     error->c_str());
    });
  }

 private:
  DesktopWorkspace workspace_;  // first: it takes the desktop's token before anything else reads it
  std::string program_;
  std::optional<UiLoader> loader_;
  EventQueue mainQueue_;
  std::optional<PosixApplication> application_;
  ThreadQueue globalQueue_;
  PosixTaskFactory tasks_;
  ExecutableBundle bundle_;
  PosixProcessInfo processInfo_;
  std::optional<Services> services_;
  // Last, so it is destroyed first: its thread stops before what its handler uses.
  std::unique_ptr<SingleInstance> claim_;
};

}  // namespace

std::unique_ptr<Shell> makeDesktopShell(int argc, char** argv) {
  return std::make_unique<PosixShell>(argc, argv);
}

}  // namespace platform
