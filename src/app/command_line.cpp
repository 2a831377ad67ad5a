#include "app/command_line.h"

namespace zolven::app {

namespace {

// Commands that write an entry take --force after them.
bool takesForce(Command command) {
  return command == Command::InstallDesktopEntry || command == Command::AutostartOn;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return {};
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
    if (arguments.size() < 2) return {.error = "--autostart needs 'on' or 'off'"};
    const std::string& value = arguments[1];
    if (value == "on") {
      line.command = Command::AutostartOn;
    } else if (value == "off") {
      line.command = Command::AutostartOff;
    } else {
      return {.error = "--autostart needs 'on' or 'off', not '" + value + "'"};
    }
    used = 2;
  } else {
    return {.error = "unknown argument '" + argument + "'"};
  }
  if (used < arguments.size() && arguments[used] == "--force" && takesForce(line.command)) {
    line.force = true;
    ++used;
  }
  if (used < arguments.size()) return {.error = "too many arguments"};
  return line;
}

std::string usageText() {
  return "Usage: zolven-launcher [--quit | --help | --version]\n"
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
         "  --version                show the version\n";
}

std::string logPlacesText(std::string_view launcherLog, std::string_view runtimeLog) {
  const size_t slash = launcherLog.rfind('/');
  const std::string_view folder =
      slash == std::string_view::npos ? "." : launcherLog.substr(0, slash);
  std::string text = "\nLogs (what went wrong is told there):\n";
  text += "  folder        " + std::string(folder.empty() ? "/" : folder) + "\n";
  text += "  launcher log  " + std::string(launcherLog) + "\n";
  text += "  runtime log   " + std::string(runtimeLog) + " (the app's own error output)\n";
  return text;
}

}  // namespace zolven::app
