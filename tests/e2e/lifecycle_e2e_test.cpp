// The built launcher's whole life: how a runtime's own exit is judged, quitting with a
// runtime that will not stop, the launcher's own death, and later starts of the bundle.
#include <gtest/gtest.h>

#include <algorithm>

#include "launcher_bundle.h"

namespace {

using namespace testsupport;
using Events = std::vector<std::string>;
using Env = std::map<std::string, std::optional<std::string>>;

struct ExitCase {
  const char* name;
  const char* script;  // after the line that records the runtime's pid
  std::optional<std::string> suppress;
  int status;
  bool alert;
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

class RuntimeExit : public testing::TestWithParam<ExitCase> {};

TEST_P(RuntimeExit, IsJudgedByReadinessAndStatus) {
  const ExitCase& c = GetParam();
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime",
                 std::string("#!/bin/sh\necho $$ > \"$ZOLVEN_TEST_RECORD/pid\"\n") + c.script);
  auto launcher = bundle.start({{"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", c.suppress}});
  EXPECT_EQ(launcher->waitExit(), c.alert ? 1 : 0) << bundle.launcherStderr();

  const auto events = bundle.events();
  const auto exited = std::find(events.begin(), events.end(), "runtime.exited");
  ASSERT_NE(exited, events.end()) << testing::PrintToString(events);
  EXPECT_EQ(bundle.records()[exited - events.begin()]["detail"],
            "status=" + std::to_string(c.status));
  EXPECT_EQ(count(events, "launcher.failed"), c.alert ? 1 : 0);
  const bool alertShown =
      bundle.launcherStderr().find("ZOLVEN could not start.") != std::string::npos;
  EXPECT_EQ(alertShown, c.alert);
  if (c.alert) {
    EXPECT_EQ(events.back(), "launcher.failed");
    EXPECT_EQ(bundle.records().back()["detail"], "ZOLVEN could not start.");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RuntimeExit,
    testing::Values(
        ExitCase{"ReadyThenCleanExit", "printf 'http://127.0.0.1:9/\\n'\nexit 0\n", std::nullopt, 0,
                 false},
        ExitCase{"SuppressedReadyThenCleanExit", "printf 'http://127.0.0.1:9/\\n'\nexit 0\n", "1",
                 0, false},
        ExitCase{"ReadyThenFailingExit", "printf 'http://127.0.0.1:9/\\n'\nexit 1\n", "1", 1, true},
        ExitCase{"CleanExitWithoutReadyLine", "printf 'listening soon\\n'\nexit 0\n", "1", 0, true},
        ExitCase{"UnfinishedReadyLineThenCleanExit", "printf 'http://127.0.0.1:9/'\nexit 0\n", "1",
                 0, true},
        ExitCase{"ReadyThenKilledBySignal", "printf 'http://127.0.0.1:9/\\n'\nkill -KILL $$\n", "1",
                 9, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Quit, RuntimeThatIgnoresSigtermIsKilledWithItsGroupAfterTheGrace) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  // The shell and its own child both ignore SIGTERM (an ignored signal stays ignored
  // across exec); only SIGKILL to the whole group ends them. The pid file appears whole
  // (mv), since the test reads it as soon as it exists.
  bundle.addNode("runtime", R"sh(#!/bin/sh
trap '' TERM
sleep 1000 &
echo $! > "$ZOLVEN_TEST_RECORD/grandchild"
echo $$ > "$ZOLVEN_TEST_RECORD/pid.tmp" && mv "$ZOLVEN_TEST_RECORD/pid.tmp" "$ZOLVEN_TEST_RECORD/pid"
wait
)sh");
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));
  const pid_t child = bundle.childPid();
  const pid_t grandchild = std::stoi(readFile(bundle.record("grandchild")));

  launcher->signal(SIGTERM);
  EXPECT_EQ(launcher->waitExit(std::chrono::seconds(60)), 0);
  EXPECT_FALSE(processRunning(child));
  EXPECT_TRUE(waitFor([&] { return !processRunning(grandchild); }))
      << "the runtime's own child lives on";
  EXPECT_EQ(bundle.events().back(), "runtime.exited");
  EXPECT_EQ(bundle.records().back()["detail"], "status=9");
  EXPECT_FALSE(bundle.hasEvent("launcher.failed"));
}

TEST(Quit, KilledLauncherTakesItsRuntimeAlong) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));
  const pid_t child = bundle.childPid();
  launcher->signal(SIGKILL);
  EXPECT_EQ(launcher->waitExit(), 128 + SIGKILL);
  EXPECT_TRUE(waitFor([&] { return !processRunning(child); })) << "the runtime was orphaned";
}

// A runtime that prints its URL once and then serves until it is stopped.
const char* kServingNode = R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:8123/\n'
exec sleep 1000
)sh";

class Reopen : public testing::Test {
 protected:
  void SetUp() override { bundle.addRuntime("runtime"); }

  // A later start of the same bundle: it must hand over and end without a trace. Being
  // headless, it prints the running launcher's ready URL, when there is one.
  void startAgainAndExpectHandOver(const std::string& name, const std::string& printed = "") {
    const auto before = bundle.events().size();
    auto second = bundle.start({}, name);
    EXPECT_EQ(second->waitExit(), 0);
    EXPECT_EQ(bundle.launcherStdout(name), printed);
    EXPECT_EQ(bundle.launcherStderr(name), "");
    EXPECT_TRUE(waitFor([&] { return bundle.events().size() >= before + 2; }));
  }

  LauncherBundle bundle;
};

TEST_F(Reopen, BeforeReadyThereIsNothingToOpen) {
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));
  startAgainAndExpectHandOver("-2");
  EXPECT_EQ(bundle.events(),
            (Events{"launcher.started", "runtime.architecture.selected", "runtime.started",
                    "launcher.reopened", "browser.open.skipped"}));
  EXPECT_EQ(bundle.records()[4]["detail"], "runtime-not-ready");
  EXPECT_TRUE(launcher->running());
  quitAndExpectCleanEnd(bundle, *launcher);
}

TEST_F(Reopen, AfterReadyEachReopenOpensTheURLAgainDespiteSuppression) {
  bundle.addNode("runtime", kServingNode);
  auto launcher = bundle.start();  // suppression on
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.suppressed"); }));
  startAgainAndExpectHandOver("-2", "http://127.0.0.1:8123/\n");
  startAgainAndExpectHandOver("-3", "http://127.0.0.1:8123/\n");
  // No handler is registered in the test's desktop settings, so each open fails; what
  // matters here is that each reopen made a full request.
  ASSERT_TRUE(waitFor([&] { return count(bundle.events(), "browser.open.failed") == 2; }));
  const auto events = bundle.events();
  EXPECT_EQ(count(events, "launcher.started"), 1);
  EXPECT_EQ(count(events, "launcher.reopened"), 2);
  EXPECT_EQ(count(events, "browser.open.requested"), 2);
  const auto records = bundle.records();
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i]["event"] != "launcher.reopened") continue;
    ASSERT_LT(i + 1, records.size());
    EXPECT_EQ(records[i + 1]["event"], "browser.open.requested");
    EXPECT_EQ(records[i + 1]["detail"], "application-reopened");
    EXPECT_EQ(records[i + 1]["url"], "http://127.0.0.1:8123/");
  }
  quitAndExpectCleanEnd(bundle, *launcher);
}

TEST_F(Reopen, SimultaneousStartsLeaveOneLauncher) {
  auto first = bundle.start({}, "-a");
  auto second = bundle.start({}, "-b");
  // One of them hands over and ends; the other runs the runtime.
  ASSERT_TRUE(waitFor([&] { return !first->running() || !second->running(); }));
  Process& survivor = first->running() ? *first : *second;
  Process& other = first->running() ? *second : *first;
  EXPECT_EQ(other.waitExit(), 0);
  // The hand-over may come before the runtime has recorded its pid, which the quit reads.
  ASSERT_TRUE(
      waitFor([&] { return bundle.hasEvent("launcher.reopened") && bundle.childStarted(); }));
  EXPECT_TRUE(survivor.running());
  const auto events = bundle.events();
  EXPECT_EQ(count(events, "launcher.started"), 1);
  EXPECT_EQ(count(events, "runtime.started"), 1);
  quitAndExpectCleanEnd(bundle, survivor);
}

TEST_F(Reopen, LauncherThatDiedLeavesNothingThatBlocksTheNext) {
  auto dead = bundle.start({}, "-dead");
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));
  const pid_t oldChild = bundle.childPid();
  // SIGKILL leaves its socket file behind; the kernel releases its lock.
  dead->signal(SIGKILL);
  dead->waitExit();
  ASSERT_TRUE(waitFor([&] { return !processRunning(oldChild); }));
  std::filesystem::remove(bundle.record("pid"));

  auto launcher = bundle.start({}, "-next");
  ASSERT_TRUE(waitFor(
      [&] { return bundle.childStarted() && count(bundle.events(), "runtime.started") == 2; }));
  EXPECT_TRUE(launcher->running());
  startAgainAndExpectHandOver("-again");
  EXPECT_EQ(bundle.events().back(), "browser.open.skipped");
  quitAndExpectCleanEnd(bundle, *launcher);
}

}  // namespace
