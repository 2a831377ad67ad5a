// The runtime's output as the delegate sees it: framing, the ready line and what follows.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "delegate_fixture.h"
#include "delegate_probe.h"
#include "platform/linux/task.h"

using namespace zolven;
using namespace zolven::app;

namespace {

using testsupport::DelegateFixture;
using testsupport::LaunchedFixture;
using Events = std::vector<std::string>;

constexpr const char* kURL = "http://127.0.0.1:43123/app?x=1#top";

TEST(ConsumeOutput, ReadyLineSplitAtEveryByteIsActedOnOnceItsLineFeedArrives) {
  // Noise with a multi-byte character (so some splits fall inside it), then the URL.
  const std::string stream = "booting \xE2\x9C\x93 done\r\n  " + std::string(kURL) + "\t\r\n";
  for (size_t split = 0; split <= stream.size(); ++split) {
    SCOPED_TRACE(split);
    DelegateFixture f;
    f.fake.processInfo.env.set("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", "1");
    f.delegate->consumeOutput(stream.substr(0, split));
    if (split < stream.size()) {
      EXPECT_FALSE(probe(*f.delegate).hasOpenedURL()) << "recognised before its line feed";
      f.delegate->consumeOutput(stream.substr(split));
    }
    EXPECT_TRUE(probe(*f.delegate).hasOpenedURL());
    EXPECT_EQ(probe(*f.delegate).readyURL(), kURL);
    EXPECT_EQ(f.events(), (Events{"runtime.ready", "browser.open.suppressed"}));
    EXPECT_TRUE(probe(*f.delegate).bufferedOutput().empty());
  }
}

TEST(ConsumeOutput, LinesOfOneChunkAreHandledInOrderEachInFull) {
  DelegateFixture f;
  f.delegate->consumeOutput(
      "http://127.0.0.1:1/\nnoise\nhttp://localhost:2/\nhttp://127.0.0.1:3/\nhttp://127.0.0.1:4/");
  EXPECT_EQ(f.events(), (Events{"runtime.ready", "browser.open.requested", "runtime.ready",
                                "browser.open.requested"}));
  const auto records = f.records();
  EXPECT_EQ(records[0]["url"], "http://127.0.0.1:1/");
  EXPECT_EQ(records[1]["url"], "http://127.0.0.1:1/");
  EXPECT_EQ(records[1]["detail"], "runtime-ready");
  EXPECT_EQ(records[2]["url"], "http://127.0.0.1:3/");
  // The second ready line replaces the first; the last line has no line feed yet.
  EXPECT_EQ(probe(*f.delegate).readyURL(), "http://127.0.0.1:3/");
  EXPECT_EQ(probe(*f.delegate).bufferedOutput(), "http://127.0.0.1:4/");
  ASSERT_EQ(f.fake.workspace.requests.size(), 2u);
  EXPECT_EQ(f.fake.workspace.requests[0].url, "http://127.0.0.1:1/");
  EXPECT_TRUE(f.fake.workspace.requests[0].configuration.activates);
  EXPECT_EQ(f.fake.workspace.requests[1].url, "http://127.0.0.1:3/");
  EXPECT_EQ(f.fake.application.announced,
            (std::vector<std::string>{"http://127.0.0.1:1/", "http://127.0.0.1:3/"}));
}

TEST(ConsumeOutput, NonReadyOutputLeavesNoTrace) {
  DelegateFixture f;
  f.delegate->consumeOutput("https://127.0.0.1/\nhttp://[::1]:3/\n\xff\xfe\n\nhttp://127.0.0.2/\n");
  f.delegate->consumeOutput("");
  f.delegate->consumeOutput("http://127.0.0.1:9/");  // never ended by a line feed
  EXPECT_FALSE(probe(*f.delegate).hasOpenedURL());
  EXPECT_FALSE(probe(*f.delegate).readyURL());
  EXPECT_TRUE(f.records().empty());
  EXPECT_TRUE(f.fake.workspace.requests.empty());
  EXPECT_EQ(probe(*f.delegate).bufferedOutput(), "http://127.0.0.1:9/");
  f.delegate->consumeOutput("");  // end of file changes nothing
  EXPECT_EQ(probe(*f.delegate).bufferedOutput(), "http://127.0.0.1:9/");
  EXPECT_TRUE(f.records().empty());
}

struct SuppressionCase {
  const char* name;
  std::optional<std::string> value;
  bool suppressed;
};

class Suppression : public testing::TestWithParam<SuppressionCase> {};

TEST_P(Suppression, OnlyTheExactValueOneKeepsTheBrowserClosed) {
  DelegateFixture f;
  if (GetParam().value)
    f.fake.processInfo.env.set("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", *GetParam().value);
  f.delegate->consumeOutput(std::string(kURL) + "\n");
  EXPECT_TRUE(probe(*f.delegate).hasOpenedURL());
  EXPECT_EQ(probe(*f.delegate).readyURL(), kURL);
  const auto records = f.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["event"], "runtime.ready");
  EXPECT_EQ(records[0]["url"], kURL);
  EXPECT_FALSE(records[0].contains("detail"));
  if (GetParam().suppressed) {
    EXPECT_EQ(records[1]["event"], "browser.open.suppressed");
    EXPECT_EQ(records[1]["url"], kURL);
    EXPECT_FALSE(records[1].contains("detail"));
    EXPECT_TRUE(f.fake.workspace.requests.empty());
  } else {
    EXPECT_EQ(records[1]["event"], "browser.open.requested");
    EXPECT_EQ(records[1]["detail"], "runtime-ready");
    EXPECT_EQ(f.fake.workspace.requests.size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Values, Suppression,
                         testing::Values(SuppressionCase{"One", "1", true},
                                         SuppressionCase{"Absent", std::nullopt, false},
                                         SuppressionCase{"Empty", "", false},
                                         SuppressionCase{"Zero", "0", false},
                                         SuppressionCase{"True", "true", false},
                                         SuppressionCase{"SpaceBeforeOne", " 1", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConsumeOutput, SuppressionIsReadAfreshAtEveryReadyLine) {
  DelegateFixture f;
  f.fake.processInfo.env.set("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", "1");
  f.delegate->consumeOutput("http://127.0.0.1:1/\n");
  f.fake.processInfo.env.set("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", "0");
  f.delegate->consumeOutput("http://127.0.0.1:2/\n");
  EXPECT_EQ(f.events(), (Events{"runtime.ready", "browser.open.suppressed", "runtime.ready",
                                "browser.open.requested"}));
}

TEST(ConsumeOutput, ChunksFromTheTaskReachTheDelegateThroughTheMainQueueInOrder) {
  LaunchedFixture f;
  f.fake.processInfo.env.set("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", "1");
  auto task = f.task();
  task->output("http://127.0.");
  task->output("0.1:5/\n");
  EXPECT_FALSE(probe(*f.delegate).hasOpenedURL()) << "framing belongs to the main thread";
  f.fake.mainQueue.runPending();
  EXPECT_EQ(probe(*f.delegate).readyURL(), "http://127.0.0.1:5/");
}

TEST(ConsumeOutput, ChunksForAGoneDelegateAreDropped) {
  LaunchedFixture f;
  auto task = f.task();
  task->output("http://127.0.0.1:5/\n");
  std::weak_ptr<AppDelegate> weak = f.delegate;
  f.fake.application.delegate.reset();
  f.delegate.reset();
  EXPECT_TRUE(weak.expired()) << "a queued chunk must not keep the delegate alive";
  EXPECT_EQ(f.fake.mainQueue.runPending(), 1);
}

struct FloodCase {
  const char* name;
  std::string tail;  // written after the flood, in the last chunk
  size_t posted;     // work items the main queue receives
  Events events;
};

void PrintTo(const FloodCase& c, std::ostream* os) { *os << c.name; }

class Flood : public testing::TestWithParam<FloodCase> {};

TEST_P(Flood, OnlyWhatTheDelegateActsOnReachesTheMainQueue) {
  LaunchedFixture f;
  f.fake.processInfo.env.set("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", "1");
  auto task = f.task();
  const size_t launchEvents = f.events().size();
  f.fake.mainQueue.runPending();
  const size_t ranBefore = f.fake.mainQueue.ran();
  // 64 MB of log lines, in chunks that end inside a line, from a reader of its own as the
  // real task's, while this thread runs the main queue; then a last item that says so.
  std::string chunk;
  while (chunk.size() < 64 * 1024) chunk += "GET /api/items?page=1 200 0.4ms ..................\n";
  chunk += "GET /api/items?pa";
  bool written = false;  // main thread only
  std::thread reader([&] {
    for (int i = 0; i < 1000; ++i) task->output(chunk);
    task->output("ge=2 200 0.3ms\n" + GetParam().tail);
    f.fake.mainQueue.async([&written] { written = true; });
  });
  EXPECT_TRUE(f.fake.mainQueue.runUntil([&] { return written; }, std::chrono::seconds(120)));
  reader.join();
  EXPECT_EQ(f.fake.mainQueue.ran() - ranBefore - 1, GetParam().posted);
  const Events events = f.events();
  EXPECT_EQ(Events(events.begin() + static_cast<std::ptrdiff_t>(launchEvents), events.end()),
            GetParam().events);
  EXPECT_TRUE(probe(*f.delegate).bufferedOutput().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, Flood,
    testing::Values(FloodCase{"NothingButNoise", "", 0, {}},
                    FloodCase{"ReadyLineAtTheEnd",
                              "http://127.0.0.1:7/\n",
                              1,
                              {"runtime.ready", "browser.open.suppressed"}},
                    FloodCase{"UrlLikeLineAtTheEnd", "HTTPS://127.0.0.1:7/\n", 1, {}},
                    FloodCase{"UnfinishedReadyLine", "http://127.0.0.1:7/", 0, {}},
                    FloodCase{"OverLongLine",
                              std::string(runtime::LineFramer::kMaxLine + 1, 'x') + "\n",
                              1,
                              {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConsumeOutput, RealChildFloodingTheMainQueueIsFramedInOrderAndBounded) {
  // A real child and its reading thread against a main queue that the test runs: the
  // hand-over from the reader, the bound on chunks in flight, and the framing together.
  testsupport::TempDir dir;
  platform::fake::FakePlatform fake;
  platform::LinuxTaskFactory tasks;
  platform::Services services = fake.services();
  platform::Services real{.application = services.application,
                          .mainQueue = services.mainQueue,
                          .globalQueue = services.globalQueue,
                          .tasks = tasks,
                          .alerts = services.alerts,
                          .bundle = services.bundle,
                          .processInfo = services.processInfo,
                          .workspace = services.workspace,
                          .places = services.places,
                          .programs = services.programs};
  fake.processInfo.env = platform::Environment(
      {{"ZOLVEN_LOG_ROOT", dir.str("logs")}, {"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", "1"}});
  fake.bundle.resources = dir.str("resources");
  // 20,000 noise lines (about 2 MB, far more than the chunks allowed in flight), then
  // two ready lines split over writes.
  testsupport::writeFile(
      dir.str("resources/runtime/bin/node"),
      "#!/bin/sh\n"
      "i=0; while [ $i -lt 20000 ]; do echo 'GET /api/items?page=1 200 0.4ms "
      "......................................................'; i=$((i+1)); done\n"
      "printf 'http://127.0.0.1:1/\\nhttp://127.0.'\n"
      "printf '0.1:2/\\n'\n",
      std::filesystem::perms::owner_all);
  testsupport::writeFile(dir.str("resources/runtime/app/scripts/packaged-runtime.mjs"), "");
  testsupport::writeFile(dir.str("resources/config/runtime-config.json"), "{}");
  auto delegate = std::make_shared<AppDelegate>(real);
  fake.application.setDelegate(delegate);
  fake.application.run();
  ASSERT_TRUE(probe(*delegate).runtimeTask());

  // Ready, then a clean exit: the launcher asks to quit, without an alert.
  ASSERT_TRUE(
      fake.mainQueue.runUntil([&] { return fake.application.ended; }, std::chrono::seconds(60)));
  EXPECT_TRUE(fake.alerts.shown.empty());
  EXPECT_EQ(probe(*delegate).readyURL(), "http://127.0.0.1:2/");
  std::vector<std::string> ready;
  for (const auto& record : testsupport::readJsonLines(dir.str("logs/launcher.log")))
    if (record["event"] == "runtime.ready") ready.push_back(record["url"]);
  EXPECT_EQ(ready, (std::vector<std::string>{"http://127.0.0.1:1/", "http://127.0.0.1:2/"}));
  EXPECT_TRUE(probe(*delegate).bufferedOutput().empty());
  // Output chunks wait at most four at a time; the exit report may join them.
  EXPECT_LE(fake.mainQueue.mostQueued(), 5u);
}

}  // namespace
