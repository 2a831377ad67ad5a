#include "app/app_delegate.h"
#include "runtime/runtime_decisions.h"

namespace zolven::app {

bool AppDelegate::browserSuppressed() const {
  return runtime::browserSuppressed(services.processInfo.environment());
}

void AppDelegate::openBrowser(const std::string& url, std::string_view reason) {
  // The append is synchronous, so the request is in the log before the desktop is asked.
  log("browser.open.requested", url, reason);

  // The completion may run on any thread: it touches nothing but its own copy of the URL
  // and the log, and holds the delegate weakly so a late outcome after the delegate is
  // gone is dropped.
  services.workspace.openURL(
      url, platform::OpenConfiguration{.activates = true},
      [weakSelf = weak_from_this(), url](const std::optional<std::string>& application,
                                         const std::optional<std::string>& error) {
        const std::shared_ptr<AppDelegate> self = weakSelf.lock();
        if (!self) return;
        // Success is judged by the absence of an error alone.
        if (error) {
          self->log("browser.open.failed", url, *error);
          return;
        }
        self->log("browser.open.succeeded", url, application.value_or("default-handler"));
      });
}

}  // namespace zolven::app
