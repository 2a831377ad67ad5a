#pragma once

// Fakes of the platform seams, for tests of the launcher's logic without a desktop or
// real child processes.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/posix/worker_queue.h"
#include "platform/services.h"

namespace zolven::platform::fake {

class FakeApplication final : public Application {
 public:
  void setActivationPolicy(ActivationPolicy policy) override { activationPolicy = policy; }
  void setDelegate(std::weak_ptr<ApplicationDelegate> d) override { delegate = std::move(d); }
  void setMainMenu(const Menu& menu) override { mainMenu = menu; }
  int run() override;
  // Consults the delegate as the real application does and records the answer.
  void terminate(TerminationCause cause) override;
  void replyToApplicationShouldTerminate(bool shouldTerminate) override;
  void announceURL(const std::string& url) override { announced.push_back(url); }

  std::optional<ActivationPolicy> activationPolicy;
  std::weak_ptr<ApplicationDelegate> delegate;
  std::optional<Menu> mainMenu;
  std::vector<TerminateReply> terminateReplies;
  std::vector<bool> replies;
  std::function<void()> onReply;  // runs inside each reply, before the application ends
  std::vector<std::string> announced;
  bool ended = false;
  int exitStatus = 0;
};

// The main queue: work piles up until the test runs it on its own thread.
class FakeMainQueue final : public DispatchQueue {
 public:
  void async(std::function<void()> work) override;
  // Runs queued items, in order, until the queue is empty; returns how many ran.
  int runPending();
  // Runs items as they arrive until `done` holds or the deadline passes.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds deadline = std::chrono::seconds(10));
  // The most items that were ever waiting at once.
  size_t mostQueued();
  // How many items have run so far.
  size_t ran();

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::function<void()>> items_;
  size_t mostQueued_ = 0;
  size_t ran_ = 0;
};

class FakeAlerts final : public AlertPresenter {
 public:
  void runModal(const Alert& alert) override { shown.push_back(alert); }
  std::vector<Alert> shown;
};

class FakeBundle final : public Bundle {
 public:
  std::optional<std::string> resourceDirectory() const override { return resources; }
  std::optional<std::string> executablePath() const override { return executable; }
  std::string instanceKey() const override { return key; }
  std::optional<std::string> resources;
  std::optional<std::string> executable = "/nonexistent-bundle/zolven-launcher";
  std::string key = "00fa4e0b0d1e0000";
};

class FakeProcessInfo final : public ProcessInfo {
 public:
  Environment environment() const override { return env; }
  std::string homeDirectory() const override { return home; }
  std::string currentDirectory() const override { return cwd; }
  std::optional<std::string> accountHomeDirectory() const override { return accountHome; }
  Environment env;
  std::string home = "/nonexistent-home";
  std::string cwd = "/";
  std::optional<std::string> accountHome = "/nonexistent-home";
};

// Records every open and every preparation; the test runs a request's completion itself, on a
// thread of its choosing, as the real workspace does on one of its own.
class FakeWorkspace final : public Workspace {
 public:
  struct Request {
    std::string url;
    OpenConfiguration configuration;
    OpenCompletion completion;
  };
  void openURL(const std::string& url, const OpenConfiguration& configuration,
               OpenCompletion completion) override {
    requests.push_back({url, configuration, std::move(completion)});
  }
  void prepareToOpen(const std::string& scheme) override {
    if (onPrepare) onPrepare();
    prepared.push_back(scheme);
  }
  std::vector<Request> requests;
  std::vector<std::string> prepared;  // the scheme of each prepareToOpen, in order
  std::function<void()> onPrepare;    // runs inside prepareToOpen, before it returns
};

// A child task driven by the test: exit() and output() call the handlers the launcher
// installed, on the test's thread, as the real task does on its own.
class FakeTask final : public Task, public std::enable_shared_from_this<FakeTask> {
 public:
  explicit FakeTask(TaskOptions options) : options(std::move(options)) {}

  void setOutputHandler(OutputHandler handler) override;
  void setTerminationHandler(TerminationHandler handler) override;
  void setErrorOutputHandler(OutputHandler handler) override;
  Result<void> launch() override;
  int processIdentifier() const override { return 4242; }
  bool isRunning() const override;
  void terminate() override;
  void stopForGood() override;
  void waitUntilExit() override;
  bool waitUntilExit(std::chrono::milliseconds timeout) override;
  ExitStatus terminationStatus() const override;

  void output(std::string_view chunk);
  void errorOutput(std::string_view chunk);
  void exit(int code);  // exited with `code`
  void exit(ExitStatus status);

  const TaskOptions options;
  std::optional<std::string> launchError;  // what launch() will report
  bool launched = false;
  int terminateCalls = 0;
  int killCalls = 0;
  bool outputHandlerSet = false;
  std::function<void()> onTerminate;  // runs inside terminate(), before it returns
  std::function<void()> onKill;       // runs inside stopForGood(), before it returns
  // A timed wait that finds the child running returns false at once, as if its time had
  // run out, and notes the time it was given.
  bool timedWaitsRunOut = false;
  std::optional<std::chrono::milliseconds> lastTimedWait;

 private:
  mutable std::mutex mutex_;
  std::condition_variable exited_;
  OutputHandler outputHandler_;
  OutputHandler errorOutputHandler_;
  TerminationHandler terminationHandler_;
  bool running_ = false;
  bool done_ = false;
  ExitStatus status_ = ExitStatus::unknown();
};

class FakeTaskFactory final : public TaskFactory {
 public:
  std::shared_ptr<Task> makeTask(TaskOptions options) override;
  std::optional<std::string> nextLaunchError;
  std::vector<std::shared_ptr<FakeTask>> made;
};

// A stream that takes what is written to it, up to `capacity` bytes in all, and drops
// the rest, as a pipe that nobody reads does.
class FakePassOnStream final : public PassOnStream {
 public:
  void write(std::string_view data) override;
  bool writeWhole(std::string_view lines) override;
  size_t capacity = std::string::npos;
  std::string taken;
  size_t writes = 0;
};

// All fakes together, with the real global queue.
struct FakePlatform {
  FakeApplication application;
  FakeMainQueue mainQueue;
  FakeTaskFactory tasks;
  FakeAlerts alerts;
  FakeBundle bundle;
  FakeProcessInfo processInfo;
  FakeWorkspace workspace;
  UserPlaces places{.stateFolder = "/nonexistent-home/state",
                    .menuEntryFolder = "/nonexistent-home/menu",
                    .iconFolder = "/nonexistent-home/icons",
                    .autostartFolder = "/nonexistent-home/autostart"};
  // The Linux desktop's, which the delegate's tests lay their runtimes out by.
  ProgramConventions programs{.nodeExecutable = "bin/node",
                              .childSearchPath = "/usr/bin:/bin:/usr/sbin:/sbin"};
  // Last, so destroyed first: a quit's wait holds the application and the main queue.
  WorkerQueue globalQueue{"zolven-global"};

  Services services() {
    return Services{.application = application,
                    .mainQueue = mainQueue,
                    .globalQueue = globalQueue,
                    .tasks = tasks,
                    .alerts = alerts,
                    .bundle = bundle,
                    .processInfo = processInfo,
                    .workspace = workspace,
                    .places = places,
                    .programs = programs};
  }
};

}  // namespace zolven::platform::fake
