#include "platform/freedesktop/desktop_entry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "temp_dir.h"

using namespace zolven;
using namespace zolven::platform;

namespace {

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
namespace fs = std::filesystem;

// --- The Exec value, both ways ---

struct ExecCase {
  std::string argument;
  std::string value;  // as the file holds it
};

class ExecArgument : public testing::TestWithParam<ExecCase> {};

TEST_P(ExecArgument, IsQuotedEscapedAndReadBackWhole) {
  EXPECT_EQ(execArgument(GetParam().argument), GetParam().value);
  EXPECT_EQ(execArguments(GetParam().value), std::vector<std::string>{GetParam().argument});
}

INSTANTIATE_TEST_SUITE_P(Paths, ExecArgument,
                         testing::Values(ExecCase{"/opt/z/zolven-launcher",
                                                  R"("/opt/z/zolven-launcher")"},
                                         ExecCase{"/a b/c", R"("/a b/c")"},
                                         ExecCase{"/my \"app\"/z", R"("/my \\"app\\"/z")"},
                                         ExecCase{"/$HOME/`id`/z", R"("/\\$HOME/\\`id\\`/z")"},
                                         ExecCase{"/back\\slash/z", R"("/back\\\\slash/z")"},
                                         ExecCase{"/it's %U/z", R"("/it's %U/z")"},
                                         ExecCase{"/line\nbreak/z", R"("/line\nbreak/z")"}));

TEST(ExecArguments, SplitsOnSpacesAndRefusesWhatTheFormatForbids) {
  using Arguments = std::optional<std::vector<std::string>>;
  EXPECT_EQ(execArguments(R"(env ZOLVEN_LAUNCHER_SUPPRESS_BROWSER=1 "/a b/zolven-launcher")"),
            (Arguments{{"env", "ZOLVEN_LAUNCHER_SUPPRESS_BROWSER=1", "/a b/zolven-launcher"}}));
  EXPECT_EQ(execArguments("zolven-launcher  --quit"), (Arguments{{"zolven-launcher", "--quit"}}));
  EXPECT_EQ(execArguments(R"(\sfirst)"), (Arguments{{"first"}}));
  EXPECT_EQ(execArguments(""), (Arguments{std::vector<std::string>{}}));
  EXPECT_EQ(execArguments(R"("/open/quote)"), std::nullopt);
  EXPECT_EQ(execArguments(R"("/a"b)"), std::nullopt);
  EXPECT_EQ(execArguments("/a$b"), std::nullopt);
}

struct ProgramCase {
  const char* name;
  std::string text;
  std::optional<std::string> program;
};

void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.name; }

class EntryProgram : public testing::TestWithParam<ProgramCase> {};

TEST_P(EntryProgram, IsTheMainGroupsExecPastEnv) {
  EXPECT_EQ(entryProgram(GetParam().text), GetParam().program);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, EntryProgram,
    testing::Values(
        ProgramCase{"Plain", "[Desktop Entry]\nName=Z\nExec=\"/b/zolven-launcher\"\n",
                    "/b/zolven-launcher"},
        ProgramCase{"ActionFirst",
                    "[Desktop Action quit]\nExec=/other --quit\n[Desktop Entry]\nExec=/b/z\n",
                    "/b/z"},
        ProgramCase{"ActionOnly", "[Desktop Entry]\nName=Z\n[Desktop Action quit]\nExec=/o\n",
                    std::nullopt},
        ProgramCase{"SpacesAroundEquals", "[Desktop Entry]\nExec = /b/z --x\n", "/b/z"},
        ProgramCase{"TryExecIsNotExec", "[Desktop Entry]\nTryExec=/t\nExec=/b/z\n", "/b/z"},
        ProgramCase{"ThroughEnv", "[Desktop Entry]\nExec=env A=1 B=2 \"/b/zolven-launcher\"\n",
                    "/b/zolven-launcher"},
        ProgramCase{"ThroughUsrBinEnv", "[Desktop Entry]\nExec=/usr/bin/env A=1 /b/z\n", "/b/z"},
        ProgramCase{"CrLf", "[Desktop Entry]\r\nExec=/b/z\r\n", "/b/z"},
        ProgramCase{"Unreadable", "[Desktop Entry]\nExec=\"/b/z\n", std::nullopt},
        ProgramCase{"NoExec", "[Desktop Entry]\nName=Z\n", std::nullopt},
        ProgramCase{"NotAnEntry", "hello\n", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Writing and removing, in private folders ---

// Two bundles (this one and another) with their launchers, and a user's empty homes.
struct Homes {
  TempDir dir;
  DesktopEntryPlaces ours{.bundle = dir.str("this bundle \"1\""),
                          .dataHome = dir.str("data"),
                          .configHome = dir.str("config")};
  DesktopEntryPlaces other{
      .bundle = dir.str("other"), .dataHome = dir.str("data"), .configHome = dir.str("config")};
  Homes() {
    for (const auto* places : {&ours, &other}) {
      writeFile(places->bundle + "/zolven-launcher", "#!/bin/sh\n", fs::perms::owner_all);
      writeFile(places->bundle + "/share/zolven/zolven.desktop.in",
                "[Desktop Entry]\nType=Application\nName=ZOLVEN\nExec=@EXEC@\nIcon=zolven\n"
                "Actions=quit;\n\n[Desktop Action quit]\nName=Quit ZOLVEN\nExec=@EXEC@ --quit\n");
      writeFile(places->bundle + "/share/icons/hicolor/48x48/apps/zolven.png", places->bundle);
      writeFile(places->bundle + "/share/icons/hicolor/scalable/apps/zolven.svg", "<svg/>");
    }
  }
};

// The menu entry and the autostart entry keep the same rules.
struct Kind {
  const char* name;
  std::function<EntryOutcome(const DesktopEntryPlaces&, ExistingEntry)> install;
  std::function<EntryOutcome(const DesktopEntryPlaces&)> remove;
  std::function<std::string(const DesktopEntryPlaces&)> entry;
};

void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

class EntryOwnership : public testing::TestWithParam<Kind> {
 protected:
  std::optional<std::string> programOfEntry() const {
    const std::string path = GetParam().entry(homes.ours);
    if (!fs::exists(path)) return std::nullopt;
    return entryProgram(readFile(path));
  }
  std::string ourLauncher() const { return homes.ours.bundle + "/zolven-launcher"; }
  std::string otherLauncher() const { return homes.other.bundle + "/zolven-launcher"; }

  Homes homes;
};

TEST_P(EntryOwnership, WritesItsOwnEntryAndRemovesIt) {
  const EntryOutcome installed = GetParam().install(homes.ours, ExistingEntry::KeepForeign);
  ASSERT_TRUE(installed.succeeded) << installed.message;
  EXPECT_EQ(programOfEntry(), ourLauncher());
  struct stat info {};
  ASSERT_EQ(::stat(GetParam().entry(homes.ours).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  // Again: its own entry is simply rewritten.
  EXPECT_TRUE(GetParam().install(homes.ours, ExistingEntry::KeepForeign).succeeded);

  const EntryOutcome removed = GetParam().remove(homes.ours);
  EXPECT_TRUE(removed.succeeded) << removed.message;
  EXPECT_FALSE(fs::exists(GetParam().entry(homes.ours)));
  // Nothing to remove is no failure.
  EXPECT_TRUE(GetParam().remove(homes.ours).succeeded);
}

TEST_P(EntryOwnership, LeavesAnotherBundlesEntryUnlessForced) {
  ASSERT_TRUE(GetParam().install(homes.other, ExistingEntry::KeepForeign).succeeded);
  const std::string before = readFile(GetParam().entry(homes.ours));

  const EntryOutcome refused = GetParam().install(homes.ours, ExistingEntry::KeepForeign);
  EXPECT_FALSE(refused.succeeded);
  EXPECT_NE(refused.message.find(otherLauncher()), std::string::npos) << refused.message;
  EXPECT_NE(refused.message.find("--force"), std::string::npos) << refused.message;
  EXPECT_EQ(readFile(GetParam().entry(homes.ours)), before);

  const EntryOutcome notOurs = GetParam().remove(homes.ours);
  EXPECT_FALSE(notOurs.succeeded);
  EXPECT_NE(notOurs.message.find(otherLauncher()), std::string::npos) << notOurs.message;
  EXPECT_EQ(readFile(GetParam().entry(homes.ours)), before);

  const EntryOutcome forced = GetParam().install(homes.ours, ExistingEntry::ReplaceForeign);
  EXPECT_TRUE(forced.succeeded) << forced.message;
  EXPECT_EQ(programOfEntry(), ourLauncher());
  // Now the other bundle may not remove it.
  EXPECT_FALSE(GetParam().remove(homes.other).succeeded);
  EXPECT_EQ(programOfEntry(), ourLauncher());
}

TEST_P(EntryOwnership, ReplacesAnEntryWhoseBundleIsGoneButDoesNotRemoveIt) {
  ASSERT_TRUE(GetParam().install(homes.other, ExistingEntry::KeepForeign).succeeded);
  fs::remove_all(homes.other.bundle);

  EXPECT_FALSE(GetParam().remove(homes.ours).succeeded);
  EXPECT_EQ(programOfEntry(), otherLauncher());

  const EntryOutcome installed = GetParam().install(homes.ours, ExistingEntry::KeepForeign);
  EXPECT_TRUE(installed.succeeded) << installed.message;
  EXPECT_NE(installed.message.find("no longer exists"), std::string::npos) << installed.message;
  EXPECT_EQ(programOfEntry(), ourLauncher());
}

TEST_P(EntryOwnership, LeavesAnEntryThatIsNoBundlesAlone) {
  writeFile(GetParam().entry(homes.ours), "[Desktop Entry]\nName=Mine\n");
  EXPECT_FALSE(GetParam().install(homes.ours, ExistingEntry::KeepForeign).succeeded);
  EXPECT_FALSE(GetParam().remove(homes.ours).succeeded);
  EXPECT_EQ(readFile(GetParam().entry(homes.ours)), "[Desktop Entry]\nName=Mine\n");
}

INSTANTIATE_TEST_SUITE_P(Kinds, EntryOwnership,
                         testing::Values(Kind{"MenuEntry", installDesktopEntry, removeDesktopEntry,
                                              [](const DesktopEntryPlaces& p) {
                                                return p.dataHome + "/applications/zolven.desktop";
                                              }},
                                         Kind{"Autostart", installAutostartEntry,
                                              removeAutostartEntry,
                                              [](const DesktopEntryPlaces& p) {
                                                return p.configHome + "/autostart/zolven.desktop";
                                              }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DesktopEntry, CarriesTheTemplateAndTheIconsAndTakesTheIconsAway) {
  Homes homes;
  ASSERT_TRUE(installDesktopEntry(homes.ours, ExistingEntry::KeepForeign).succeeded);
  const std::string text = readFile(homes.ours.dataHome + "/applications/zolven.desktop");
  const std::string exec = execArgument(homes.ours.bundle + "/zolven-launcher");
  EXPECT_NE(text.find("\nExec=" + exec + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nExec=" + exec + " --quit\n"), std::string::npos) << text;
  const std::string icons = homes.ours.dataHome + "/icons/hicolor/";
  EXPECT_EQ(readFile(icons + "48x48/apps/zolven.png"), homes.ours.bundle);
  EXPECT_EQ(readFile(icons + "scalable/apps/zolven.svg"), "<svg/>");

  ASSERT_TRUE(removeDesktopEntry(homes.ours).succeeded);
  EXPECT_FALSE(fs::exists(icons + "48x48/apps/zolven.png"));
  EXPECT_FALSE(fs::exists(icons + "scalable/apps/zolven.svg"));
}

TEST(DesktopEntry, RefusesABundleWithoutTheTemplate) {
  Homes homes;
  fs::remove(homes.ours.bundle + "/share/zolven/zolven.desktop.in");
  const EntryOutcome outcome = installDesktopEntry(homes.ours, ExistingEntry::KeepForeign);
  EXPECT_FALSE(outcome.succeeded);
  EXPECT_NE(outcome.message.find("zolven.desktop.in"), std::string::npos) << outcome.message;
  EXPECT_FALSE(fs::exists(homes.ours.dataHome + "/applications/zolven.desktop"));
}

TEST(AutostartEntry, StartsThisLauncherWithoutTheBrowser) {
  Homes homes;
  ASSERT_TRUE(installAutostartEntry(homes.ours, ExistingEntry::KeepForeign).succeeded);
  const std::string text = readFile(homes.ours.configHome + "/autostart/zolven.desktop");
  EXPECT_NE(text.find("\nExec=env ZOLVEN_LAUNCHER_SUPPRESS_BROWSER=1 " +
                      execArgument(homes.ours.bundle + "/zolven-launcher") + "\n"),
            std::string::npos)
      << text;
  // Folders it had to make are the user's alone.
  struct stat info {};
  ASSERT_EQ(::stat(homes.ours.configHome.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

}  // namespace
