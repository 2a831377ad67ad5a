#include "runtime/runtime_decisions.h"

#include <gtest/gtest.h>

#include <set>

namespace zolven::runtime {
namespace {

const platform::ProgramConventions kLinux{.nodeExecutable = "bin/node",
                                          .childSearchPath = "/usr/bin:/bin:/usr/sbin:/sbin"};
const RuntimeLayout kLayout =
    resolveRuntimeLayout("/r", "x64", kLinux, [](const std::string&) { return false; });

TEST(FirstMissingFile, IsTheFirstAbsentInTheOrderOfTheChecks) {
  struct Case {
    std::set<std::string> present;
    std::optional<std::string> missing;
  };
  const std::string node = "/r/runtime/bin/node";
  const std::string entry = "/r/runtime/app/scripts/packaged-runtime.mjs";
  const std::string config = "/r/config/runtime-config.json";
  const Case cases[] = {
      {{node, entry, config}, std::nullopt},
      {{}, node},
      {{entry, config}, node},
      {{node, config}, entry},
      {{node}, entry},
      {{node, entry}, config},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(firstMissingFile(kLayout,
                               [&](const std::string& path) { return c.present.count(path) == 1; }),
              c.missing)
        << c.present.size() << " present";
  }
}

TEST(RuntimeTaskOptions, RunNodeOnTheEntryInTheAppDirectoryAndEndItsLeftovers) {
  const platform::Environment launcher({{"HOME", "/home/ada"}});
  const platform::TaskOptions options = runtimeTaskOptions(kLayout, launcher, kLinux);
  EXPECT_EQ(options.executable, "/r/runtime/bin/node");
  EXPECT_EQ(options.arguments,
            std::vector<std::string>{"/r/runtime/app/scripts/packaged-runtime.mjs"});
  EXPECT_EQ(options.currentDirectory, "/r/runtime/app");
  EXPECT_EQ(options.environment.entries(), childEnvironment(launcher, kLayout, kLinux).entries());
  EXPECT_EQ(options.leftovers, platform::Leftovers::EndWithTheChild);
  EXPECT_EQ(options.familyMark, runtimeFamilyMark(kLayout));
}

TEST(BrowserSuppressed, OnlyByTheExactValueOne) {
  const std::pair<std::optional<std::string>, bool> cases[] = {
      {"1", true},     {std::nullopt, false}, {"", false},   {"0", false},
      {"true", false}, {" 1", false},         {"1 ", false}, {"11", false},
  };
  for (const auto& [value, suppressed] : cases) {
    platform::Environment launcher({{"HOME", "/home/ada"}});
    if (value) launcher.set("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", *value);
    EXPECT_EQ(browserSuppressed(launcher), suppressed) << value.value_or("(unset)");
  }
}

TEST(JudgeExit, ByTheQuitTheReadyLineAndTheStatus) {
  using platform::ExitStatus;
  struct Case {
    const char* name;
    ExitStatus status;
    bool opened;
    bool terminating;
    ExitOutcome outcome;
  };
  const Case cases[] = {
      {"served, clean exit", ExitStatus::exited(0), true, false, ExitOutcome::Quit},
      {"served, failed exit", ExitStatus::exited(1), true, false, ExitOutcome::Failure},
      {"served, killed", ExitStatus::signaled(9), true, false, ExitOutcome::Failure},
      {"served, status unknown", ExitStatus::unknown(), true, false, ExitOutcome::Failure},
      {"never ready, clean exit", ExitStatus::exited(0), false, false, ExitOutcome::Failure},
      {"never ready, failed exit", ExitStatus::exited(3), false, false, ExitOutcome::Failure},
      {"quit, clean exit", ExitStatus::exited(0), true, true, ExitOutcome::QuitUnderWay},
      {"quit, killed", ExitStatus::signaled(9), true, true, ExitOutcome::QuitUnderWay},
      {"quit before ready", ExitStatus::signaled(15), false, true, ExitOutcome::QuitUnderWay},
  };
  for (const Case& c : cases)
    EXPECT_EQ(judgeExit(c.status, c.opened, c.terminating), c.outcome) << c.name;
}

}  // namespace
}  // namespace zolven::runtime
