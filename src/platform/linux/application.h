#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/alert.h"
#include "platform/application.h"
#include "platform/files.h"
#include "platform/linux/desktop_module.h"
#include "platform/linux/event_queue.h"

namespace zolven::platform {

// The application object: the delegate's callbacks, termination, and the main loop.
//
// run() finishes the launch first (the delegate starts the runtime) and serves the main
// queue with a poll loop of our own while the runtime starts. The desktop UI, when one is
// wanted, comes up only once the first ready URL has been announced and handled (its open
// requested, and done: see setUiWaitsFor), so that the toolkit's start never holds up the
// page the user waits for; or
// at once when an alert needs it; or, for a runtime slow to get ready, at the latest
// `uiAtTheLatest` after the launch. The UI brings the tray and its menu together, and from
// then on the toolkit's loop serves the main queue and the quit signals. Without a UI
// there is no tray, alerts are printed to standard error, and ready URLs to standard
// output, each whole or not at all and never waiting for a reader (see PassOnStream).
class LinuxApplication final : public Application, public AlertPresenter {
 public:
  // `makeUi` brings up the UI when asked for (null: headless); it may return null when
  // no display can be reached. `quitSignals` is a descriptor that becomes readable when a
  // quit signal arrives, or -1.
  LinuxApplication(EventQueue& mainQueue, std::function<std::unique_ptr<DesktopUi>()> makeUi,
                   int quitSignals,
                   std::chrono::milliseconds uiAtTheLatest = std::chrono::seconds(1));
  ~LinuxApplication() override;

  // How the UI waits for the work that handling the first ready URL started elsewhere
  // (the browser's start): `wait` calls its argument, from any thread, once that work is
  // done. Unset, the UI comes up as soon as the handling has returned.
  void setUiWaitsFor(std::function<void(std::function<void()>)> wait) {
    uiWaitsFor_ = std::move(wait);
  }

  void setActivationPolicy(ActivationPolicy policy) override;
  void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override;
  void setMainMenu(const Menu& menu) override;
  int run() override;
  void terminate(TerminationCause cause) override;
  void replyToApplicationShouldTerminate(bool shouldTerminate) override;
  void announceURL(const std::string& url) override;
  // The last URL announced, if any; main thread only.
  const std::optional<std::string>& announcedURL() const { return announced_; }
  void runModal(const Alert& alert) override;

  // The user opened the running application again: asks the delegate to handle it, unless
  // the application is ending.
  void reopen();

  // A termination has begun (it may still wait for the delegate's reply), or a critical
  // alert, which ends the application once dismissed, is up: the application takes no
  // more requests from outside. Main thread.
  bool isTerminating() const { return terminateRequested_ || finishing_ || criticalAlertShown_; }

  bool hasUi() const { return ui_ != nullptr; }

 private:
  DesktopUi* ui();  // brings the UI up on first use; null when headless
  bool uiToCome() const { return makeUi_ && !uiTried_; }
  void printURL(const std::string& url);
  void finish();
  void drainQuitSignals();
  void pollLoop();
  std::optional<std::string> announced_;

  EventQueue& mainQueue_;
  std::function<std::unique_ptr<DesktopUi>()> makeUi_;
  const int quitSignals_;
  std::unique_ptr<DesktopUi> ui_;
  bool uiTried_ = false;
  bool uiQueued_ = false;
  std::function<void(std::function<void()>)> uiWaitsFor_;
  const std::chrono::milliseconds uiAtTheLatest_;
  std::chrono::steady_clock::time_point uiDeadline_;
  std::weak_ptr<ApplicationDelegate> delegate_;
  std::optional<Menu> menu_;
  // Made at the first line printed.
  std::unique_ptr<PassOnStream> output_;
  std::unique_ptr<PassOnStream> errors_;
  int exitStatus_ = 0;
  bool finishing_ = false;
  bool terminateRequested_ = false;
  bool criticalAlertShown_ = false;
};

}  // namespace zolven::platform
