#include <cstdio>

#include "app/app_delegate.h"
#include "app/command_line.h"
#include "app/desktop_entry.h"
#include "platform/shell.h"
#include "platform/single_instance.h"
#include "platform/workspace_desktop.h"

namespace {

// Hands this start to the launcher of the same bundle that already runs. Returns true when
// it accepted the reopen; this process then ends without a trace in the log.
bool handOver(const platform::InstanceOptions& options, std::string& error) {
  platform::InstanceRequest request{.kind = platform::InstanceRequestKind::Reopen};
  // The desktop's token for this start lets the running launcher raise the browser. One
  // that cannot travel in a request line is left behind rather than failing the reopen.
  std::optional<std::string> token = platform::DesktopWorkspace::takeLaunchTokenFromEnvironment();
  if (token && platform::isActivationToken(*token)) request.activationToken = std::move(token);
  if (auto failure = platform::sendInstanceRequest(options, request)) {
    error = *failure;
    return false;
  }
  return true;
}

// --quit: hands a quit request to the running launcher, which quits as its Quit item does.
int quitRunningLauncher() {
  const std::optional<platform::InstanceOptions> options = platform::currentInstanceOptions();
  if (!options) {
    std::fprintf(stderr, "zolven-launcher: cannot tell which bundle this is\n");
    return 1;
  }
  platform::InstanceClaim probe = platform::claimInstance(*options);
  if (probe.outcome == platform::InstanceClaim::Outcome::Claimed) {
    std::printf("ZOLVEN is not running.\n");
    return 0;  // the claim is given up again on the way out
  }
  if (probe.outcome == platform::InstanceClaim::Outcome::Failed) {
    std::fprintf(stderr, "zolven-launcher: %s\n", probe.error.c_str());
    return 1;
  }
  if (auto error = platform::sendInstanceRequest(
          *options, platform::InstanceRequest{.kind = platform::InstanceRequestKind::Quit})) {
    std::fprintf(stderr, "zolven-launcher: ZOLVEN is running but did not answer: %s\n",
                 error->c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine commandLine =
      parseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  if (commandLine.error) {
    std::fprintf(stderr, "zolven-launcher: %s\n%s", commandLine.error->c_str(),
                 usageText().c_str());
    return 2;
  }
  switch (commandLine.command) {
    case Command::Help:
      std::printf("%s", usageText().c_str());
      return 0;
    case Command::Version:
      std::printf("zolven-launcher %s\n", ZOLVEN_VERSION);
      return 0;
    case Command::Quit:
      return quitRunningLauncher();
    case Command::InstallDesktopEntry:
    case Command::RemoveDesktopEntry:
    case Command::AutostartOn:
    case Command::AutostartOff:
      return runDesktopEntryCommand(commandLine);
    case Command::Run:
      break;
  }

  // One launcher per bundle and user: a later start asks the running one to reopen.
  std::unique_ptr<platform::SingleInstance> claim;
  if (const std::optional<platform::InstanceOptions> options = platform::currentInstanceOptions()) {
    platform::InstanceClaim result = platform::claimInstance(*options);
    if (result.outcome == platform::InstanceClaim::Outcome::AnotherRuns) {
      std::string error;
      if (handOver(*options, error)) return 0;
      // The running launcher may have been ending; if so, take its place.
      result = platform::claimInstance(*options);
      if (result.outcome == platform::InstanceClaim::Outcome::AnotherRuns) {
        std::fprintf(stderr, "zolven-launcher: ZOLVEN is already running but did not answer: %s\n",
                     error.c_str());
        return 1;
      }
    }
    if (result.outcome == platform::InstanceClaim::Outcome::Failed)
      std::fprintf(stderr, "zolven-launcher: cannot make sure only one ZOLVEN runs: %s\n",
                   result.error.c_str());
    claim = std::move(result.instance);
  }

  const std::unique_ptr<platform::Shell> shell = platform::makeDesktopShell(argc, argv);
  platform::Application& application = shell->services().application;

  // The application does not own its delegate: this reference keeps it alive.
  const auto delegate = std::make_shared<AppDelegate>(shell->services());

  application.setActivationPolicy(platform::ActivationPolicy::Accessory);
  application.setDelegate(delegate);
  if (claim) shell->answerInstanceRequests(std::move(claim));
  return application.run();
}
