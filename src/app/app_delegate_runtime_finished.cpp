#include "app/app_delegate.h"

namespace zolven::app {

void AppDelegate::runtimeFinished(const std::shared_ptr<platform::Task>& task) {
  const platform::ExitStatus status = task->terminationStatus();
  log("runtime.exited", std::nullopt, "status=" + status.text());
  if (terminating) return;  // the quit that asked for this exit completes on its own
  if (openedURL && status.succeeded()) {
    services.application.terminate();
    return;
  }
  showFailure("ZOLVEN could not start.");
}

}  // namespace zolven::app
