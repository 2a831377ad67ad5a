// The delegate against the platform fakes: start-up, launch decisions, the failure
// alert, quit coordination and the exit decision.
#include "app/app_delegate.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "delegate_fixture.h"
#include "delegate_probe.h"
#include "runtime/runtime_layout.h"

using namespace zolven;
using namespace zolven::app;

namespace {

using testsupport::DelegateFixture;
using testsupport::LaunchedFixture;
using testsupport::writeFile;

// Before its launch a delegate has nothing to stop: a quit ends at once, without a
// trace, and nothing is started or written.
TEST(AppDelegate, QuitBeforeTheLaunchEndsAtOnceWithoutATrace) {
  DelegateFixture f;
  EXPECT_EQ(f.delegate->applicationShouldTerminate(), platform::TerminateReply::Now);
  EXPECT_FALSE(probe(*f.delegate).isTerminating());
  EXPECT_TRUE(f.fake.tasks.made.empty());
  EXPECT_FALSE(std::filesystem::exists(f.dir.str("logs/launcher.log")));
  EXPECT_FALSE(f.delegate->applicationShouldTerminateAfterLastWindowClosed());
}

TEST(AppDelegate, InstallsTheOneItemQuitMenuBeforeTheFirstRecord) {
  DelegateFixture f;
  f.fake.bundle.resources.reset();
  f.start();
  ASSERT_TRUE(f.fake.application.mainMenu);
  const auto& items = f.fake.application.mainMenu->items;
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].title, "");
  ASSERT_EQ(items[0].submenu.size(), 1u);
  EXPECT_EQ(items[0].submenu[0].title, "Quit ZOLVEN");
  EXPECT_EQ(items[0].submenu[0].keyEquivalent, "q");
  EXPECT_EQ(items[0].submenu[0].action, platform::MenuAction::Terminate);
  EXPECT_EQ(f.events().front(), "launcher.started");
}

TEST(AppDelegate, MissingResourcesEndInTheAlert) {
  DelegateFixture f;
  f.fake.bundle.resources.reset();
  f.start();
  EXPECT_EQ(f.events(), (std::vector<std::string>{"launcher.started", "launcher.failed"}));
  EXPECT_EQ(f.records()[1]["detail"], "Application resources could not be located.");
  ASSERT_EQ(f.fake.alerts.shown.size(), 1u);
  const platform::Alert& alert = f.fake.alerts.shown[0];
  EXPECT_EQ(alert.style, platform::AlertStyle::Critical);
  EXPECT_EQ(alert.messageText, "ZOLVEN could not start.");
  EXPECT_EQ(alert.informativeText,
            "Application resources could not be located. See the ZOLVEN log directory for "
            "diagnostics.");
  EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
  EXPECT_EQ(f.fake.application.terminateReplies,
            std::vector<platform::TerminateReply>{platform::TerminateReply::Now});
  EXPECT_EQ(f.fake.application.exitStatus, 1);
  EXPECT_TRUE(f.fake.tasks.made.empty());
}

TEST(AppDelegate, EmptyFailureMessageKeepsTheLeadingSpaceAndAnEmptyDetail) {
  DelegateFixture f;
  f.delegate->showFailure("");
  ASSERT_EQ(f.fake.alerts.shown.size(), 1u);
  EXPECT_EQ(f.fake.alerts.shown[0].informativeText,
            " See the ZOLVEN log directory for diagnostics.");
  ASSERT_EQ(f.records().size(), 1u);
  EXPECT_TRUE(f.records()[0].contains("detail"));
  EXPECT_EQ(f.records()[0]["detail"], "");
}

struct MissingCase {
  const char* name;
  bool node, script, config;
};

class MissingRequiredFile : public testing::TestWithParam<MissingCase> {};

TEST_P(MissingRequiredFile, EndsInTheAlertWithoutATask) {
  DelegateFixture f;
  const auto& c = GetParam();
  const std::string runtime = "runtime/" + f.arch();
  if (c.node) writeFile(f.dir.str("resources/" + runtime + "/bin/node"), "");
  if (c.script)
    writeFile(f.dir.str("resources/" + runtime + "/app/scripts/packaged-runtime.mjs"), "");
  if (c.config) f.addConfig();
  f.start();
  EXPECT_EQ(f.events(),
            (std::vector<std::string>{"launcher.started", "runtime.architecture.selected",
                                      "launcher.failed"}));
  EXPECT_EQ(f.records()[1]["detail"], f.arch());
  EXPECT_EQ(f.records()[2]["detail"], "A required runtime resource is missing.");
  EXPECT_TRUE(f.fake.tasks.made.empty());
  EXPECT_EQ(probe(*f.delegate).runtimeTask(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Files, MissingRequiredFile,
                         testing::Values(MissingCase{"Node", false, true, true},
                                         MissingCase{"EntryScript", true, false, true},
                                         MissingCase{"Config", true, true, false},
                                         MissingCase{"All", false, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AppDelegate, LaunchGivesTheTaskItsSettings) {
  DelegateFixture f;
  f.addRuntime("runtime/" + f.arch());
  f.addConfig();
  f.start();

  auto task = f.task();
  ASSERT_TRUE(task);
  EXPECT_TRUE(task->launched);
  const std::string runtime = f.dir.str("resources/runtime/" + f.arch());
  EXPECT_EQ(task->options.executable, runtime + "/bin/node");
  EXPECT_EQ(task->options.arguments,
            std::vector<std::string>{runtime + "/app/scripts/packaged-runtime.mjs"});
  EXPECT_EQ(task->options.currentDirectory, runtime + "/app");
  EXPECT_EQ(task->options.environment.get("PATH"), "/usr/bin:/bin:/usr/sbin:/sbin");
  EXPECT_EQ(task->options.environment.get("ZOLVEN_PACKAGED_CONFIG"),
            f.dir.str("resources/config/runtime-config.json"));
  EXPECT_EQ(task->options.environment.get("ZOLVEN_LOG_ROOT"), f.dir.str("logs"));
  EXPECT_TRUE(task->outputHandlerSet);
  EXPECT_EQ(probe(*f.delegate).runtimeTask(), task);
  EXPECT_EQ(f.events(),
            (std::vector<std::string>{"launcher.started", "runtime.architecture.selected",
                                      "runtime.started"}));
  EXPECT_EQ(f.records()[2]["detail"], "pid=4242");
  EXPECT_TRUE(f.fake.alerts.shown.empty());
}

TEST(AppDelegate, LaunchErrorClearsTheTaskAndEndsInTheAlert) {
  DelegateFixture f;
  f.addRuntime("runtime");
  f.addConfig();
  f.fake.tasks.nextLaunchError = "Permission denied";
  f.start();

  ASSERT_TRUE(f.task());
  EXPECT_FALSE(f.task()->outputHandlerSet);
  EXPECT_EQ(probe(*f.delegate).runtimeTask(), nullptr);
  EXPECT_EQ(f.events(),
            (std::vector<std::string>{"launcher.started", "runtime.architecture.selected",
                                      "runtime.start.failed", "launcher.failed"}));
  EXPECT_EQ(f.records()[2]["detail"], "Permission denied");
  EXPECT_EQ(f.records()[3]["detail"], "The local runtime could not be launched.");
  EXPECT_EQ(f.fake.application.terminateReplies,
            std::vector<platform::TerminateReply>{platform::TerminateReply::Now});
  EXPECT_FALSE(probe(*f.delegate).isTerminating());
}

TEST(QuitCoordination, WithoutAChildTerminatesNow) {
  DelegateFixture f;
  EXPECT_EQ(f.delegate->applicationShouldTerminate(), platform::TerminateReply::Now);
  EXPECT_FALSE(probe(*f.delegate).isTerminating());
}

TEST(QuitCoordination, RunningChildIsAskedToStopAndTheReplyFollowsItsExit) {
  LaunchedFixture f;
  auto task = f.task();
  bool flagSetBeforeSignal = false;
  task->onTerminate = [&] { flagSetBeforeSignal = probe(*f.delegate).isTerminating(); };

  f.fake.application.terminate(platform::TerminationCause::Normal);
  EXPECT_EQ(f.fake.application.terminateReplies.back(), platform::TerminateReply::Later);
  EXPECT_TRUE(flagSetBeforeSignal);
  EXPECT_EQ(task->terminateCalls, 1);
  EXPECT_TRUE(f.fake.application.replies.empty());

  task->exit(143);
  ASSERT_TRUE(f.fake.mainQueue.runUntil([&] { return !f.fake.application.replies.empty(); }));
  EXPECT_EQ(f.fake.application.replies, std::vector<bool>{true});
  EXPECT_TRUE(f.fake.application.ended);
  f.fake.mainQueue.runPending();
  EXPECT_EQ(f.events().back(), "runtime.exited");
  EXPECT_EQ(f.records().back()["detail"], "status=143");
  EXPECT_TRUE(f.fake.alerts.shown.empty()) << "a requested exit never alerts";
}

TEST(QuitCoordination, ChildThatOutlivesTheGraceIsKilledWithItsGroup) {
  LaunchedFixture f;
  auto task = f.task();
  task->timedWaitsRunOut = true;
  task->onKill = [&] { task->exit(9); };
  f.fake.application.terminate(platform::TerminationCause::Normal);
  ASSERT_TRUE(f.fake.mainQueue.runUntil([&] { return !f.fake.application.replies.empty(); }));
  EXPECT_EQ(task->lastTimedWait, std::chrono::seconds(10));
  EXPECT_EQ(task->terminateCalls, 1);
  EXPECT_EQ(task->killCalls, 1);
  // The exit's record comes before the reply that ends the application.
  EXPECT_EQ(f.events().back(), "runtime.exited");
  EXPECT_EQ(f.records().back()["detail"], "status=9");
  EXPECT_TRUE(f.fake.alerts.shown.empty());
}

TEST(QuitCoordination, ExitRecordIsWrittenBeforeTheReply) {
  LaunchedFixture f;
  auto task = f.task();
  std::vector<std::string> eventsAtReply;
  f.fake.application.onReply = [&] { eventsAtReply = f.events(); };
  f.fake.application.terminate(platform::TerminationCause::Normal);
  task->exit(0);
  ASSERT_TRUE(f.fake.mainQueue.runUntil([&] { return !f.fake.application.replies.empty(); }));
  ASSERT_FALSE(eventsAtReply.empty());
  EXPECT_EQ(eventsAtReply.back(), "runtime.exited") << "the reply ran before the exit was logged";
  EXPECT_EQ(task->killCalls, 0);
}

TEST(QuitCoordination, RepeatedRequestsRepeatTheSignal) {
  LaunchedFixture f;
  auto task = f.task();
  f.fake.application.terminate(platform::TerminationCause::Normal);
  f.fake.application.terminate(platform::TerminationCause::Normal);
  EXPECT_EQ(task->terminateCalls, 2);
  task->exit(0);
  ASSERT_TRUE(f.fake.mainQueue.runUntil([&] { return f.fake.application.replies.size() == 2; }));
}

TEST(QuitCoordination, TwoQuitsInABurstEndSafelyWhenTheFirstReplyEndsEverything) {
  auto f = std::make_unique<LaunchedFixture>();
  auto task = f->task();
  f->fake.application.terminate(platform::TerminationCause::Normal);
  f->fake.application.terminate(platform::TerminationCause::Normal);
  task->exit(0);
  ASSERT_TRUE(f->fake.mainQueue.runUntil([&] { return !f->fake.application.replies.empty(); }));
  // The process ends after the first reply, with the second wait perhaps still running:
  // everything it uses must still be there until it has finished (the sanitizers check).
  f.reset();
}

TEST(QuitCoordination, ExitedChildTerminatesNowWithoutSignal) {
  LaunchedFixture f;
  auto task = f.task();
  task->exit(0);
  EXPECT_EQ(f.delegate->applicationShouldTerminate(), platform::TerminateReply::Now);
  EXPECT_EQ(task->terminateCalls, 0);
  EXPECT_FALSE(probe(*f.delegate).isTerminating());
}

}  // namespace
