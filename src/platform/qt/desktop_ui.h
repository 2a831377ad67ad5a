#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/desktop_module.h"

class QMenu;
class QSocketNotifier;
class QSystemTrayIcon;

namespace zolven::platform {

// The desktop UI on Qt Widgets: a tray icon whose context menu holds the menu's items, and
// alerts as modal message boxes. Needs a QApplication.
class QtDesktopUi final : public QObject, public DesktopUi {
 public:
  QtDesktopUi();
  ~QtDesktopUi() override;

  void setMenu(const Menu& menu, std::function<void()> onTerminate) override;
  void setReopenHandler(std::function<void()> onReopen) override;
  void setQuitRequestHandler(std::function<void()> onQuitRequest) override;
  void runModal(const Alert& alert) override;
  void watch(int fd, std::function<void()> onReadable) override;
  void run() override;
  void quit() override;

  QMenu* menu() const { return menu_.get(); }
  QSystemTrayIcon* trayIcon() const { return tray_.get(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::vector<std::unique_ptr<QSocketNotifier>> notifiers_;
  std::function<void()> onReopen_;
  std::function<void()> onQuitRequest_;
  bool quitting_ = false;
};

}  // namespace zolven::platform
