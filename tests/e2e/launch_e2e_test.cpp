// The built launcher, headless, in a temporary bundle: the runtime it starts, the
// records of each start-up path, and the failure alert on standard error.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "launcher_bundle.h"

namespace {

using namespace testsupport;
using Events = std::vector<std::string>;

TEST(Launch, StartsTheRuntimeWithItsArgumentDirectoryAndEnvironment) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime/" + kArch);
  auto launcher = bundle.start({{"ZOLVEN_SUPPRESS_BROWSER", "0"}, {"CUSTOM_VALUE", "kept as is"}});
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));

  const std::string runtime = bundle.resources("runtime/" + kArch);
  EXPECT_EQ(readFile(bundle.record("args")),
            "1\n" + runtime + "/app/scripts/packaged-runtime.mjs\n");
  EXPECT_EQ(readFile(bundle.record("cwd")), runtime + "/app\n");

  auto env = bundle.childEnvironment();
  EXPECT_EQ(env["PATH"], "/usr/bin:/bin:/usr/sbin:/sbin");
  EXPECT_EQ(env["ZOLVEN_PACKAGED_RESOURCE_ROOT"], runtime + "/app");
  EXPECT_EQ(env["ZOLVEN_PACKAGED_CONFIG"], bundle.resources("config/runtime-config.json"));
  EXPECT_EQ(env["ZOLVEN_PACKAGED_BIN_DIR"], runtime + "/bin");
  EXPECT_EQ(env["ZOLVEN_SUPPRESS_BROWSER"], "1");
  EXPECT_EQ(env["CUSTOM_VALUE"], "kept as is");
  EXPECT_EQ(env["ZOLVEN_LOG_ROOT"], bundle.dir().str("logs"));
  EXPECT_EQ(env["ZOLVEN_LAUNCHER_SUPPRESS_BROWSER"], "1");
  // Exactly the launcher's variables plus the runtime's four: nothing added on the way.
  std::set<std::string> expectedNames;
  for (const auto& entry :
       bundle.environment({{"ZOLVEN_SUPPRESS_BROWSER", "0"}, {"CUSTOM_VALUE", "x"}}))
    expectedNames.insert(entry.substr(0, entry.find('=')));
  for (const char* name :
       {"ZOLVEN_PACKAGED_RESOURCE_ROOT", "ZOLVEN_PACKAGED_CONFIG", "ZOLVEN_PACKAGED_BIN_DIR"})
    expectedNames.insert(name);
  std::set<std::string> names;
  for (const auto& [name, value] : env)
    if (name != "PWD" && name != "SHLVL" && name != "_") names.insert(name);  // the shell's own
  EXPECT_EQ(names, expectedNames);

  const auto records = bundle.records();
  ASSERT_EQ(bundle.events(),
            (Events{"launcher.started", "runtime.architecture.selected", "runtime.started"}));
  EXPECT_EQ(records[0].size(), 2u) << "launcher.started has only at and event";
  EXPECT_EQ(records[1]["detail"], kArch);
  EXPECT_EQ(records[2]["detail"], "pid=" + std::to_string(bundle.childPid()));
  EXPECT_TRUE(bundle.launcherStderr().find("could not start") == std::string::npos);

  quitAndExpectCleanEnd(bundle, *launcher);
}

struct LayoutCase {
  const char* name;
  std::function<void(LauncherBundle&)> build;
  bool starts;
  const char* runtimeDirectory;  // below resources/, when it starts
};

class Layout : public testing::TestWithParam<LayoutCase> {};

TEST_P(Layout, ChoosesTheRuntimeDirectoryOrFails) {
  LauncherBundle bundle;
  GetParam().build(bundle);
  auto launcher = bundle.start();
  if (GetParam().starts) {
    ASSERT_TRUE(
        waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));
    EXPECT_EQ(readFile(bundle.record("cwd")),
              bundle.resources(GetParam().runtimeDirectory) + "/app\n");
    quitAndExpectCleanEnd(bundle, *launcher);
  } else {
    EXPECT_EQ(launcher->waitExit(), 1);
    EXPECT_EQ(bundle.events(),
              (Events{"launcher.started", "runtime.architecture.selected", "launcher.failed"}));
    EXPECT_EQ(bundle.records()[1]["detail"], kArch);
    EXPECT_EQ(bundle.records()[2]["detail"], "A required runtime resource is missing.");
    EXPECT_FALSE(bundle.childStarted());
    EXPECT_EQ(bundle.launcherStderr(),
              "ZOLVEN could not start.\nA required runtime resource is missing. See the ZOLVEN "
              "log directory for diagnostics.\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Layout,
    testing::Values(LayoutCase{"BothPresentTakesTheArchitectureDirectory",
                               [](LauncherBundle& b) {
                                 b.addRuntime("runtime/" + kArch);
                                 b.addRuntime("runtime");
                               },
                               true, "runtime/x64"},
                    LayoutCase{"OnlyTheRoot", [](LauncherBundle& b) { b.addRuntime("runtime"); },
                               true, "runtime"},
                    LayoutCase{"ArchitectureDirectoryWithoutNode",
                               [](LauncherBundle& b) {
                                 b.addRuntime("runtime");
                                 b.addEntryScript("runtime/" + kArch);
                               },
                               false, ""},
                    LayoutCase{"PlainFileNamedLikeTheArchitecture",
                               [](LauncherBundle& b) {
                                 b.addRuntime("runtime");
                                 writeFile(b.resources("runtime/" + kArch), "not a directory");
                               },
                               false, ""},
                    LayoutCase{"ConfigOnlyInsideTheRuntimeDirectory",
                               [](LauncherBundle& b) {
                                 b.addNode("runtime");
                                 b.addEntryScript("runtime");
                                 writeFile(b.resources("runtime/config/runtime-config.json"), "{}");
                               },
                               false, ""},
                    LayoutCase{"NoEntryScript",
                               [](LauncherBundle& b) {
                                 b.addNode("runtime");
                                 b.addConfig();
                               },
                               false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Launch, NoResourcesDirectoryEndsInTheAlert) {
  LauncherBundle bundle;  // no resources/ beside the executable
  auto launcher = bundle.start();
  EXPECT_EQ(launcher->waitExit(), 1);
  EXPECT_EQ(bundle.events(), (Events{"launcher.started", "launcher.failed"}));
  EXPECT_EQ(bundle.records()[1]["detail"], "Application resources could not be located.");
  EXPECT_EQ(bundle.launcherStderr(),
            "ZOLVEN could not start.\nApplication resources could not be located. See the ZOLVEN "
            "log directory for diagnostics.\n");
}

TEST(Launch, NodeThatCannotBeExecutedReportsTheSystemMessage) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  std::filesystem::permissions(
      bundle.resources("runtime/bin/node"),
      std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  auto launcher = bundle.start();
  EXPECT_EQ(launcher->waitExit(), 1);
  EXPECT_EQ(bundle.events(), (Events{"launcher.started", "runtime.architecture.selected",
                                     "runtime.start.failed", "launcher.failed"}));
  EXPECT_EQ(bundle.records()[2]["detail"], "Permission denied");
  EXPECT_EQ(bundle.records()[3]["detail"], "The local runtime could not be launched.");
  EXPECT_FALSE(bundle.childStarted());
}

TEST(Launch, SymlinkedLauncherFindsItsOwnBundle) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  const std::string link = bundle.dir().str("elsewhere/zolven");
  std::filesystem::create_directories(bundle.dir().str("elsewhere"));
  std::filesystem::create_symlink(bundle.executable(), link);
  Process launcher({link}, bundle.environment(), bundle.dir().str("stdout"),
                   bundle.dir().str("stderr"));
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted(); }));
  quitAndExpectCleanEnd(bundle, launcher);
}

TEST(EventLogEndToEnd, DefaultLocationIsCreatedPrivate) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  const std::string home = bundle.dir().str("home");
  auto launcher =
      bundle.start({{"ZOLVEN_LOG_ROOT", std::nullopt}, {"XDG_STATE_HOME", std::nullopt}});
  const std::string log = home + "/.local/state/Keldrovan/ZOLVEN/launcher.log";
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.events(log).size() == 3; }));
  for (const std::string& dir : std::vector<std::string>{
           home, home + "/.local", home + "/.local/state", home + "/.local/state/Keldrovan",
           home + "/.local/state/Keldrovan/ZOLVEN"}) {
    struct stat info {};
    ASSERT_EQ(::stat(dir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << dir;
  }
  struct stat info {};
  ASSERT_EQ(::stat(log.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  quitAndExpectCleanEnd(bundle, *launcher);
}

TEST(EventLogEndToEnd, UnusableLogDirectoryDoesNotStopTheLauncher) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  writeFile(bundle.dir().str("file-not-dir"), "x");
  auto launcher = bundle.start({{"ZOLVEN_LOG_ROOT", bundle.dir().str("file-not-dir/logs")}});
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted(); }));
  EXPECT_TRUE(launcher->running());
  quitAndExpectCleanEnd(bundle, *launcher);
}

TEST(EventLogEndToEnd, LogFileDeletedMidRunIsRecreated) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));
  std::filesystem::remove_all(bundle.dir().str("logs"));
  const pid_t child = bundle.childPid();
  launcher->signal(SIGTERM);
  EXPECT_EQ(launcher->waitExit(), 0);
  EXPECT_TRUE(waitFor([&] { return !processExists(child); }));
  // The next record, the runtime's exit, makes the file again and stands alone in it.
  EXPECT_EQ(bundle.events(), Events{"runtime.exited"});
  struct stat info {};
  ASSERT_EQ(::stat(bundle.logFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

}  // namespace

namespace {

using namespace testsupport;

class QuitSignal : public testing::TestWithParam<int> {};

TEST_P(QuitSignal, StopsTheRuntimeAndEndsTheLauncherWithoutAlert) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));
  const pid_t child = bundle.childPid();
  launcher->signal(GetParam());
  EXPECT_EQ(launcher->waitExit(), 0);
  EXPECT_FALSE(processExists(child));
  // The runtime (sleep) ends on the SIGTERM it was sent; its exit is recorded, no alert.
  EXPECT_EQ(bundle.events().back(), "runtime.exited");
  EXPECT_EQ(bundle.records().back()["detail"], "status=15");
  EXPECT_FALSE(bundle.hasEvent("launcher.failed"));
}

INSTANTIATE_TEST_SUITE_P(Signals, QuitSignal, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

}  // namespace
