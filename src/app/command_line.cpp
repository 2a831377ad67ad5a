#include "app/command_line.h"

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return {};
  if (arguments.size() > 1) return {.error = "too many arguments"};
  const std::string& argument = arguments.front();
  if (argument == "--quit") return {.command = Command::Quit};
  if (argument == "--help" || argument == "-h") return {.command = Command::Help};
  if (argument == "--version") return {.command = Command::Version};
  return {.error = "unknown argument '" + argument + "'"};
}

std::string usageText() {
  return "Usage: zolven-launcher [--quit | --help | --version]\n"
         "\n"
         "Without arguments, starts the bundled runtime and opens its page in the browser;\n"
         "when ZOLVEN already runs, opens the page again instead.\n"
         "\n"
         "  --quit     ask the running ZOLVEN to quit\n"
         "  --help     show this text\n"
         "  --version  show the version\n";
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
