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
