// The Qt desktop UI with a real event loop, on Qt's offscreen platform.
#include "platform/qt/desktop_ui.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdint>

namespace zolven::platform {
namespace {

Menu quitMenu() {
  MenuItem app;
  app.submenu.push_back(
      {.title = "Quit ZOLVEN", .action = MenuAction::Terminate, .keyEquivalent = "q"});
  return Menu{.items = {app}};
}

TEST(QtDesktopUi, QuitItemHasCtrlQAndRunsTheTerminateAction) {
  QtDesktopUi ui;
  int terminations = 0;
  ui.setMenu(quitMenu(), [&] { ++terminations; });
  ASSERT_NE(ui.menu(), nullptr);
  const auto actions = ui.menu()->actions();
  ASSERT_EQ(actions.size(), 1);
  EXPECT_EQ(actions[0]->text(), QStringLiteral("Quit ZOLVEN"));
  EXPECT_EQ(actions[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
  ASSERT_NE(ui.trayIcon(), nullptr);
  EXPECT_EQ(ui.trayIcon()->contextMenu(), ui.menu());
  actions[0]->trigger();
  EXPECT_EQ(terminations, 1);
}

TEST(QtDesktopUi, ClickOnTheTrayIconIsAReopen) {
  QtDesktopUi ui;
  int reopens = 0;
  ui.setReopenHandler([&] { ++reopens; });
  ui.setMenu(quitMenu(), [] {});
  emit ui.trayIcon()->activated(QSystemTrayIcon::Context);  // opens the menu only
  EXPECT_EQ(reopens, 0);
  emit ui.trayIcon()->activated(QSystemTrayIcon::Trigger);
  EXPECT_EQ(reopens, 1);
}

TEST(QtDesktopUi, WatchedDescriptorIsServedUntilQuit) {
  QtDesktopUi ui;
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ASSERT_GE(fd, 0);
  int served = 0;
  ui.watch(fd, [&] {
    uint64_t value = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd, &value, sizeof value);
    ++served;
    ui.quit();
  });
  const uint64_t one = 1;
  ASSERT_EQ(::write(fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
  ui.run();  // returns only through quit() in the handler
  EXPECT_EQ(served, 1);
  ::close(fd);
}

TEST(QtDesktopUi, QuitThatQtDeliversGoesToTheQuitRequestHandler) {
  QtDesktopUi ui;
  int requests = 0;
  ui.setQuitRequestHandler([&] {
    ++requests;
    ui.quit();
  });
  QTimer::singleShot(0, [] {
    QCoreApplication::postEvent(QCoreApplication::instance(), new QEvent(QEvent::Quit));
  });
  ui.run();
  EXPECT_EQ(requests, 1);
}

TEST(QtDesktopUi, AlertIsAModalBoxWithTheTextsAndOneOkButton) {
  QtDesktopUi ui;
  QString title, text, informative;
  QStringList buttons;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  bool wasModal = false;
  // Inspects the box while exec() runs it, then presses its one button.
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    wasModal = box->isModal();
    title = box->windowTitle();
    text = box->text();
    informative = box->informativeText();
    icon = box->icon();
    for (QAbstractButton* button : box->buttons()) buttons << button->text();
    box->buttons().value(0)->click();
  });
  ui.runModal(Alert{.style = AlertStyle::Critical,
                    .messageText = "ZOLVEN could not start.",
                    .informativeText = "Something. See the ZOLVEN log directory for diagnostics.",
                    .buttons = {"OK"}});
  EXPECT_TRUE(wasModal);
  EXPECT_EQ(title, QStringLiteral("ZOLVEN"));
  EXPECT_EQ(text, QStringLiteral("ZOLVEN could not start."));
  EXPECT_EQ(informative,
            QStringLiteral("Something. See the ZOLVEN log directory for diagnostics."));
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_EQ(buttons, QStringList{QStringLiteral("OK")});
}

}  // namespace
}  // namespace zolven::platform

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // These tests need no screen; a test run under a display sets its own platform.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
