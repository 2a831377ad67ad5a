#include "app/app_delegate.h"
#include "runtime/runtime_decisions.h"

namespace zolven::app {

void AppDelegate::runtimeFinished(const std::shared_ptr<platform::Task>& task) {
  const platform::ExitStatus status = task->terminationStatus();
  log("runtime.exited", std::nullopt, "status=" + status.text());
  switch (runtime::judgeExit(status, openedURL, terminating)) {
    case runtime::ExitOutcome::QuitUnderWay:
      return;  // the quit that asked for this exit completes on its own
    case runtime::ExitOutcome::Quit:
      services.application.terminate();
      return;
    case runtime::ExitOutcome::Failure:
      showFailure("ZOLVEN could not start.");
      return;
  }
}

}  // namespace zolven::app
