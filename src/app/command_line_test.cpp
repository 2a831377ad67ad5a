#include "app/command_line.h"

#include <gtest/gtest.h>

using namespace zolven;
using namespace zolven::app;

namespace {

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
  const CommandLine line = parseCommandLine(GetParam().arguments);
  EXPECT_EQ(line.error, GetParam().error);
  if (!GetParam().error) {
    EXPECT_EQ(line.command, GetParam().command);
    EXPECT_EQ(line.force, GetParam().force);
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
  const std::string usage = usageText();
  for (const char* option : {"--quit", "--help", "--version", "--install-desktop-entry",
                             "--remove-desktop-entry", "--autostart on|off", "--force"})
    EXPECT_NE(usage.find(option), std::string::npos);
  EXPECT_EQ(usage.back(), '\n');
}

}  // namespace
