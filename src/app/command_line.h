#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zolven::app {

// The launcher's command line, kept to what a desktop needs: no arguments to run, --quit
// for the desktop entry's Quit action, --help and --version, and the commands that put
// this bundle into the user's menu and login session (see platform/freedesktop/desktop_entry.h).
enum class Command {
  Run,
  Quit,
  Help,
  Version,
  InstallDesktopEntry,
  RemoveDesktopEntry,
  AutostartOn,
  AutostartOff,
};

struct CommandLine {
  Command command = Command::Run;
  // --force, for the commands that write an entry: replace one of another bundle.
  bool force = false;
  std::optional<std::string> error;  // set for arguments that are not understood
};

// Reads the arguments after the program name.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The usage text, ending with a line feed.
std::string usageText();

// Where this start would log, for --help: the folder, the launcher's event log and this
// bundle's runtime log. Ends with a line feed.
std::string logPlacesText(std::string_view launcherLog, std::string_view runtimeLog);

}  // namespace zolven::app
