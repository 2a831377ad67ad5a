// Handing a URL to the desktop and recording the outcome.
#include <gtest/gtest.h>

#include <thread>

#include "delegate_fixture.h"

using namespace zolven;
using namespace zolven::app;

namespace {

using testsupport::DelegateFixture;
using Events = std::vector<std::string>;

struct OutcomeCase {
  const char* name;
  std::optional<std::string> application;
  std::optional<std::string> error;
  const char* event;
  const char* detail;
};

class BrowserOutcome : public testing::TestWithParam<OutcomeCase> {};

TEST_P(BrowserOutcome, RequestThenOutcomeRecord) {
  DelegateFixture f;
  const auto& c = GetParam();
  f.delegate->openBrowser("http://127.0.0.1:8/", "runtime-ready");
  ASSERT_EQ(f.fake.workspace.requests.size(), 1u);
  EXPECT_EQ(f.events(), Events{"browser.open.requested"}) << "the request is logged first";

  // The real workspace completes on a thread of its own.
  std::thread([&] { f.fake.workspace.requests[0].completion(c.application, c.error); }).join();
  const auto records = f.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["detail"], "runtime-ready");
  EXPECT_EQ(records[1]["event"], c.event);
  EXPECT_EQ(records[1]["url"], "http://127.0.0.1:8/");
  EXPECT_EQ(records[1]["detail"], c.detail);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, BrowserOutcome,
    testing::Values(OutcomeCase{"Application", "firefox-esr.desktop", std::nullopt,
                                "browser.open.succeeded", "firefox-esr.desktop"},
                    OutcomeCase{"NoApplication", std::nullopt, std::nullopt,
                                "browser.open.succeeded", "default-handler"},
                    OutcomeCase{"EmptyIdentifier", "", std::nullopt, "browser.open.succeeded", ""},
                    OutcomeCase{"Error", std::nullopt, "No application", "browser.open.failed",
                                "No application"},
                    OutcomeCase{"ErrorWithApplication", "firefox-esr.desktop", "It crashed",
                                "browser.open.failed", "It crashed"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OpenBrowser, OverlappingRequestsEachRecordTheirOwnURL) {
  DelegateFixture f;
  f.delegate->openBrowser("http://127.0.0.1:1/", "runtime-ready");
  f.delegate->openBrowser("http://127.0.0.1:1/", "runtime-ready");
  f.delegate->openBrowser("http://127.0.0.1:2/", "application-reopened");
  auto& requests = f.fake.workspace.requests;
  ASSERT_EQ(requests.size(), 3u);
  requests[2].completion(std::nullopt, "failed two");
  requests[0].completion("a.desktop", std::nullopt);
  requests[1].completion("b.desktop", std::nullopt);
  EXPECT_EQ(f.events(),
            (Events{"browser.open.requested", "browser.open.requested", "browser.open.requested",
                    "browser.open.failed", "browser.open.succeeded", "browser.open.succeeded"}));
  const auto records = f.records();
  EXPECT_EQ(records[3]["url"], "http://127.0.0.1:2/");
  EXPECT_EQ(records[4]["url"], "http://127.0.0.1:1/");
  EXPECT_EQ(records[4]["detail"], "a.desktop");
  EXPECT_EQ(records[5]["detail"], "b.desktop");
}

TEST(OpenBrowser, OutcomeAfterTheDelegateIsGoneIsDropped) {
  DelegateFixture f;
  f.delegate->openBrowser("http://127.0.0.1:1/", "runtime-ready");
  std::weak_ptr<AppDelegate> weak = f.delegate;
  f.fake.application.delegate.reset();
  f.delegate.reset();
  EXPECT_TRUE(weak.expired()) << "the completion must hold the delegate weakly";
  f.fake.workspace.requests[0].completion("a.desktop", std::nullopt);
  EXPECT_EQ(f.events(), Events{"browser.open.requested"});
}

// A delegate with a runtime in its bundle, whose preparations of the desktop are recorded
// with what the log and the task showed at that moment.
struct PreparingFixture : DelegateFixture {
  std::vector<Events> eventsAtPreparation;
  std::vector<bool> launchedAtPreparation;

  PreparingFixture() {
    addRuntime("runtime");
    addConfig();
    fake.workspace.onPrepare = [this] {
      eventsAtPreparation.push_back(events());
      launchedAtPreparation.push_back(task() != nullptr && task()->launched);
    };
  }
};

TEST(PrepareToOpen, IsAskedOnceForHttpRightAfterTheRuntimeHasStarted) {
  PreparingFixture f;
  f.start();
  EXPECT_EQ(f.fake.workspace.prepared, std::vector<std::string>{"http"});
  ASSERT_EQ(f.eventsAtPreparation.size(), 1u);
  EXPECT_EQ(f.eventsAtPreparation[0],
            (Events{"launcher.started", "runtime.architecture.selected", "runtime.started"}));
  EXPECT_EQ(f.launchedAtPreparation, std::vector<bool>{true});

  // The ready line asks for the open only: the preparation is not asked again.
  f.task()->output("http://127.0.0.1:9/\n");
  f.fake.mainQueue.runPending();
  EXPECT_EQ(f.fake.workspace.prepared.size(), 1u);
  ASSERT_EQ(f.fake.workspace.requests.size(), 1u);
  EXPECT_EQ(f.fake.workspace.requests[0].url, "http://127.0.0.1:9/");
}

struct SuppressionCase {
  const char* name;
  std::optional<std::string> value;
  bool prepared;
};

class PrepareUnlessSuppressed : public testing::TestWithParam<SuppressionCase> {};

TEST_P(PrepareUnlessSuppressed, OnlyTheExactValueOneLeavesTheDesktopAlone) {
  PreparingFixture f;
  if (GetParam().value)
    f.fake.processInfo.env.set("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", *GetParam().value);
  f.start();
  ASSERT_TRUE(f.task() && f.task()->launched);
  EXPECT_EQ(f.fake.workspace.prepared.size(), GetParam().prepared ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Values, PrepareUnlessSuppressed,
                         testing::Values(SuppressionCase{"Unset", std::nullopt, true},
                                         SuppressionCase{"One", "1", false},
                                         SuppressionCase{"Zero", "0", true},
                                         SuppressionCase{"Empty", "", true},
                                         SuppressionCase{"True", "true", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PrepareToOpen, NotAskedWhenTheRuntimeCouldNotBeStarted) {
  PreparingFixture f;
  f.fake.tasks.nextLaunchError = "No such file or directory";
  f.start();
  EXPECT_TRUE(f.fake.workspace.prepared.empty());
  EXPECT_EQ(f.events().back(), "launcher.failed");
}

TEST(PrepareToOpen, NotAskedWhenTheBundleHasNoRuntime) {
  DelegateFixture f;
  f.start();  // resources without a runtime: the alert, no task
  EXPECT_TRUE(f.fake.tasks.made.empty());
  EXPECT_TRUE(f.fake.workspace.prepared.empty());
  EXPECT_EQ(f.events().back(), "launcher.failed");
}

}  // namespace
