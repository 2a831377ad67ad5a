#include "runtime/runtime_decisions.h"

namespace zolven::runtime {

std::optional<std::string> firstMissingFile(const RuntimeLayout& layout,
                                            const std::function<bool(const std::string&)>& exists) {
  for (const std::string& required : layout.requiredFiles())
    if (!exists(required)) return required;
  return std::nullopt;
}

platform::TaskOptions runtimeTaskOptions(const RuntimeLayout& layout,
                                         const platform::Environment& launcher,
                                         const platform::ProgramConventions& conventions) {
  return platform::TaskOptions{
      .executable = layout.nodeExecutable,
      .arguments = {layout.entryScript},
      .currentDirectory = layout.appDirectory,
      .environment = childEnvironment(launcher, layout, conventions),
      // The runtime's helpers never outlive it: the launcher ends with the runtime.
      .leftovers = platform::Leftovers::EndWithTheChild,
      .familyMark = runtimeFamilyMark(layout),
  };
}

bool browserSuppressed(const platform::Environment& launcher) {
  return launcher.get("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER") == "1";
}

ExitOutcome judgeExit(const platform::ExitStatus& status, bool openedURL, bool terminating) {
  if (terminating) return ExitOutcome::QuitUnderWay;
  if (openedURL && status.succeeded()) return ExitOutcome::Quit;
  return ExitOutcome::Failure;
}

}  // namespace zolven::runtime
