#include "runtime/runtime_layout.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <set>

namespace zolven::runtime {
namespace {

// The conventions of the Linux desktop, as its platform gives them.
const platform::ProgramConventions kLinux{.nodeExecutable = "bin/node",
                                          .childSearchPath = "/usr/bin:/bin:/usr/sbin:/sbin"};

// The name node itself gives this machine (process.arch), when a node is at hand.
TEST(HostArchitecture, IsNodesNameForThisMachine) {
  FILE* node = ::popen("node -p process.arch 2>/dev/null", "r");
  ASSERT_NE(node, nullptr);
  char name[32] = {};
  const bool read = ::fgets(name, sizeof name, node) != nullptr;
  ::pclose(node);
  if (!read) GTEST_SKIP() << "no node on this machine to ask";
  std::string answer(name);
  if (!answer.empty() && answer.back() == '\n') answer.pop_back();
  EXPECT_EQ(hostArchitecture(), answer);
}

TEST(ResolveRuntimeLayout, ArchitectureDirectoryWhenPresent) {
  const std::set<std::string> present = {"/r/resources/runtime/x64"};
  const auto layout = resolveRuntimeLayout(
      "/r/resources", "x64", kLinux, [&](const std::string& p) { return present.count(p) > 0; });
  EXPECT_EQ(layout.runtimeRoot, "/r/resources/runtime");
  EXPECT_EQ(layout.runtimeDirectory, "/r/resources/runtime/x64");
  EXPECT_EQ(layout.appDirectory, "/r/resources/runtime/x64/app");
  EXPECT_EQ(layout.nodeExecutable, "/r/resources/runtime/x64/bin/node");
  EXPECT_EQ(layout.entryScript, "/r/resources/runtime/x64/app/scripts/packaged-runtime.mjs");
  EXPECT_EQ(layout.runtimeBinDirectory, "/r/resources/runtime/x64/bin");
  // The configuration never moves with the architecture choice.
  EXPECT_EQ(layout.runtimeConfig, "/r/resources/config/runtime-config.json");
  EXPECT_EQ(
      layout.requiredFiles(),
      (std::vector<std::string>{layout.nodeExecutable, layout.entryScript, layout.runtimeConfig}));
}

TEST(ResolveRuntimeLayout, RuntimeRootWithoutArchitectureDirectory) {
  const auto layout =
      resolveRuntimeLayout("/r/resources", "x64", kLinux, [](const std::string&) { return false; });
  EXPECT_EQ(layout.runtimeDirectory, "/r/resources/runtime");
  EXPECT_EQ(layout.nodeExecutable, "/r/resources/runtime/bin/node");
  EXPECT_EQ(layout.entryScript, "/r/resources/runtime/app/scripts/packaged-runtime.mjs");
  EXPECT_EQ(layout.runtimeConfig, "/r/resources/config/runtime-config.json");
}

TEST(ChildEnvironment, ReplacesPathAndSetsTheRuntimeValues) {
  const platform::Environment launcher({{"HOME", "/home/ada"},
                                        {"PATH", "/opt/bin:/usr/bin"},
                                        {"ZOLVEN_SUPPRESS_BROWSER", "0"},
                                        {"ZOLVEN_LOG_ROOT", "/logs"},
                                        {"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", "1"}});
  const auto layout =
      resolveRuntimeLayout("/r", "x64", kLinux, [](const std::string&) { return false; });
  const auto child = childEnvironment(launcher, layout, kLinux);
  EXPECT_EQ(child.entries(), (std::vector<platform::Environment::Entry>{
                                 {"HOME", "/home/ada"},
                                 {"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"},
                                 {"ZOLVEN_SUPPRESS_BROWSER", "1"},
                                 {"ZOLVEN_LOG_ROOT", "/logs"},
                                 {"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", "1"},
                                 {"ZOLVEN_PACKAGED_RESOURCE_ROOT", "/r/runtime/app"},
                                 {"ZOLVEN_PACKAGED_CONFIG", "/r/config/runtime-config.json"},
                                 {"ZOLVEN_PACKAGED_BIN_DIR", "/r/runtime/bin"},
                             }));
}

// The mark by which the runtime's processes are found is one of the entries it is given,
// whatever the launcher's own environment holds under that name.
TEST(ChildEnvironment, HoldsTheRuntimesFamilyMark) {
  const platform::Environment launcher({{"ZOLVEN_PACKAGED_RESOURCE_ROOT", "/elsewhere"}});
  const auto layout =
      resolveRuntimeLayout("/r", "x64", kLinux, [](const std::string&) { return false; });
  const std::vector<std::string> child = childEnvironment(launcher, layout, kLinux).toStrings();
  EXPECT_EQ(runtimeFamilyMark(layout), "ZOLVEN_PACKAGED_RESOURCE_ROOT=/r/runtime/app");
  EXPECT_EQ(std::count(child.begin(), child.end(), runtimeFamilyMark(layout)), 1);
}

}  // namespace
}  // namespace zolven::runtime
