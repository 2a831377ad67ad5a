#include "platform/workspace_desktop.h"

#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <thread>
#include <utility>

#include "platform/browser_module.h"
#include "platform/module.h"

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
  std::thread([url, token, browserCommand = nonEmptyVariable("BROWSER"), modulePath = modulePath_,
               completion = std::move(completion)] {
    // The application inherits the mask of the thread that starts it: keep it empty.
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    std::string loadError;
    const OpenWithDefaultHandler open = loadModule(modulePath, loadError);
    if (open == nullptr) {
      completion(std::nullopt, loadError);
      return;
    }
    std::optional<std::string> application;
    std::optional<std::string> error;
    open(url, token, browserCommand, application, error);
    completion(std::move(application), std::move(error));
  }).detach();
}

}  // namespace platform
