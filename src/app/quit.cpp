#include "app/app_delegate.h"

platform::TerminateReply AppDelegate::applicationShouldTerminate() {
  if (!runtime || !runtime->isRunning()) return platform::TerminateReply::Now;

  // Set before the signal, so the exit it causes is never taken for a failure.
  terminating = true;
  runtime->terminate();

  // The wait holds the task and the application, never the delegate.
  std::shared_ptr<platform::Task> task = runtime;
  platform::Application& application = platform.application;
  platform::DispatchQueue& mainQueue = platform.mainQueue;
  platform.globalQueue.async([task = std::move(task), &application, &mainQueue]() mutable {
    task->waitUntilExit();
    task.reset();  // the delegate's reference stays the last one, released on the main thread
    mainQueue.async([&application] { application.replyToApplicationShouldTerminate(true); });
  });
  return platform::TerminateReply::Later;
}
