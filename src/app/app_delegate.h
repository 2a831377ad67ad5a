#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "log/runtime_log.h"
#include "platform/services.h"
#include "runtime/line_framer.h"

// AppDelegate is the launcher. It owns every piece of launcher state and implements
// every operation; the platform only calls it back.
//
// The life of one launch, as the log shows it:
//   launcher.started -> runtime.architecture.selected -> runtime.started
//   -> (the runtime prints its URL) runtime.ready -> browser.open.requested -> outcome
//   -> (the user quits) the runtime gets SIGTERM -> runtime.exited
//
// Threads: the platform callbacks and every operation run on the main thread, and only
// there are the fields touched. Work that starts on another thread (the runtime's output
// and exit) hops to the main queue holding the delegate weakly. The log is the one
// operation callable from any thread; it serialises itself with `logLock`.
//
// The operations live beside their subsystem: log in log/, launchRuntime,
// consumeOutput and runtimeFinished in runtime/, openBrowser in browser/, the rest in app/.
class AppDelegate final : public platform::ApplicationDelegate,
                          public std::enable_shared_from_this<AppDelegate> {
 public:
  explicit AppDelegate(platform::Services platform);
  ~AppDelegate() override;

  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // Platform callbacks.
  void applicationDidFinishLaunching() override;
  bool applicationShouldHandleReopen(bool hasVisibleWindows) override;
  bool applicationShouldTerminateAfterLastWindowClosed() override;
  platform::TerminateReply applicationShouldTerminate() override;

  // Appends one record to the launcher log. Any thread; never fails towards the caller.
  void log(std::string_view event, std::optional<std::string_view> url = std::nullopt,
           std::optional<std::string_view> detail = std::nullopt);

  void installQuitMenu();
  void launchRuntime();
  void consumeOutput(std::string_view chunk);
  void runtimeFinished(const std::shared_ptr<platform::Task>& task);
  void openBrowser(const std::string& url, std::string_view reason);
  void showFailure(std::string_view message);

  // Read-only views for tests and diagnostics; main thread only.
  const std::shared_ptr<platform::Task>& runtimeTask() const { return runtime; }
  const std::string& bufferedOutput() const { return outputBuffer.pending(); }
  bool hasOpenedURL() const { return openedURL; }
  const std::optional<std::string>& readyURL() const { return zolvenURL; }
  bool isTerminating() const { return terminating; }
  std::optional<std::string> logFileLocation();
  // The runtime log's path, once the launch has made it.
  std::optional<std::string> runtimeLogLocation() const { return runtimeLogPath; }

 private:
  platform::Services platform;

  std::shared_ptr<platform::Task> runtime;
  supervisor::LineFramer outputBuffer;  // the unfinished last line of the runtime's output
  bool openedURL = false;
  std::optional<std::string> zolvenURL;
  bool terminating = false;
  std::mutex logLock;
  std::optional<std::string> launcherLogURL;  // guarded by logLock

  // The runtime's standard error and the launcher's notes on the run, for a person.
  std::string launcherLogFile();  // the event log's path, resolved as `log` does
  std::shared_ptr<eventlog::RuntimeLog> runtimeLog;
  std::optional<std::string> runtimeLogPath;
  bool notedRejectedURL = false;  // once per run
};
