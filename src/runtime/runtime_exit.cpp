#include "app/app_delegate.h"

void AppDelegate::runtimeFinished(const std::shared_ptr<platform::Task>& task) {
  log("runtime.exited", std::nullopt, "status=" + std::to_string(task->terminationStatus()));
  if (terminating) return;  // the quit that asked for this exit completes on its own
  if (openedURL && task->terminationStatus() == 0) {
    platform.application.terminate();
    return;
  }
  showFailure("ZOLVEN could not start.");
}
