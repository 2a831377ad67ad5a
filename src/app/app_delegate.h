#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "log/runtime_log.h"
#include "platform/services.h"
#include "runtime/line_framer.h"
#include "runtime/output_sieve.h"

namespace zolven::app {

// AppDelegate is the launcher. It owns every piece of launcher state and implements
// every operation; the platform only calls it back.
//
// The life of one launch, as the log shows it:
//   launcher.started -> runtime.architecture.selected -> runtime.started
//   -> (the runtime prints its URL) runtime.ready -> browser.open.requested -> outcome
//   -> (the user quits) the runtime is asked to stop -> runtime.exited
//
// Threads: the platform callbacks and every operation run on the main thread, and only
// there are the fields touched. Work that starts on another thread (the runtime's output
// and exit) hops to the main queue holding the delegate weakly. The log is the one
// operation callable from any thread; it serialises itself with `logLock`.
//
// The delegate's methods live beside their subsystem, each in a file named for what it
// is: app_delegate_log.cpp in log/; app_delegate_launch_runtime.cpp,
// app_delegate_consume_output.cpp and app_delegate_runtime_finished.cpp in runtime/;
// app_delegate_open_browser.cpp in browser/; the rest in app/. The subsystems' own types
// (record encoding, the log file, line framing, the ready test, the layout) are beside them.
//
// Names fixed by the launcher's specified behaviour, kept whatever the conventions around
// them: the platform callbacks (applicationDidFinishLaunching and the other application*
// methods), the operations (installQuitMenu, launchRuntime, consumeOutput,
// runtimeFinished, openBrowser, showFailure, log) and the fields runtime, outputBuffer,
// openedURL, zolvenURL, terminating, logLock and launcherLogURL. Inside this class the
// field `runtime` hides the namespace of the same name, which is written in full here.
class AppDelegate final : public platform::ApplicationDelegate,
                          public std::enable_shared_from_this<AppDelegate> {
 public:
  explicit AppDelegate(platform::Services services);
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
  // Frames output here, on the main thread, and acts on each line it completes.
  void consumeOutput(std::string_view chunk);
  // What the reading thread's sieve kept of the output: its candidate lines go through
  // consumeOutput, its drops are noted in their place among them.
  void consumeSiftedOutput(const runtime::SiftedOutput& sifted);
  void runtimeFinished(const std::shared_ptr<platform::Task>& task);
  void openBrowser(const std::string& url, std::string_view reason);
  void showFailure(std::string_view message);

  // The one way in for the delegate's own tests (tests/support/delegate_probe.h), which
  // read its state on the main thread. Nothing in the launcher uses it.
  friend class AppDelegateProbe;

 private:
  platform::Services services;

  std::shared_ptr<platform::Task> runtime;
  // The unfinished last line of what consumeOutput is given. The runtime's own output is
  // framed first on the task's thread (runtime::OutputSieve), which holds its unfinished
  // last line and sends only whole lines on, so this one then stays empty.
  runtime::LineFramer outputBuffer;
  bool openedURL = false;
  std::optional<std::string> zolvenURL;
  bool terminating = false;
  std::mutex logLock;
  std::optional<std::string> launcherLogURL;  // guarded by logLock

  // The runtime's standard error and the launcher's notes on the run, for a person.
  std::string launcherLogFile();  // the event log's path, resolved as `log` does
  // Whether ready URLs are to be recorded only, not opened: read afresh at every call.
  bool browserSuppressed() const;
  std::shared_ptr<log::RuntimeLog> runtimeLog;
  std::optional<std::string> runtimeLogPath;
  bool notedRejectedURL = false;  // once per run
  // One line of the runtime's output, handled in full (browser request included).
  void handleOutputLine(std::string_view line);
  void noteDroppedLine();
};

}  // namespace zolven::app
