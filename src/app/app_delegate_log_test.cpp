// The delegate's log operation: where the first record fixes the location, and several
// threads appending at once.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "app/app_delegate.h"
#include "fakes.h"
#include "json_lines.h"
#include "temp_dir.h"
#include "delegate_probe.h"

using namespace zolven;
using namespace zolven::app;

namespace {

using platform::fake::FakePlatform;
using testsupport::readFile;
using testsupport::readJsonLines;
using testsupport::TempDir;

TEST(EventLog, LocationIsFixedByTheFirstRecord) {
  TempDir dir;
  FakePlatform fake;
  fake.processInfo.env = platform::Environment({{"ZOLVEN_LOG_ROOT", dir.str("first")}});
  auto delegate = std::make_shared<AppDelegate>(fake.services());
  EXPECT_FALSE(probe(*delegate).logFileLocation());

  delegate->log("launcher.started");
  fake.processInfo.env = platform::Environment({{"ZOLVEN_LOG_ROOT", dir.str("second")}});
  delegate->log("runtime.started", std::nullopt, "pid=1");

  EXPECT_EQ(probe(*delegate).logFileLocation(), dir.str("first/launcher.log"));
  const auto lines = readJsonLines(dir.str("first/launcher.log"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["event"], "launcher.started");
  EXPECT_EQ(lines[1]["detail"], "pid=1");
  EXPECT_FALSE(std::filesystem::exists(dir.str("second")));
}

TEST(EventLog, RelativeRootIsTakenBelowTheWorkingDirectory) {
  TempDir dir;
  FakePlatform fake;
  fake.processInfo.cwd = dir.str();
  fake.processInfo.env = platform::Environment({{"ZOLVEN_LOG_ROOT", "rel/logs"}});
  auto delegate = std::make_shared<AppDelegate>(fake.services());
  delegate->log("launcher.started");
  EXPECT_EQ(readJsonLines(dir.str("rel/logs/launcher.log")).size(), 1u);
}

TEST(EventLog, UnusableLocationIsSilent) {
  TempDir dir;
  testsupport::writeFile(dir.str("blocked"), "");
  FakePlatform fake;
  fake.processInfo.env = platform::Environment({{"ZOLVEN_LOG_ROOT", dir.str("blocked/logs")}});
  auto delegate = std::make_shared<AppDelegate>(fake.services());
  delegate->log("launcher.started");  // must neither throw nor crash
  delegate->log("launcher.failed", std::nullopt, "x");
  EXPECT_EQ(readFile(dir.str("blocked")), "");
}

TEST(EventLog, ConcurrentCallersEachWriteWholeLines) {
  TempDir dir;
  FakePlatform fake;
  fake.processInfo.env = platform::Environment({{"ZOLVEN_LOG_ROOT", dir.str()}});
  auto delegate = std::make_shared<AppDelegate>(fake.services());

  constexpr int kThreads = 8;
  constexpr int kRecords = 200;
  // 1600 records of about 1.1 kB: the log rotates once on the way, and every record is
  // whole and present across the file and its ".1".
  const std::string longDetail(1000, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRecords; ++i)
        delegate->log("thread." + std::to_string(t), "http://127.0.0.1/" + std::to_string(i),
                      longDetail);
    });
  }
  for (auto& thread : threads) thread.join();

  auto lines = readJsonLines(dir.str("launcher.log.1"));  // parse() throws on a torn line
  EXPECT_FALSE(lines.empty()) << "the log did not rotate";
  for (auto& record : readJsonLines(dir.str("launcher.log"))) lines.push_back(std::move(record));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kRecords));
  std::map<std::string, int> perThread;
  for (const auto& record : lines) {
    EXPECT_EQ(record["detail"], longDetail);
    ++perThread[record["event"].get<std::string>()];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(perThread["thread." + std::to_string(t)], kRecords);
}

}  // namespace
