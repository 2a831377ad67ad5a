// The application object and its loops: headless, and with a stand-in desktop UI.
#include "platform/linux/application.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zolven::platform {
namespace {

class RecordingDelegate final : public ApplicationDelegate {
 public:
  std::function<void()> onFinishLaunching;
  TerminateReply reply = TerminateReply::Now;
  std::vector<std::string> calls;

  void applicationDidFinishLaunching() override {
    calls.push_back("launch");
    if (onFinishLaunching) onFinishLaunching();
  }
  bool applicationShouldHandleReopen(bool visible) override {
    calls.push_back(visible ? "reopen visible" : "reopen");
    return true;
  }
  bool applicationShouldTerminateAfterLastWindowClosed() override { return false; }
  TerminateReply applicationShouldTerminate() override {
    calls.push_back("terminate?");
    return reply;
  }
};

// A desktop UI whose loop polls the watched descriptors, as a toolkit's would.
class FakeUi final : public DesktopUi {
 public:
  explicit FakeUi(std::vector<std::string>& log) : log_(log) {}
  void setMenu(const Menu& menu, std::function<void()> onTerminate) override {
    log_.push_back("menu " + menu.items.at(0).submenu.at(0).title);
    terminate = std::move(onTerminate);
  }
  void setReopenHandler(std::function<void()> onReopen) override { reopen = std::move(onReopen); }
  void setQuitRequestHandler(std::function<void()> onQuitRequest) override {
    quitRequest = std::move(onQuitRequest);
  }
  void runModal(const Alert& alert) override { log_.push_back("alert " + alert.messageText); }
  void watch(int fd, std::function<void()> onReadable) override {
    watched.push_back({fd, std::move(onReadable)});
  }
  void run() override {
    log_.push_back("ui loop");
    while (!quitting) {
      std::vector<pollfd> fds;
      for (const auto& w : watched) fds.push_back({.fd = w.first, .events = POLLIN, .revents = 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      for (size_t i = 0; i < fds.size() && !quitting; ++i)
        if (fds[i].revents != 0) watched[i].second();
    }
  }
  void quit() override { quitting = true; }

  std::function<void()> terminate, reopen, quitRequest;
  std::vector<std::pair<int, std::function<void()>>> watched;
  bool quitting = false;

 private:
  std::vector<std::string>& log_;
};

Menu quitMenu() {
  MenuItem app;
  app.submenu.push_back(
      {.title = "Quit ZOLVEN", .action = MenuAction::Terminate, .keyEquivalent = "q"});
  return Menu{.items = {app}};
}

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) read = fds[0], write = fds[1];
  }
  ~Pipe() {
    ::close(read);
    ::close(write);
  }
};

TEST(LinuxApplication, HeadlessRunLaunchesAndEndsWithTheFailureStatus) {
  EventQueue queue;
  LinuxApplication application(queue, nullptr, -1);
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->onFinishLaunching = [&] { application.terminate(TerminationCause::Failure); };
  application.setDelegate(delegate);
  EXPECT_EQ(application.run(), 1);
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"launch", "terminate?"}));
  EXPECT_FALSE(application.hasUi());
}

TEST(LinuxApplication, EndingNowDropsWorkStillQueued) {
  // A runtime exit whose report is still queued when the user quits: the launcher ends
  // without handling it, so that exit never turns into a failure alert on the way out.
  EventQueue queue;
  LinuxApplication application(queue, nullptr, -1);
  auto delegate = std::make_shared<RecordingDelegate>();
  bool laterItemRan = false;
  delegate->onFinishLaunching = [&] {
    queue.async([&] { application.terminate(TerminationCause::Normal); });
    queue.async([&] { laterItemRan = true; });
  };
  application.setDelegate(delegate);
  EXPECT_EQ(application.run(), 0);
  EXPECT_FALSE(laterItemRan);
}

TEST(LinuxApplication, WorkLeftQueuedAtTheEndIsLetGoSoNoThreadWaitsOnTheMainThread) {
  // A reader that may hand over one chunk at a time, with one chunk still queued when the
  // loop ends: it must not wait for ever for that chunk to be taken.
  EventQueue queue;
  LinuxApplication application(queue, nullptr, -1);
  auto delegate = std::make_shared<RecordingDelegate>();
  std::mutex mutex;
  std::condition_variable changed;
  int inFlight = 0;
  int handedOver = 0;
  const auto permit = [&] {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return inFlight == 0; });
    ++inFlight;
    return std::shared_ptr<void>(nullptr, [&](void*) {
      {
        std::lock_guard released(mutex);
        --inFlight;
      }
      changed.notify_all();
    });
  };
  std::thread reader;
  delegate->onFinishLaunching = [&] {
    queue.async([&] { application.terminate(TerminationCause::Normal); });
    reader = std::thread([&] {
      for (int i = 0; i < 3; ++i) {
        queue.async([held = permit()] {});
        std::lock_guard lock(mutex);
        ++handedOver;
      }
    });
  };
  application.setDelegate(delegate);
  EXPECT_EQ(application.run(), 0);
  reader.join();  // hangs if what the queue held was not let go
  EXPECT_EQ(handedOver, 3);
  std::lock_guard lock(mutex);
  EXPECT_EQ(inFlight, 0);
}

TEST(LinuxApplication, ItemsFromOtherThreadsRunInOrderOnTheMainThreadUntilTheLaterReply) {
  EventQueue queue;
  LinuxApplication application(queue, nullptr, -1);
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->reply = TerminateReply::Later;
  const auto mainThread = std::this_thread::get_id();
  std::vector<int> seen;
  bool allOnMain = true;
  constexpr int kItems = 1000;
  std::thread producer;
  delegate->onFinishLaunching = [&] {
    application.terminate(TerminationCause::Normal);  // answered later
    producer = std::thread([&] {
      for (int i = 0; i < kItems; ++i)
        queue.async([&, i] {
          allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
          seen.push_back(i);
        });
      queue.async([&] { application.replyToApplicationShouldTerminate(true); });
    });
  };
  application.setDelegate(delegate);
  EXPECT_EQ(application.run(), 0);
  producer.join();
  ASSERT_EQ(seen.size(), static_cast<size_t>(kItems));
  for (int i = 0; i < kItems; ++i) ASSERT_EQ(seen[i], i);
  EXPECT_TRUE(allOnMain);
}

TEST(LinuxApplication, QuitSignalEntersTheTerminatePath) {
  EventQueue queue;
  Pipe signals;
  LinuxApplication application(queue, nullptr, signals.read);
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->onFinishLaunching = [&] { ASSERT_EQ(::write(signals.write, "x", 1), 1); };
  application.setDelegate(delegate);
  EXPECT_EQ(application.run(), 0);
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"launch", "terminate?"}));
}

TEST(LinuxApplication, UiComesUpOnceTheFirstURLHasBeenHandledWithTheMenuAndServesTheLoop) {
  EventQueue queue;
  Pipe signals;
  std::vector<std::string> log;
  FakeUi* ui = nullptr;
  LinuxApplication application(
      queue,
      [&] {
        log.push_back("ui made");
        auto made = std::make_unique<FakeUi>(log);
        ui = made.get();
        return made;
      },
      signals.read, std::chrono::hours(1));
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->reply = TerminateReply::Later;
  testing::internal::CaptureStdout();
  delegate->onFinishLaunching = [&] {
    log.push_back("launch");
    application.setMainMenu(quitMenu());
    // The runtime's ready line, handled as the delegate does: announced, then opened.
    queue.async([&] {
      log.push_back("ready line");
      application.announceURL("http://127.0.0.1:1/");
      log.push_back("open requested");
      application.announceURL("http://127.0.0.1:2/");  // a second one changes nothing
      // Work queued from here on finds the UI up.
      queue.async([&] {
        ui->reopen();       // a click on the tray icon
        ui->terminate();    // the Quit item: answered later
        ui->quitRequest();  // the desktop's own quit request: answered later too
        queue.async([&] { application.replyToApplicationShouldTerminate(true); });
      });
    });
  };
  application.setDelegate(delegate);
  EXPECT_EQ(application.run(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "with a UI the browser shows the URL";
  EXPECT_EQ(log, (std::vector<std::string>{"launch", "ready line", "open requested", "ui made",
                                           "menu Quit ZOLVEN", "ui loop"}));
  EXPECT_EQ(delegate->calls,
            (std::vector<std::string>{"launch", "reopen", "terminate?", "terminate?"}));
  EXPECT_TRUE(ui->quitting);
  EXPECT_EQ(ui->watched.size(), 2u) << "the main queue and the quit signals";
}

// An application whose UI, once made, is logged and ends the application.
struct EndingOnceTheUiIsUp {
  explicit EndingOnceTheUiIsUp(std::chrono::milliseconds uiAtTheLatest)
      : application(
            queue,
            [this] {
              log.push_back("ui made");
              queue.async([this] { application.terminate(TerminationCause::Normal); });
              return std::make_unique<FakeUi>(log);
            },
            -1, uiAtTheLatest) {}

  EventQueue queue;
  std::vector<std::string> log;
  LinuxApplication application;
};

TEST(LinuxApplication, UiWaitsForTheWorkTheFirstURLStartedOnAnotherThread) {
  EndingOnceTheUiIsUp fixture(std::chrono::hours(1));
  EventQueue& queue = fixture.queue;
  std::vector<std::string>& log = fixture.log;
  LinuxApplication& application = fixture.application;
  std::function<void()> whenDone;
  application.setUiWaitsFor([&](std::function<void()> then) {
    log.push_back("ui waits");
    whenDone = std::move(then);
    // The browser's start, done a while later on a thread of its own.
    queue.async([&] {
      log.push_back("open done");
      std::thread([&] { whenDone(); }).join();
    });
  });
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->onFinishLaunching = [&] {
    application.setMainMenu(quitMenu());
    queue.async([&] {
      log.push_back("ready line");
      application.announceURL("http://127.0.0.1:1/");
    });
  };
  application.setDelegate(delegate);
  EXPECT_EQ(application.run(), 0);
  EXPECT_EQ(log, (std::vector<std::string>{"ready line", "ui waits", "open done", "ui made",
                                           "menu Quit ZOLVEN", "ui loop"}));
}

TEST(LinuxApplication, UiComesUpByItselfWhenNoURLComesInTime) {
  EndingOnceTheUiIsUp fixture(std::chrono::milliseconds(50));
  std::vector<std::string>& log = fixture.log;
  LinuxApplication& application = fixture.application;
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->onFinishLaunching = [&] { application.setMainMenu(quitMenu()); };
  application.setDelegate(delegate);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(application.run(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));
  EXPECT_EQ(log, (std::vector<std::string>{"ui made", "menu Quit ZOLVEN", "ui loop"}));
}

TEST(LinuxApplication, AnAlertBeforeAnyURLBringsTheUiUpAtOnce) {
  EventQueue queue;
  std::vector<std::string> log;
  LinuxApplication application(
      queue,
      [&] {
        log.push_back("ui made");
        return std::make_unique<FakeUi>(log);
      },
      -1, std::chrono::hours(1));
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->onFinishLaunching = [&] {
    application.setMainMenu(quitMenu());
    // The runtime ended before it was ready: the failure alert, then the end.
    queue.async([&] {
      application.runModal(
          Alert{.style = AlertStyle::Critical, .messageText = "ZOLVEN could not start."});
      application.terminate(TerminationCause::Failure);
    });
  };
  application.setDelegate(delegate);
  EXPECT_EQ(application.run(), 1);
  EXPECT_EQ(log, (std::vector<std::string>{"ui made", "menu Quit ZOLVEN",
                                           "alert ZOLVEN could not start."}));
}

TEST(LinuxApplication, URLHeldBackForAUiThatCannotBeHadIsPrintedThen) {
  EventQueue queue;
  LinuxApplication application(
      queue, [] { return std::unique_ptr<DesktopUi>(); }, -1, std::chrono::hours(1));
  auto delegate = std::make_shared<RecordingDelegate>();
  std::string printedAtAnnounce;
  testing::internal::CaptureStdout();
  delegate->onFinishLaunching = [&] {
    queue.async([&] {
      application.announceURL("http://127.0.0.1:1/");
      printedAtAnnounce = testing::internal::GetCapturedStdout();
      testing::internal::CaptureStdout();
      queue.async([&] { application.terminate(TerminationCause::Normal); });
    });
  };
  application.setDelegate(delegate);
  EXPECT_EQ(application.run(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "http://127.0.0.1:1/\n");
  EXPECT_EQ(printedAtAnnounce, "");
  EXPECT_FALSE(application.hasUi());
}

TEST(LinuxApplication, HeadlessURLIsPrintedAtOnce) {
  EventQueue queue;
  LinuxApplication application(queue, nullptr, -1);
  testing::internal::CaptureStdout();
  application.announceURL("http://127.0.0.1:1/");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "http://127.0.0.1:1/\n");
}

TEST(LinuxApplication, AlertsGoToTheUiOrWithoutOneToStandardError) {
  EventQueue queue;
  std::vector<std::string> log;
  LinuxApplication withUi(
      queue, [&] { return std::make_unique<FakeUi>(log); }, -1);
  withUi.runModal(Alert{.messageText = "ZOLVEN could not start."});
  EXPECT_EQ(log, (std::vector<std::string>{"alert ZOLVEN could not start."}));
  EXPECT_TRUE(withUi.hasUi());

  // No display reachable: the maker gives nothing and the application stays headless.
  LinuxApplication unreachable(
      queue, [] { return std::unique_ptr<DesktopUi>(); }, -1);
  testing::internal::CaptureStderr();
  unreachable.runModal(Alert{.messageText = "ZOLVEN could not start.", .informativeText = "Why."});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ZOLVEN could not start.\nWhy.\n");
  EXPECT_FALSE(unreachable.hasUi());
}

}  // namespace
}  // namespace zolven::platform
