#include <chrono>
#include <cstdio>
#include <exception>

#include "app/app_delegate.h"
#include "app/command_line.h"
#include "log/log_location.h"
#include "platform/bundle.h"
#include "platform/desktop_integration.h"
#include "platform/process_info.h"
#include "platform/process_state.h"
#include "platform/shell.h"
#include "platform/single_instance.h"
#include "platform/user_places.h"
#include "platform/workspace.h"

using namespace zolven;
using namespace zolven::app;

namespace {

using namespace std::chrono_literals;

// How long a later start waits for a running launcher that is ending: its quit grace
// (the runtime's stop, then the kill of its group) and a margin.
constexpr std::chrono::milliseconds kEndingBound = 15s;

// --quit: hands a quit request to the running launcher, which quits as its Quit item does,
// and returns once it has ended.
int quitRunningLauncher() {
  const std::optional<platform::InstanceOptions> options = platform::currentInstanceOptions();
  if (!options) {
    std::fprintf(stderr, "zolven-launcher: cannot tell which bundle this is\n");
    return 1;
  }
  const platform::InstanceClaim result = platform::claimOrHandOver(
      *options, platform::InstanceRequest{.kind = platform::InstanceRequestKind::Quit},
      platform::HandOverEnd::WaitForTheEnd, kEndingBound);
  switch (result.outcome) {
    case platform::InstanceClaim::Outcome::Claimed:
      // The claim is given up again on the way out.
      if (!result.handedOver) std::printf("ZOLVEN is not running.\n");
      return 0;
    case platform::InstanceClaim::Outcome::Failed:
      std::fprintf(stderr, "zolven-launcher: %s\n", result.error.c_str());
      return 1;
    case platform::InstanceClaim::Outcome::AnotherRuns:
      break;
  }
  if (result.handedOver)
    std::fprintf(stderr, "zolven-launcher: ZOLVEN was asked to quit but is still running: %s\n",
                 result.error.c_str());
  else
    std::fprintf(stderr, "zolven-launcher: ZOLVEN is running but did not answer: %s\n",
                 result.error.c_str());
  return 1;
}

// What one of the commands that put this bundle into the user's menu and login session
// did on `desktop`.
platform::Result<std::string> runDesktopCommand(platform::DesktopIntegration& desktop,
                                                const CommandLine& commandLine) {
  const platform::ExistingEntry existing = commandLine.force
                                               ? platform::ExistingEntry::ReplaceForeign
                                               : platform::ExistingEntry::KeepForeign;
  switch (commandLine.command) {
    case Command::InstallDesktopEntry:
      return desktop.installMenuEntry(existing);
    case Command::RemoveDesktopEntry:
      return desktop.removeMenuEntry();
    case Command::AutostartOn:
      return desktop.enableAutostart(existing);
    case Command::AutostartOff:
      return desktop.disableAutostart();
    default:
      return platform::Error{"not a desktop command"};
  }
}

// Runs that command for this process's user and bundle, and tells what it did on standard
// output, or why not on standard error; returns the process status.
int runDesktopCommand(const CommandLine& commandLine, const platform::Bundle& bundle,
                      const platform::ProcessInfo& process) {
  const platform::Result<std::unique_ptr<platform::DesktopIntegration>> integration =
      platform::currentDesktopIntegration(bundle, process);
  if (!integration) {
    std::fprintf(stderr, "zolven-launcher: %s\n", integration.error().message.c_str());
    return 1;
  }
  const platform::Result<std::string> done = runDesktopCommand(**integration, commandLine);
  if (!done) {
    std::fprintf(stderr, "zolven-launcher: %s\n", done.error().message.c_str());
    return 1;
  }
  std::fputs(done->c_str(), stdout);
  return 0;
}

}  // namespace

static int launch(int argc, char** argv) {
  platform::prepareProcessState();
  const platform::Result<CommandLine> parsed =
      parseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  if (!parsed) {
    std::fprintf(stderr, "zolven-launcher: %s\n%s", parsed.error().message.c_str(),
                 usageText(platform::desktopIntegrationHelp()).c_str());
    return 2;
  }
  const CommandLine& commandLine = *parsed;
  switch (commandLine.command) {
    case Command::Help: {
      // The places a run would use, from the same environment and rules.
      const std::unique_ptr<platform::ProcessInfo> process = platform::currentProcessInfo();
      const platform::UserPlaces places =
          platform::userPlaces(process->environment(), process->homeDirectory());
      const std::string logFile = log::resolveLogFile(process->environment(), places.stateFolder,
                                                      process->currentDirectory());
      const std::string runtimeLog =
          log::runtimeLogFile(logFile, platform::runningBundle()->instanceKey());
      std::printf("%s%s", usageText(platform::desktopIntegrationHelp()).c_str(),
                  logPlacesText(logFile, runtimeLog).c_str());
      return 0;
    }
    case Command::Version:
      std::printf("zolven-launcher %s\n", ZOLVEN_VERSION);
      return 0;
    case Command::Quit:
      return quitRunningLauncher();
    case Command::InstallDesktopEntry:
    case Command::RemoveDesktopEntry:
    case Command::AutostartOn:
    case Command::AutostartOff:
      return runDesktopCommand(commandLine, *platform::runningBundle(),
                               *platform::currentProcessInfo());
    case Command::Run:
      break;
  }

  // One launcher per bundle and user: a later start asks the running one to reopen, or,
  // when that one is ending, waits for it to end and runs the app itself.
  std::unique_ptr<platform::SingleInstance> claim;
  if (const std::optional<platform::InstanceOptions> options = platform::currentInstanceOptions()) {
    for (const std::string& reason : options->passedOver)
      std::fprintf(stderr, "zolven-launcher: not using %s\n", reason.c_str());
    platform::InstanceRequest reopen{.kind = platform::InstanceRequestKind::Reopen};
    // The desktop's token for this start lets the running launcher raise the browser. One
    // that cannot travel in a request line is left behind rather than failing the reopen.
    std::optional<std::string> token = platform::takeActivationToken();
    if (token && platform::isActivationToken(*token)) reopen.activationToken = token;
    platform::InstanceClaim result = platform::claimOrHandOver(
        *options, reopen, platform::HandOverEnd::OnceTaken, kEndingBound, [] {
          std::fprintf(stderr,
                       "zolven-launcher: the running ZOLVEN is ending; starting anew "
                       "once it has\n");
        });
    if (result.outcome == platform::InstanceClaim::Outcome::AnotherRuns) {
      if (result.handedOver) {
        // The running launcher reopens; no trace in the log. Without a display nothing
        // opens here, so the URL it told is printed, as the running one printed it.
        if (!platform::hasDisplay() && result.url) std::printf("%s\n", result.url->c_str());
        return 0;
      }
      std::fprintf(stderr, "zolven-launcher: ZOLVEN is already running but did not answer: %s\n",
                   result.error.c_str());
      return 1;
    }
    if (result.outcome == platform::InstanceClaim::Outcome::Failed)
      std::fprintf(stderr, "zolven-launcher: cannot make sure only one ZOLVEN runs: %s\n",
                   result.error.c_str());
    // The desktop's token is this process's own again when it runs the app.
    if (token) platform::restoreActivationToken(*token);
    claim = std::move(result.instance);
  }

  platform::Result<std::unique_ptr<platform::Shell>> made = platform::makeDesktopShell(argc, argv);
  if (!made) {
    std::fprintf(stderr, "zolven-launcher: %s\n", made.error().message.c_str());
    return 1;
  }
  const std::unique_ptr<platform::Shell> shell = std::move(*made);
  platform::Application& application = shell->services().application;

  // The application does not own its delegate: this reference keeps it alive.
  const auto delegate = std::make_shared<AppDelegate>(shell->services());

  application.setActivationPolicy(platform::ActivationPolicy::Accessory);
  application.setDelegate(delegate);
  if (claim) shell->answerInstanceRequests(std::move(claim));
  return application.run();
}

// Nothing is meant to throw this far; should something, it is told, not left to abort.
int main(int argc, char** argv) {
  try {
    return launch(argc, argv);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "zolven-launcher: %s\n", failure.what());
  } catch (...) {
    std::fprintf(stderr, "zolven-launcher: an unexpected failure\n");
  }
  return 1;
}
