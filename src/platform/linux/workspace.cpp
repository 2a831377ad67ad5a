#include "platform/linux/workspace.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/environment.h"
#include "platform/linux/browser_module.h"
#include "platform/linux/module.h"
#include "platform/posix/support.h"

namespace zolven::platform {
namespace {

// The module's entry points, loaded once for the process, or why they cannot be loaded.
struct BrowserModule {
  OpenWithDefaultHandler open = nullptr;
  PrepareDefaultHandler prepare = nullptr;
};

Result<BrowserModule> loadModule(const std::string& path) {
  static std::once_flag once;
  static std::optional<Result<BrowserModule>> entry;
  std::call_once(once, [&path] {
    const Result<void*> open = loadModuleSymbol(path, kOpenWithDefaultHandlerSymbol);
    const Result<void*> prepare =
        open ? loadModuleSymbol(path, kPrepareDefaultHandlerSymbol) : open;
    if (prepare)
      entry.emplace(BrowserModule{.open = reinterpret_cast<OpenWithDefaultHandler>(*open),
                                  .prepare = reinterpret_cast<PrepareDefaultHandler>(*prepare)});
    else
      entry.emplace(Error{"The browser module could not be loaded: " + prepare.error().message});
  });
  return *entry;
}

// GLib ends the process (g_error) when it cannot start a thread of its own, and the first
// open starts some (its worker context). Until one open has gone through GLib, each first
// makes sure that two more threads can be had right now, so that a task limit becomes a
// failed open instead of the end of the launcher. Afterwards GLib's threads exist.
std::atomic<bool> glibThreadsStarted{false};

Result<void> reserveThreadsForGlib() {
  if (glibThreadsStarted) return {};
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  std::vector<std::thread> probes;
  std::optional<std::string> failure;
  for (int i = 0; i < 2 && !failure; ++i) {
    try {
      probes.emplace_back([&] {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return release; });
      });
    } catch (const std::system_error& error) {
      failure = std::string("No thread could be started to open the URL: ") +
                systemMessage(error.code().value());
    }
  }
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  for (std::thread& probe : probes) probe.join();
  if (failure) return Error{*failure};
  return {};
}

// The opener thread made ready for GLib: an empty mask (what GLib starts and launches
// inherits it), threads to spare, and the module's entry points.
Result<BrowserModule> moduleOnThisThread(const std::string& path) {
  unblockAllSignals();
  if (Result<void> reserved = reserveThreadsForGlib(); !reserved) return reserved.error();
  return loadModule(path);
}

}  // namespace

DesktopWorkspace::DesktopWorkspace(std::optional<std::string> launchToken, std::string modulePath)
    : launchToken_(std::move(launchToken)), modulePath_(std::move(modulePath)) {}

std::optional<std::string> DesktopWorkspace::takeLaunchTokenFromEnvironment() {
  std::optional<std::string> token = nonEmptyVariable("XDG_ACTIVATION_TOKEN");
  if (!token) token = nonEmptyVariable("DESKTOP_STARTUP_ID");
  ::unsetenv("XDG_ACTIVATION_TOKEN");
  ::unsetenv("DESKTOP_STARTUP_ID");
  return token;
}

std::optional<std::string> takeActivationToken() {
  return DesktopWorkspace::takeLaunchTokenFromEnvironment();
}

void restoreActivationToken(const std::string& token) {
  ::setenv("XDG_ACTIVATION_TOKEN", token.c_str(), 1);
}

void DesktopWorkspace::offerActivationToken(std::string token) {
  std::lock_guard lock(mutex_);
  launchToken_ = std::move(token);
}

void DesktopWorkspace::openURL(const std::string& url, const OpenConfiguration& configuration,
                               OpenCompletion completion) {
  std::optional<std::string> token;
  if (configuration.activates) {
    // A token is good for one activation.
    std::lock_guard lock(mutex_);
    token = std::exchange(launchToken_, std::nullopt);
  }
  ++opensInHand_;
  opens_.async([url, token, browserCommand = nonEmptyVariable("BROWSER"), modulePath = modulePath_,
                &reaper = reaper_, &inHand = opensInHand_, completion = std::move(completion)] {
    struct Done {
      std::atomic<int>& inHand;
      ~Done() { --inHand; }
    } done{inHand};
    const Result<BrowserModule> module = moduleOnThisThread(modulePath);
    if (!module) {
      completion(std::nullopt, module.error().message);
      return;
    }
    struct Report {
      std::optional<std::string> application;
      std::optional<std::string> error;
      pid_t started = 0;
    } report;
    module->open(
        url.c_str(), token ? token->c_str() : nullptr,
        browserCommand ? browserCommand->c_str() : nullptr,
        [](void* context, const char* application, const char* error, int started) {
          auto* into = static_cast<Report*>(context);
          if (application != nullptr) into->application = application;
          if (error != nullptr) into->error = error;
          into->started = started;
        },
        &report);
    glibThreadsStarted = true;
    if (report.started > 0) reaper.adopt(report.started);
    completion(std::move(report.application), std::move(report.error));
  });
}

void DesktopWorkspace::afterOpensInHand(std::function<void()> then) {
  if (opensInHand_ == 0) {
    then();
    return;
  }
  opens_.async(std::move(then));
}

void DesktopWorkspace::prepareToOpen(const std::string& scheme) {
  opens_.async([scheme, modulePath = modulePath_, caller = std::this_thread::get_id()] {
    // Without a thread of its own the queue runs this on the caller's: better not at all.
    if (std::this_thread::get_id() == caller) return;
    const Result<BrowserModule> module = moduleOnThisThread(modulePath);
    if (!module) return;
    module->prepare(scheme.c_str());
    glibThreadsStarted = true;
  });
}

}  // namespace zolven::platform
