#include "platform/linux/workspace.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/browser_module.h"
#include "platform/linux/module.h"

namespace platform {
namespace {

std::optional<std::string> nonEmptyVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

// The module's entry point, loaded once for the process; null with the reason when it
// cannot be loaded.
OpenWithDefaultHandler loadModule(const std::string& path, std::string& error) {
  static std::once_flag once;
  static OpenWithDefaultHandler entry = nullptr;
  static std::string failure;
  std::call_once(once, [&path] {
    entry = reinterpret_cast<OpenWithDefaultHandler>(
        loadModuleSymbol(path, kOpenWithDefaultHandlerSymbol, failure));
    if (entry == nullptr) failure = "The browser module could not be loaded: " + failure;
  });
  error = failure;
  return entry;
}

// GLib ends the process (g_error) when it cannot start a thread of its own, and the first
// open starts some (its worker context). Until one open has gone through GLib, each first
// makes sure that two more threads can be had right now, so that a task limit becomes a
// failed open instead of the end of the launcher. Afterwards GLib's threads exist.
std::atomic<bool> glibThreadsStarted{false};

std::optional<std::string> reserveThreadsForGlib() {
  if (glibThreadsStarted) return std::nullopt;
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
                std::strerror(error.code().value());
    }
  }
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  for (std::thread& probe : probes) probe.join();
  return failure;
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
  opens_.async([url, token, browserCommand = nonEmptyVariable("BROWSER"), modulePath = modulePath_,
                completion = std::move(completion)] {
    // The application inherits the mask of the thread that starts it: keep it empty.
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    if (std::optional<std::string> failure = reserveThreadsForGlib()) {
      completion(std::nullopt, std::move(failure));
      return;
    }
    std::string loadError;
    const OpenWithDefaultHandler open = loadModule(modulePath, loadError);
    if (open == nullptr) {
      completion(std::nullopt, loadError);
      return;
    }
    std::optional<std::string> application;
    std::optional<std::string> error;
    open(url, token, browserCommand, application, error);
    glibThreadsStarted = true;
    completion(std::move(application), std::move(error));
  });
}

}  // namespace platform
