#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/alert.h"
#include "platform/application.h"
#include "platform/linux/desktop_module.h"
#include "platform/linux/event_queue.h"

namespace platform {

// The application object: the delegate's callbacks, termination, and the main loop.
//
// run() finishes the launch first (the delegate starts the runtime), and only then brings
// up the desktop UI, when one is wanted, so the two start-ups overlap. The loop is the
// UI toolkit's when there is a UI, else a poll loop of our own; either serves the main
// queue and the quit signals. Without a UI there is no tray, alerts are printed to
// standard error, and ready URLs to standard output.
class LinuxApplication final : public Application, public AlertPresenter {
 public:
  // `makeUi` brings up the UI when asked for (null: headless); it may return null when
  // no display can be reached. `quitSignals` is a descriptor that becomes readable when a
  // quit signal arrives, or -1.
  LinuxApplication(EventQueue& mainQueue, std::function<std::unique_ptr<DesktopUi>()> makeUi,
                   int quitSignals);
  ~LinuxApplication() override;

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
  void finish();
  void drainQuitSignals();
  void pollLoop();
  std::optional<std::string> announced_;

  EventQueue& mainQueue_;
  std::function<std::unique_ptr<DesktopUi>()> makeUi_;
  const int quitSignals_;
  std::unique_ptr<DesktopUi> ui_;
  bool uiTried_ = false;
  std::weak_ptr<ApplicationDelegate> delegate_;
  std::optional<Menu> menu_;
  int exitStatus_ = 0;
  bool finishing_ = false;
  bool terminateRequested_ = false;
  bool criticalAlertShown_ = false;
};

}  // namespace platform
