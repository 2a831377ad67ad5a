#include "app/command_line.h"

#include <sstream>

#include "platform/path.h"

namespace zolven::app {

namespace {

// Commands that write an entry take --force after them.
bool takesForce(Command command) {
  return command == Command::InstallDesktopEntry || command == Command::AutostartOn;
}

// Where an option's description starts, and the longest line it may make.
constexpr size_t kDescriptionColumn = 27;
constexpr size_t kLineWidth = 84;

// An option's line of the usage text, its description wrapped below itself.
std::string optionText(std::string_view option, const std::string& description) {
  std::string text = "  " + std::string(option);
  text.resize(kDescriptionColumn, ' ');
  size_t lineStart = 0;
  bool firstWord = true;
  std::istringstream words(description);
  for (std::string word; words >> word;) {
    if (!firstWord && text.size() - lineStart + 1 + word.size() > kLineWidth) {
      text += "\n";
      lineStart = text.size();
      text.append(kDescriptionColumn, ' ');
    } else if (!firstWord) {
      text += ' ';
    }
    text += word;
    firstWord = false;
  }
  return text + "\n";
}

}  // namespace

platform::Result<CommandLine> parseCommandLine(const std::vector<std::string>& arguments) {
  using platform::Error;
  if (arguments.empty()) return CommandLine{};
  const std::string& argument = arguments.front();
  CommandLine line;
  size_t used = 1;
  if (argument == "--quit") {
    line.command = Command::Quit;
  } else if (argument == "--help" || argument == "-h") {
    line.command = Command::Help;
  } else if (argument == "--version") {
    line.command = Command::Version;
  } else if (argument == "--install-desktop-entry") {
    line.command = Command::InstallDesktopEntry;
  } else if (argument == "--remove-desktop-entry") {
    line.command = Command::RemoveDesktopEntry;
  } else if (argument == "--autostart") {
    if (arguments.size() < 2) return Error{"--autostart needs 'on' or 'off'"};
    const std::string& value = arguments[1];
    if (value == "on") {
      line.command = Command::AutostartOn;
    } else if (value == "off") {
      line.command = Command::AutostartOff;
    } else {
      return Error{"--autostart needs 'on' or 'off', not '" + value + "'"};
    }
    used = 2;
  } else {
    return Error{"unknown argument '" + argument + "'"};
  }
  if (used < arguments.size() && arguments[used] == "--force" && takesForce(line.command)) {
    line.force = true;
    ++used;
  }
  if (used < arguments.size()) return Error{"too many arguments"};
  return line;
}

std::string usageText(const platform::DesktopIntegrationHelp& desktop) {
  return "Usage: zolven-launcher [--quit | --help | --version]\n"
         "       zolven-launcher --install-desktop-entry [--force] | --remove-desktop-entry\n"
         "       zolven-launcher --autostart on [--force] | --autostart off\n"
         "\n"
         "Without arguments, starts the bundled runtime and opens its page in the browser;\n"
         "when ZOLVEN already runs, opens the page again instead.\n"
         "\n"
         "  --quit                   ask the running ZOLVEN to quit\n" +
         optionText("--install-desktop-entry",
                    desktop.menuEntry + "; --force replaces the entry of another ZOLVEN bundle") +
         optionText("--remove-desktop-entry", "remove that entry again, if it is this bundle's") +
         optionText("--autostart on|off", desktop.autostart + ", or no more") +
         "  --help                   show this text\n"
         "  --version                show the version\n";
}

std::string logPlacesText(std::string_view launcherLog, std::string_view runtimeLog) {
  std::string text = "\nLogs (what went wrong is told there):\n";
  text += "  folder        " + platform::folderOfPath(launcherLog) + "\n";
  text += "  launcher log  " + std::string(launcherLog) + "\n";
  text += "  runtime log   " + std::string(runtimeLog) + " (the app's own error output)\n";
  return text;
}

}  // namespace zolven::app
