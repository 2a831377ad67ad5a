// The Qt application object with a real event loop, on Qt's offscreen platform.
#include "platform/application_qt.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>
#include <thread>

namespace platform {
namespace {

class RecordingDelegate final : public ApplicationDelegate {
 public:
  std::function<void()> onFinishLaunching;
  TerminateReply reply = TerminateReply::Now;
  int finishLaunchingCalls = 0;
  int terminateCalls = 0;
  int reopenCalls = 0;

  void applicationDidFinishLaunching() override {
    ++finishLaunchingCalls;
    if (onFinishLaunching) onFinishLaunching();
  }
  bool applicationShouldHandleReopen(bool) override {
    ++reopenCalls;
    return true;
  }
  bool applicationShouldTerminateAfterLastWindowClosed() override { return false; }
  TerminateReply applicationShouldTerminate() override {
    ++terminateCalls;
    return reply;
  }
};

Menu quitMenu() {
  MenuItem app;
  app.submenu.push_back(
      {.title = "Quit ZOLVEN", .action = MenuAction::Terminate, .keyEquivalent = "q"});
  return Menu{.items = {app}};
}

TEST(QtApplication, QuitItemHasCtrlQAndReachesTheDelegate) {
  QtApplication application(/*gui=*/false);
  auto delegate = std::make_shared<RecordingDelegate>();
  application.setDelegate(delegate);
  application.setMainMenu(quitMenu());

  ASSERT_NE(application.quitMenu(), nullptr);
  const auto actions = application.quitMenu()->actions();
  ASSERT_EQ(actions.size(), 1);
  EXPECT_EQ(actions[0]->text(), QStringLiteral("Quit ZOLVEN"));
  EXPECT_EQ(actions[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
  actions[0]->trigger();
  EXPECT_EQ(delegate->terminateCalls, 1);
}

TEST(QtApplication, ClickOnTheTrayIconIsAReopen) {
  QtApplication application(/*gui=*/true);
  auto delegate = std::make_shared<RecordingDelegate>();
  application.setDelegate(delegate);
  application.setMainMenu(quitMenu());
  ASSERT_NE(application.trayIcon(), nullptr);

  emit application.trayIcon()->activated(QSystemTrayIcon::Context);  // opens the menu only
  EXPECT_EQ(delegate->reopenCalls, 0);
  emit application.trayIcon()->activated(QSystemTrayIcon::Trigger);
  EXPECT_EQ(delegate->reopenCalls, 1);
  application.reopen();
  EXPECT_EQ(delegate->reopenCalls, 2);
}

TEST(QtApplication, RunsTheStartUpInsideTheLoopAndEndsWithTheFailureStatus) {
  QtApplication application(/*gui=*/false);
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->onFinishLaunching = [&] { application.terminate(TerminationCause::Failure); };
  application.setDelegate(delegate);
  EXPECT_EQ(application.run(), 1);
  EXPECT_EQ(delegate->finishLaunchingCalls, 1);
  EXPECT_EQ(delegate->terminateCalls, 1);
}

TEST(QtApplication, EndingNowDropsWorkStillQueued) {
  // A runtime exit whose report is still queued when the user quits: the launcher ends
  // without handling it, so that exit never turns into a failure alert on the way out.
  QtApplication application(/*gui=*/false);
  QtMainQueue mainQueue;
  auto delegate = std::make_shared<RecordingDelegate>();
  bool queuedWorkRan = false;
  delegate->onFinishLaunching = [&] {
    mainQueue.async([&] { queuedWorkRan = true; });
    application.terminate(TerminationCause::Normal);
  };
  application.setDelegate(delegate);
  EXPECT_EQ(application.run(), 0);
  EXPECT_EQ(delegate->terminateCalls, 1);
  EXPECT_FALSE(queuedWorkRan);
  // The process would end here; the tests go on, so the item must not reach a later loop.
  QCoreApplication::removePostedEvents(QCoreApplication::instance());
}

TEST(QtApplication, LaterReplyEndsTheLoopFromTheMainQueue) {
  QtApplication application(/*gui=*/false);
  QtMainQueue mainQueue;
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->reply = TerminateReply::Later;
  std::thread worker;
  delegate->onFinishLaunching = [&] {
    application.terminate(TerminationCause::Normal);
    worker = std::thread(
        [&] { mainQueue.async([&] { application.replyToApplicationShouldTerminate(true); }); });
  };
  application.setDelegate(delegate);
  EXPECT_EQ(application.run(), 0);
  worker.join();
}

TEST(QtApplication, FailureAlertIsAModalBoxWithTheTextsAndOneOkButton) {
  QtApplication application(/*gui=*/true);
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
  application.runModal(
      Alert{.style = AlertStyle::Critical,
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

TEST(QtMainQueue, RunsItemsFromOtherThreadsInOrderOnTheMainThread) {
  QtApplication application(/*gui=*/false);
  QtMainQueue mainQueue;
  const auto mainThread = std::this_thread::get_id();
  std::vector<int> seen;
  bool allOnMain = true;
  constexpr int kItems = 1000;
  std::thread producer([&] {
    for (int i = 0; i < kItems; ++i)
      mainQueue.async([&, i] {
        allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
        seen.push_back(i);
        if (i == kItems - 1) QCoreApplication::exit(0);
      });
  });
  QCoreApplication::exec();
  producer.join();
  ASSERT_EQ(seen.size(), static_cast<size_t>(kItems));
  for (int i = 0; i < kItems; ++i) ASSERT_EQ(seen[i], i);
  EXPECT_TRUE(allOnMain);
}

}  // namespace
}  // namespace platform

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // These tests need no screen; a test run under a display sets its own platform.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
