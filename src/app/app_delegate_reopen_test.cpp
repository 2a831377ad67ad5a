// A second opening of the running launcher.
#include <gtest/gtest.h>

#include "delegate_fixture.h"
#include "delegate_probe.h"

using namespace zolven;
using namespace zolven::app;

namespace {

using testsupport::DelegateFixture;
using Events = std::vector<std::string>;

TEST(Reopen, BeforeReadyRecordsThatThereIsNothingToOpen) {
  DelegateFixture f;
  for (const bool visible : {false, true})
    EXPECT_TRUE(f.delegate->applicationShouldHandleReopen(visible));
  EXPECT_EQ(f.events(), (Events{"launcher.reopened", "browser.open.skipped", "launcher.reopened",
                                "browser.open.skipped"}));
  const auto records = f.records();
  EXPECT_FALSE(records[0].contains("url"));
  EXPECT_FALSE(records[0].contains("detail"));
  EXPECT_FALSE(records[1].contains("url"));
  EXPECT_EQ(records[1]["detail"], "runtime-not-ready");
  EXPECT_TRUE(f.fake.workspace.requests.empty());
}

TEST(Reopen, AfterReadyOpensTheURLAgainEvenWithSuppression) {
  DelegateFixture f;
  f.fake.processInfo.env.set("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", "1");
  f.delegate->consumeOutput("http://127.0.0.1:7/x\n");
  EXPECT_TRUE(f.delegate->applicationShouldHandleReopen(false));
  EXPECT_TRUE(f.delegate->applicationShouldHandleReopen(true));
  EXPECT_EQ(f.events(),
            (Events{"runtime.ready", "browser.open.suppressed", "launcher.reopened",
                    "browser.open.requested", "launcher.reopened", "browser.open.requested"}));
  const auto records = f.records();
  EXPECT_EQ(records[3]["url"], "http://127.0.0.1:7/x");
  EXPECT_EQ(records[3]["detail"], "application-reopened");
  ASSERT_EQ(f.fake.workspace.requests.size(), 2u);
  EXPECT_TRUE(f.fake.workspace.requests[1].configuration.activates);
  EXPECT_EQ(probe(*f.delegate).readyURL(), "http://127.0.0.1:7/x");
}

}  // namespace
