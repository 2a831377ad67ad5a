// The delegate on a real Linux task: a child that floods its output against a main queue
// that the test runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delegate_fixture.h"
#include "delegate_probe.h"
#include "platform/linux/task.h"

using namespace zolven;
using namespace zolven::app;

namespace {

TEST(DelegateOnALinuxTask, RealChildFloodingTheMainQueueIsFramedInOrderAndBounded) {
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
