// The desktop shell on Linux: a Qt application object and event loop, POSIX for the
// child task and the rest, and quit signals routed into the ordinary terminate path.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/application_qt.h"
#include "platform/shell.h"
#include "platform/task_posix.h"
#include "platform/workspace_gio.h"

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

bool installQuitSignals() {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = onQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
  return true;
}

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// Qt aborts when its display cannot be reached; a fallback to the offscreen platform
// lets us notice that and carry on headless instead.
std::string platformCandidates() {
  std::string candidates;
  if (isSet("QT_QPA_PLATFORM")) {
    candidates = std::getenv("QT_QPA_PLATFORM");
  } else {
    candidates = isSet("WAYLAND_DISPLAY") ? "wayland;xcb" : "xcb";
  }
  return candidates + ";offscreen";
}

class QtShell final : public Shell {
 public:
  QtShell(int argc, char** argv) : workspace_(GioWorkspace::takeLaunchTokenFromEnvironment()) {
    arguments_.push_back(argc > 0 ? argv[0] : const_cast<char*>("zolven-launcher"));
    argc_ = 1;
    bool gui = isSet("DISPLAY") || isSet("WAYLAND_DISPLAY");
    if (gui) {
      candidates_ = platformCandidates();
      arguments_.push_back(const_cast<char*>("-platform"));
      arguments_.push_back(candidates_.data());
      argc_ = 3;
    }
    arguments_.push_back(nullptr);
    if (gui) {
      qt_ = std::make_unique<QApplication>(argc_, arguments_.data());
      const bool askedOffscreen = candidates_.rfind("offscreen", 0) == 0;
      if (QGuiApplication::platformName() == QStringLiteral("offscreen") && !askedOffscreen)
        gui = false;
    } else {
      qt_ = std::make_unique<QCoreApplication>(argc_, arguments_.data());
    }
    application_ = std::make_unique<QtApplication>(gui);

    if (installQuitSignals()) {
      notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
      QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
        char bytes[64];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        application_->terminate(TerminationCause::Normal);
      });
    }
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
    // Queued behind the launch that run() queues first, so no request is handled before
    // the launcher has started.
    QMetaObject::invokeMethod(
        application_.get(),
        [this] {
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
        },
        Qt::QueuedConnection);
  }

 private:
  int argc_ = 0;
  std::string candidates_;
  std::vector<char*> arguments_;
  std::unique_ptr<QCoreApplication> qt_;
  std::unique_ptr<QtApplication> application_;
  std::unique_ptr<QSocketNotifier> notifier_;
  QtMainQueue mainQueue_;
  ThreadQueue globalQueue_;
  PosixTaskFactory tasks_;
  ExecutableBundle bundle_;
  PosixProcessInfo processInfo_;
  GioWorkspace workspace_;
  std::optional<Services> services_;
  // Last, so it is destroyed first: its thread stops before what its handler uses.
  std::unique_ptr<SingleInstance> claim_;
};

}  // namespace

std::unique_ptr<Shell> makeDesktopShell(int argc, char** argv) {
  return std::make_unique<QtShell>(argc, argv);
}

}  // namespace platform
