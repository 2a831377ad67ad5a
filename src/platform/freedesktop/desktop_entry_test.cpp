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

// Writing and removing, in private folders.

// What an operation said: its lines, or why it refused or failed.
std::string said(const Result<std::string>& outcome) {
  return outcome ? *outcome : outcome.error().message;
}

// Two bundles (this one and another) with their launchers, and a user's empty places, as a
// data home "data" and a config home "config" have them.
struct Homes {
  TempDir dir;
  UserPlaces user{.stateFolder = dir.str("state"),
                  .menuEntryFolder = dir.str("data/applications"),
                  .iconFolder = dir.str("data/icons"),
                  .autostartFolder = dir.str("config/autostart")};
  DesktopEntryPlaces ours{.bundle = dir.str("this bundle \"1\""), .user = user};
  DesktopEntryPlaces other{.bundle = dir.str("other"), .user = user};
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
  std::function<Result<std::string>(const DesktopEntryPlaces&, ExistingEntry)> install;
  std::function<Result<std::string>(const DesktopEntryPlaces&)> remove;
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
  const Result<std::string> installed = GetParam().install(homes.ours, ExistingEntry::KeepForeign);
  ASSERT_TRUE(installed.ok()) << said(installed);
  EXPECT_EQ(programOfEntry(), ourLauncher());
  struct stat info {};
  ASSERT_EQ(::stat(GetParam().entry(homes.ours).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  // Again: its own entry is simply rewritten.
  EXPECT_TRUE(GetParam().install(homes.ours, ExistingEntry::KeepForeign).ok());

  const Result<std::string> removed = GetParam().remove(homes.ours);
  EXPECT_TRUE(removed.ok()) << said(removed);
  EXPECT_FALSE(fs::exists(GetParam().entry(homes.ours)));
  // Nothing to remove is no failure.
  EXPECT_TRUE(GetParam().remove(homes.ours).ok());
}

TEST_P(EntryOwnership, LeavesAnotherBundlesEntryUnlessForced) {
  ASSERT_TRUE(GetParam().install(homes.other, ExistingEntry::KeepForeign).ok());
  const std::string before = readFile(GetParam().entry(homes.ours));

  const Result<std::string> refused = GetParam().install(homes.ours, ExistingEntry::KeepForeign);
  EXPECT_FALSE(refused.ok());
  EXPECT_NE(said(refused).find(otherLauncher()), std::string::npos) << said(refused);
  EXPECT_NE(said(refused).find("--force"), std::string::npos) << said(refused);
  EXPECT_EQ(readFile(GetParam().entry(homes.ours)), before);

  const Result<std::string> notOurs = GetParam().remove(homes.ours);
  EXPECT_FALSE(notOurs.ok());
  EXPECT_NE(said(notOurs).find(otherLauncher()), std::string::npos) << said(notOurs);
  EXPECT_EQ(readFile(GetParam().entry(homes.ours)), before);

  const Result<std::string> forced = GetParam().install(homes.ours, ExistingEntry::ReplaceForeign);
  EXPECT_TRUE(forced.ok()) << said(forced);
  EXPECT_EQ(programOfEntry(), ourLauncher());
  // Now the other bundle may not remove it.
  EXPECT_FALSE(GetParam().remove(homes.other).ok());
  EXPECT_EQ(programOfEntry(), ourLauncher());
}

TEST_P(EntryOwnership, ReplacesAnEntryWhoseBundleIsGoneButDoesNotRemoveIt) {
  ASSERT_TRUE(GetParam().install(homes.other, ExistingEntry::KeepForeign).ok());
  fs::remove_all(homes.other.bundle);

  EXPECT_FALSE(GetParam().remove(homes.ours).ok());
  EXPECT_EQ(programOfEntry(), otherLauncher());

  const Result<std::string> installed = GetParam().install(homes.ours, ExistingEntry::KeepForeign);
  EXPECT_TRUE(installed.ok()) << said(installed);
  EXPECT_NE(said(installed).find("no longer exists"), std::string::npos) << said(installed);
  EXPECT_EQ(programOfEntry(), ourLauncher());
}

TEST_P(EntryOwnership, LeavesAnEntryThatIsNoBundlesAlone) {
  writeFile(GetParam().entry(homes.ours), "[Desktop Entry]\nName=Mine\n");
  EXPECT_FALSE(GetParam().install(homes.ours, ExistingEntry::KeepForeign).ok());
  EXPECT_FALSE(GetParam().remove(homes.ours).ok());
  EXPECT_EQ(readFile(GetParam().entry(homes.ours)), "[Desktop Entry]\nName=Mine\n");
}

INSTANTIATE_TEST_SUITE_P(Kinds, EntryOwnership,
                         testing::Values(Kind{"MenuEntry", installDesktopEntry, removeDesktopEntry,
                                              [](const DesktopEntryPlaces& p) {
                                                return p.user.menuEntryFolder + "/zolven.desktop";
                                              }},
                                         Kind{"Autostart", installAutostartEntry,
                                              removeAutostartEntry,
                                              [](const DesktopEntryPlaces& p) {
                                                return p.user.autostartFolder + "/zolven.desktop";
                                              }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DesktopEntry, CarriesTheTemplateAndTheIconsAndTakesTheIconsAway) {
  Homes homes;
  ASSERT_TRUE(installDesktopEntry(homes.ours, ExistingEntry::KeepForeign).ok());
  const std::string text = readFile(homes.dir.str("data/applications/zolven.desktop"));
  const std::string exec = execArgument(homes.ours.bundle + "/zolven-launcher");
  EXPECT_NE(text.find("\nExec=" + exec + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nExec=" + exec + " --quit\n"), std::string::npos) << text;
  const std::string icons = homes.dir.str("data/icons/hicolor/");
  EXPECT_EQ(readFile(icons + "48x48/apps/zolven.png"), homes.ours.bundle);
  EXPECT_EQ(readFile(icons + "scalable/apps/zolven.svg"), "<svg/>");

  ASSERT_TRUE(removeDesktopEntry(homes.ours).ok());
  EXPECT_FALSE(fs::exists(icons + "48x48/apps/zolven.png"));
  EXPECT_FALSE(fs::exists(icons + "scalable/apps/zolven.svg"));
}

TEST(DesktopEntry, RefusesABundleWithoutTheTemplate) {
  Homes homes;
  fs::remove(homes.ours.bundle + "/share/zolven/zolven.desktop.in");
  const Result<std::string> outcome = installDesktopEntry(homes.ours, ExistingEntry::KeepForeign);
  EXPECT_FALSE(outcome.ok());
  EXPECT_NE(said(outcome).find("zolven.desktop.in"), std::string::npos) << said(outcome);
  EXPECT_FALSE(fs::exists(homes.dir.str("data/applications/zolven.desktop")));
}

TEST(AutostartEntry, StartsThisLauncherWithoutTheBrowser) {
  Homes homes;
  ASSERT_TRUE(installAutostartEntry(homes.ours, ExistingEntry::KeepForeign).ok());
  const std::string text = readFile(homes.dir.str("config/autostart/zolven.desktop"));
  EXPECT_NE(text.find("\nExec=env ZOLVEN_LAUNCHER_SUPPRESS_BROWSER=1 " +
                      execArgument(homes.ours.bundle + "/zolven-launcher") + "\n"),
            std::string::npos)
      << text;
  // Folders it had to make are the user's alone.
  struct stat info {};
  ASSERT_EQ(::stat(homes.dir.str("config").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

}  // namespace
