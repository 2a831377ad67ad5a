#pragma once

// The runtime's decisions that need nothing but their inputs: what the task is given for a
// layout, what is missing before a launch, whether the browser stays closed, and what a
// runtime's exit means.

#include <functional>
#include <optional>
#include <string>

#include "platform/environment.h"
#include "platform/exit_status.h"
#include "platform/task.h"
#include "runtime/runtime_layout.h"

namespace zolven::runtime {

// The first file a launch needs that is not there, in the order they are checked.
std::optional<std::string> firstMissingFile(const RuntimeLayout& layout,
                                            const std::function<bool(const std::string&)>& exists);

// The runtime's task: node with the entry script, in the app directory, with the runtime's
// environment made from the launcher's; whatever it leaves behind ends with it.
platform::TaskOptions runtimeTaskOptions(const RuntimeLayout& layout,
                                         const platform::Environment& launcher,
                                         const platform::ProgramConventions& conventions);

// Whether the launcher's environment keeps the browser closed at a ready line: only the
// exact value "1" of ZOLVEN_LAUNCHER_SUPPRESS_BROWSER does.
bool browserSuppressed(const platform::Environment& launcher);

// What follows a runtime's exit.
enum class ExitOutcome {
  QuitUnderWay,  // a quit asked for it: that quit completes on its own
  Quit,          // served and ended cleanly: the launcher quits quietly
  Failure,       // never ready, or ended badly: the failure alert
};
ExitOutcome judgeExit(const platform::ExitStatus& status, bool openedURL, bool terminating);

}  // namespace zolven::runtime
