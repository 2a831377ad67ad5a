#include "app/app_delegate.h"
#include "log/log_location.h"
#include "platform/bundle.h"
#include "platform/files.h"
#include "runtime/output_flow.h"
#include "runtime/output_sieve.h"
#include "runtime/runtime_decisions.h"
#include "runtime/runtime_layout.h"

namespace zolven::app {

namespace {
// Sifted chunks of output handed to the main queue and not yet handled; the reader waits
// beyond.
constexpr size_t kChunksInFlight = 4;
}  // namespace

void AppDelegate::launchRuntime() {
  const std::optional<std::string> resources = services.bundle.resourceDirectory();
  if (!resources) {
    showFailure("Application resources could not be located.");
    return;
  }

  const std::string_view architecture = runtime::hostArchitecture();
  const runtime::RuntimeLayout layout = runtime::resolveRuntimeLayout(
      *resources, architecture, services.programs, platform::fileExists);
  log("runtime.architecture.selected", std::nullopt, architecture);

  if (runtime::firstMissingFile(layout, platform::fileExists)) {
    showFailure("A required runtime resource is missing.");
    return;
  }

  // The runtime's standard error goes to a log of this bundle's own, keyed as its
  // instance claim is, and on to the launcher's standard error.
  runtimeLogPath = log::runtimeLogFile(launcherLogFile(), services.bundle.instanceKey());
  runtimeLog = std::make_shared<log::RuntimeLog>(
      log::RuntimeLog::Options{.file = *runtimeLogPath, .passOn = platform::standardErrorStream()});
  const std::string paths = "node=" + layout.nodeExecutable + " entry=" + layout.entryScript;

  std::shared_ptr<platform::Task> task = services.tasks.makeTask(
      runtime::runtimeTaskOptions(layout, services.processInfo.environment(), services.programs));

  // Both handlers run on the task's thread: they only hop to the main queue, holding
  // the delegate weakly so that a late callback after the delegate is gone does nothing.
  // The output is framed there first, by a sieve that only that thread touches: only the
  // lines the delegate could act on, and the drops it notes, travel on; a chunk with
  // neither costs the main thread nothing.
  platform::DispatchQueue& mainQueue = services.mainQueue;
  auto flow = std::make_shared<runtime::OutputFlow>(kChunksInFlight);
  auto sieve = std::make_shared<runtime::OutputSieve>();
  task->setOutputHandler(
      [weakSelf = weak_from_this(), &mainQueue, flow, sieve](std::string_view chunk) {
        if (chunk.empty()) return;  // end of file
        runtime::SiftedOutput sifted;
        sieve->append(chunk, sifted);
        if (sifted.empty()) return;
        std::shared_ptr<void> permit = flow->acquire();
        mainQueue.async([weakSelf, permit = std::move(permit), sifted = std::move(sifted)] {
          if (auto self = weakSelf.lock()) self->consumeSiftedOutput(sifted);
        });
      });
  task->setErrorOutputHandler(
      [runtimeLog = runtimeLog](std::string_view chunk) { runtimeLog->appendOutput(chunk); });
  task->setTerminationHandler(
      [weakSelf = weak_from_this(), &mainQueue](const std::shared_ptr<platform::Task>& ended) {
        mainQueue.async([weakSelf, ended] {
          if (auto self = weakSelf.lock()) self->runtimeFinished(ended);
        });
      });

  runtime = task;
  if (const platform::Result<void> launched = task->launch(); !launched) {
    const std::string& error = launched.error().message;
    runtime.reset();
    task->setOutputHandler(nullptr);
    runtimeLog->beginRun("the runtime could not be started: " + error + "; " + paths);
    log("runtime.start.failed", std::nullopt, error);
    showFailure("The local runtime could not be launched.");
    return;
  }
  const std::string pid = "pid=" + std::to_string(task->processIdentifier());
  runtimeLog->beginRun("runtime started: " + pid + " " + paths);
  log("runtime.started", std::nullopt, pid);

  // While the runtime starts, the desktop gets ready to open its URL, which is an http
  // one, unless nothing is to be opened.
  if (!browserSuppressed()) services.workspace.prepareToOpen("http");
}

}  // namespace zolven::app
