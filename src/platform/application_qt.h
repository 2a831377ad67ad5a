#pragma once

#include <QObject>
#include <QPointer>
#include <memory>

#include "platform/alert.h"
#include "platform/application.h"
#include "platform/dispatch.h"

class QMenu;
class QSystemTrayIcon;

namespace platform {

// The application object on Qt. With `gui` it shows the main menu's items in a tray
// icon's context menu and alerts as modal message boxes; without it (no display) it has
// no tray and prints alerts to standard error.
class QtApplication final : public QObject, public Application, public AlertPresenter {
 public:
  explicit QtApplication(bool gui);
  ~QtApplication() override;

  void setActivationPolicy(ActivationPolicy policy) override;
  void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override;
  void setMainMenu(const Menu& menu) override;
  int run() override;
  void terminate(TerminationCause cause) override;
  void replyToApplicationShouldTerminate(bool shouldTerminate) override;
  void announceURL(const std::string& url) override;

  void runModal(const Alert& alert) override;

  // The user opened the running application again (a later start, or a click on the
  // tray icon): asks the delegate to handle the reopen. Main thread only.
  void reopen();

  // The menu built from the last setMainMenu(); null before.
  QMenu* quitMenu() const { return menu_.get(); }
  // The tray icon, made with the first menu when there is a display; null otherwise.
  QSystemTrayIcon* trayIcon() const { return tray_.get(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void finish();

  const bool gui_;
  std::weak_ptr<ApplicationDelegate> delegate_;
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  int exitStatus_ = 0;
  bool finishing_ = false;
};

// The main queue on Qt: work items become queued calls on the application object.
class QtMainQueue final : public DispatchQueue {
 public:
  void async(std::function<void()> work) override;
};

}  // namespace platform
