#include "platform/linux/application.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace zolven::platform {

LinuxApplication::LinuxApplication(EventQueue& mainQueue,
                                   std::function<std::unique_ptr<DesktopUi>()> makeUi,
                                   int quitSignals, std::chrono::milliseconds uiAtTheLatest)
    : mainQueue_(mainQueue),
      makeUi_(std::move(makeUi)),
      quitSignals_(quitSignals),
      uiAtTheLatest_(uiAtTheLatest) {}

LinuxApplication::~LinuxApplication() = default;

void LinuxApplication::setActivationPolicy(ActivationPolicy /*policy*/) {
  // An application without windows shows nothing in the task bar or dock on Linux
  // desktops already, which is what the accessory policy asks for.
}

void LinuxApplication::setDelegate(std::weak_ptr<ApplicationDelegate> delegate) {
  delegate_ = std::move(delegate);
}

void LinuxApplication::setMainMenu(const Menu& menu) {
  menu_ = menu;
  if (ui_) ui_->setMenu(menu, [this] { terminate(TerminationCause::Normal); });
}

DesktopUi* LinuxApplication::ui() {
  if (!uiTried_ && makeUi_) {
    uiTried_ = true;
    ui_ = makeUi_();
    if (ui_) {
      ui_->watch(mainQueue_.fd(), [this] { mainQueue_.runPending([this] { return finishing_; }); });
      if (quitSignals_ >= 0) ui_->watch(quitSignals_, [this] { drainQuitSignals(); });
      ui_->setReopenHandler([this] { reopen(); });
      ui_->setQuitRequestHandler([this] { terminate(TerminationCause::Normal); });
      if (menu_) ui_->setMenu(*menu_, [this] { terminate(TerminationCause::Normal); });
    } else if (announced_) {
      printURL(*announced_);  // held back for a UI that did not come
    }
  }
  return ui_.get();
}

int LinuxApplication::run() {
  uiDeadline_ = std::chrono::steady_clock::now() + uiAtTheLatest_;
  // The launch first, then our own loop until the UI is up (or for good, headless).
  if (auto d = delegate_.lock()) d->applicationDidFinishLaunching();
  if (!finishing_) pollLoop();
  if (!finishing_ && ui_) ui_->run();
  // Nothing runs on this thread's queue any more: what waits there is let go now, before
  // anyone joins a thread that may be waiting for it to run.
  mainQueue_.close();
  return exitStatus_;
}

// Ends when the application does, or when the UI is up: its loop takes over.
void LinuxApplication::pollLoop() {
  while (!finishing_ && !ui_) {
    int timeout = -1;
    if (uiToCome()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          uiDeadline_ - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        ui();
        continue;
      }
      timeout = static_cast<int>(left.count());
    }
    pollfd fds[2] = {{.fd = mainQueue_.fd(), .events = POLLIN, .revents = 0},
                     {.fd = quitSignals_, .events = POLLIN, .revents = 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::perror("zolven-launcher: poll");
      return;
    }
    if (ready == 0) continue;
    if (fds[1].revents != 0) drainQuitSignals();
    if (fds[0].revents != 0) mainQueue_.runPending([this] { return finishing_; });
  }
}

void LinuxApplication::drainQuitSignals() {
  char bytes[64];
  while (::read(quitSignals_, bytes, sizeof bytes) > 0) {
  }
  terminate(TerminationCause::Normal);
}

void LinuxApplication::terminate(TerminationCause cause) {
  if (cause == TerminationCause::Failure) exitStatus_ = 1;
  if (finishing_) return;
  terminateRequested_ = true;
  auto d = delegate_.lock();
  const TerminateReply reply = d ? d->applicationShouldTerminate() : TerminateReply::Now;
  if (reply == TerminateReply::Now) finish();
  // Later: replyToApplicationShouldTerminate(true) finishes.
}

void LinuxApplication::replyToApplicationShouldTerminate(bool shouldTerminate) {
  if (shouldTerminate) finish();
}

// Work still queued is not run any more: an exit of the runtime whose report is in flight
// when the user quits must not turn into a failure alert on the way out.
void LinuxApplication::finish() {
  finishing_ = true;
  if (ui_) ui_->quit();
}

void LinuxApplication::reopen() {
  if (isTerminating()) return;  // the app is on its way out: there is nothing to show
  if (auto d = delegate_.lock()) d->applicationShouldHandleReopen(false);
}

void LinuxApplication::announceURL(const std::string& url) {
  announced_ = url;
  if (ui_) return;  // the browser shows it
  if (uiToCome()) {
    // Queued, so the UI comes up after the work in hand: the ready line's open first, and
    // then what that open does on other threads, which the toolkit's start would slow down.
    if (!uiQueued_) {
      uiQueued_ = true;
      mainQueue_.async([this] {
        if (!uiWaitsFor_) {
          ui();
          return;
        }
        // The queue, not the application, is what the other thread touches.
        uiWaitsFor_([&queue = mainQueue_, this] { queue.async([this] { ui(); }); });
      });
    }
    return;
  }
  printURL(url);
}

// The standard streams may be pipes that nobody reads: what they cannot take at once is
// dropped (the log has every URL and failure), and the main thread goes on.
void LinuxApplication::printURL(const std::string& url) {
  if (!output_) output_ = standardOutputStream();
  output_->writeWhole(url + "\n");
}

void LinuxApplication::runModal(const Alert& alert) {
  if (alert.style == AlertStyle::Critical) criticalAlertShown_ = true;
  if (DesktopUi* desktop = ui()) {
    desktop->runModal(alert);
    return;
  }
  if (!errors_) errors_ = standardErrorStream();
  errors_->writeWhole(alert.messageText + "\n" + alert.informativeText + "\n");
}

}  // namespace zolven::platform
