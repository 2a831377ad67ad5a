#include "app/app_delegate.h"

namespace zolven::app {

namespace {
// How long a runtime may take to stop after it is asked to before it and whatever it
// started are stopped for good. Long enough for a server to finish its requests and flush
// what it holds.
constexpr std::chrono::seconds kStopGrace{10};
}  // namespace

platform::TerminateReply AppDelegate::applicationShouldTerminate() {
  if (!runtime || !runtime->isRunning()) return platform::TerminateReply::Now;

  // Set before the request, so the exit it causes is never taken for a failure.
  terminating = true;
  runtime->terminate();

  // The wait holds the task and the application, never the delegate.
  std::shared_ptr<platform::Task> task = runtime;
  platform::Application& application = services.application;
  platform::DispatchQueue& mainQueue = services.mainQueue;
  services.globalQueue.async([task = std::move(task), &application, &mainQueue,
                              runtimeLog = runtimeLog]() mutable {
    if (!task->waitUntilExit(kStopGrace)) {
      if (runtimeLog)
        runtimeLog->note("the runtime did not exit within " + std::to_string(kStopGrace.count()) +
                         " s of SIGTERM: its process group is killed");
      task->stopForGood();
      task->waitUntilExit();
    }
    // The task reports the exit to its termination handler before it wakes this wait, so
    // runtimeFinished is queued ahead of the reply and "runtime.exited" is logged first.
    task.reset();  // the delegate's reference stays the last one, released on the main thread
    mainQueue.async([&application] { application.replyToApplicationShouldTerminate(true); });
  });
  return platform::TerminateReply::Later;
}

}  // namespace zolven::app
