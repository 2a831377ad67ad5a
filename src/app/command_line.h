#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop_integration.h"
#include "platform/result.h"

namespace zolven::app {

// The launcher's command line, kept to what a desktop needs: no arguments to run, --quit
// for the desktop entry's Quit action, --help and --version, and the commands that put
// this bundle into the user's menu and login session (platform::DesktopIntegration).
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
};

// Reads the arguments after the program name; the error names what is not understood.
platform::Result<CommandLine> parseCommandLine(const std::vector<std::string>& arguments);

// The usage text, with what the menu and login commands do on this desktop; ends with a
// line feed.
std::string usageText(const platform::DesktopIntegrationHelp& desktop);

// Where this start would log, for --help: the folder, the launcher's event log and this
// bundle's runtime log. Ends with a line feed.
std::string logPlacesText(std::string_view launcherLog, std::string_view runtimeLog);

}  // namespace zolven::app
