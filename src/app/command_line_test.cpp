#include "app/command_line.h"

#include <gtest/gtest.h>

using namespace zolven;
using namespace zolven::app;

namespace {

// What the freedesktop integration says its commands do.
const platform::DesktopIntegrationHelp kFreedesktop{
    .menuEntry =
        "add ZOLVEN to the applications menu (this bundle's entry and icons in "
        "~/.local/share)",
    .autostart =
        "start ZOLVEN in the tray at login, without opening the browser (an entry in "
        "~/.config/autostart)"};

struct Case {
  std::vector<std::string> arguments;
  Command command;
  std::optional<std::string> error;
  bool force = false;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << "[";
  for (const auto& argument : c.arguments) *os << " '" << argument << "'";
  *os << " ]";
}

class CommandLineCases : public testing::TestWithParam<Case> {};

TEST_P(CommandLineCases, ParsesOrNamesTheProblem) {
  const platform::Result<CommandLine> line = parseCommandLine(GetParam().arguments);
  EXPECT_EQ(line ? std::nullopt : std::optional(line.error().message), GetParam().error);
  if (!GetParam().error) {
    ASSERT_TRUE(line.ok());
    EXPECT_EQ(line->command, GetParam().command);
    EXPECT_EQ(line->force, GetParam().force);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLineCases,
    testing::Values(
        Case{{}, Command::Run, std::nullopt}, Case{{"--quit"}, Command::Quit, std::nullopt},
        Case{{"--help"}, Command::Help, std::nullopt}, Case{{"-h"}, Command::Help, std::nullopt},
        Case{{"--version"}, Command::Version, std::nullopt},
        Case{{"--quiet"}, Command::Run, "unknown argument '--quiet'"},
        Case{{"http://127.0.0.1:1/"}, Command::Run, "unknown argument 'http://127.0.0.1:1/'"},
        Case{{""}, Command::Run, "unknown argument ''"},
        Case{{"--quit", "--help"}, Command::Run, "too many arguments"},
        Case{{"--install-desktop-entry"}, Command::InstallDesktopEntry, std::nullopt},
        Case{{"--install-desktop-entry", "--force"},
             Command::InstallDesktopEntry,
             std::nullopt,
             true},
        Case{{"--install-desktop-entry", "--force", "--force"}, Command::Run, "too many arguments"},
        Case{{"--remove-desktop-entry"}, Command::RemoveDesktopEntry, std::nullopt},
        Case{{"--remove-desktop-entry", "--force"}, Command::Run, "too many arguments"},
        Case{{"--autostart", "on"}, Command::AutostartOn, std::nullopt},
        Case{{"--autostart", "on", "--force"}, Command::AutostartOn, std::nullopt, true},
        Case{{"--autostart", "off"}, Command::AutostartOff, std::nullopt},
        Case{{"--autostart", "off", "--force"}, Command::Run, "too many arguments"},
        Case{{"--autostart"}, Command::Run, "--autostart needs 'on' or 'off'"},
        Case{{"--autostart", "yes"}, Command::Run, "--autostart needs 'on' or 'off', not 'yes'"},
        Case{{"--force"}, Command::Run, "unknown argument '--force'"},
        Case{{"--quit", "--force"}, Command::Run, "too many arguments"}));

TEST(CommandLine, UsageNamesEveryOption) {
  const std::string usage = usageText(kFreedesktop);
  for (const char* option : {"--quit", "--help", "--version", "--install-desktop-entry",
                             "--remove-desktop-entry", "--autostart on|off", "--force"})
    EXPECT_NE(usage.find(option), std::string::npos);
  EXPECT_EQ(usage.back(), '\n');
}

// The desktop's phrases are wrapped below their options, a line at most 84 characters.
TEST(CommandLine, UsageSaysWhatTheCommandsDoOnThisDesktop) {
  EXPECT_EQ(usageText(kFreedesktop),
            "Usage: zolven-launcher [--quit | --help | --version]\n"
            "       zolven-launcher --install-desktop-entry [--force] | --remove-desktop-entry\n"
            "       zolven-launcher --autostart on [--force] | --autostart off\n"
            "\n"
            "Without arguments, starts the bundled runtime and opens its page in the browser;\n"
            "when ZOLVEN already runs, opens the page again instead.\n"
            "\n"
            "  --quit                   ask the running ZOLVEN to quit\n"
            "  --install-desktop-entry  add ZOLVEN to the applications menu (this bundle's entry\n"
            "                           and icons in ~/.local/share); --force replaces the entry\n"
            "                           of another ZOLVEN bundle\n"
            "  --remove-desktop-entry   remove that entry again, if it is this bundle's\n"
            "  --autostart on|off       start ZOLVEN in the tray at login, without opening the\n"
            "                           browser (an entry in ~/.config/autostart), or no more\n"
            "  --help                   show this text\n"
            "  --version                show the version\n");
  const std::string other = usageText({.menuEntry = "add a shortcut", .autostart = "start"});
  EXPECT_NE(other.find("\n  --install-desktop-entry  add a shortcut; --force replaces the entry "
                       "of another\n                           ZOLVEN bundle\n"),
            std::string::npos)
      << other;
  EXPECT_NE(other.find("\n  --autostart on|off       start, or no more\n"), std::string::npos)
      << other;
}

}  // namespace
