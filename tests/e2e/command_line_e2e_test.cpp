// The launcher's command line: --quit, --help, --version, and what it refuses.
#include <gtest/gtest.h>

#include "launcher_bundle.h"

namespace {

using namespace testsupport;

struct Refusal {
  const char* name;
  std::vector<std::string> arguments;
};

class Refused : public testing::TestWithParam<Refusal> {};

TEST_P(Refused, ArgumentsGiveTheUsageAndStatusTwoAndStartNothing) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  std::vector<std::string> argv{bundle.executable()};
  argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  Process launcher(argv, bundle.environment(), bundle.dir().str("stdout"),
                   bundle.dir().str("stderr"));
  EXPECT_EQ(launcher.waitExit(), 2);
  EXPECT_NE(bundle.launcherStderr().find("Usage: zolven-launcher"), std::string::npos);
  EXPECT_EQ(bundle.launcherStdout(), "");
  EXPECT_FALSE(std::filesystem::exists(bundle.logFile()));
  EXPECT_FALSE(bundle.childStarted());
}

INSTANTIATE_TEST_SUITE_P(Arguments, Refused,
                         testing::Values(Refusal{"Unknown", {"--frobnicate"}},
                                         Refusal{"TwoOptions", {"--quit", "--version"}},
                                         Refusal{"URL", {"http://127.0.0.1:1/"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CommandLine, HelpAndVersionPrintAndEndAtOnce) {
  LauncherBundle bundle;
  for (const auto& [argument, expected] : std::vector<std::pair<std::string, std::string>>{
           {"--help", "Usage: zolven-launcher"}, {"--version", "zolven-launcher 0."}}) {
    Process launcher({bundle.executable(), argument}, bundle.environment(),
                     bundle.dir().str("stdout"), bundle.dir().str("stderr"));
    EXPECT_EQ(launcher.waitExit(), 0);
    EXPECT_EQ(bundle.launcherStdout().rfind(expected, 0), 0u) << bundle.launcherStdout();
  }
  EXPECT_FALSE(std::filesystem::exists(bundle.logFile()));
}

TEST(CommandLine, QuitEndsTheRunningLauncherThroughItsQuitPath) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));
  const pid_t child = bundle.childPid();

  Process quit({bundle.executable(), "--quit"}, bundle.environment(), bundle.dir().str("quit.out"),
               bundle.dir().str("quit.err"));
  EXPECT_EQ(quit.waitExit(), 0) << readFile(bundle.dir().str("quit.err"));
  EXPECT_EQ(launcher->waitExit(), 0);
  EXPECT_TRUE(waitFor([&] { return !processRunning(child); }));
  EXPECT_EQ(bundle.events().back(), "runtime.exited");
  EXPECT_EQ(bundle.records().back()["detail"], "status=15");
  EXPECT_FALSE(bundle.hasEvent("launcher.failed"));
  EXPECT_FALSE(bundle.hasEvent("launcher.reopened"));
}

TEST(CommandLine, QuitWithNoneRunningSaysSoAndDoesNothing) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  Process quit({bundle.executable(), "--quit"}, bundle.environment(), bundle.dir().str("stdout"),
               bundle.dir().str("stderr"));
  EXPECT_EQ(quit.waitExit(), 0);
  EXPECT_EQ(bundle.launcherStdout(), "ZOLVEN is not running.\n");
  EXPECT_FALSE(std::filesystem::exists(bundle.logFile()));
  EXPECT_FALSE(bundle.childStarted());
  // And a start afterwards is not blocked by anything the probe left.
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));
  launcher->signal(SIGTERM);
  EXPECT_EQ(launcher->waitExit(), 0);
}

}  // namespace
