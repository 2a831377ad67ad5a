#include "app/app_delegate.h"

namespace zolven::app {

void AppDelegate::showFailure(std::string_view message) {
  log("launcher.failed", std::nullopt, message);

  platform::Alert alert;
  alert.style = platform::AlertStyle::Critical;
  alert.messageText = "ZOLVEN could not start.";
  // The message ends with its own full stop; the sentence brings its leading space.
  alert.informativeText = std::string(message) + " See the ZOLVEN log directory for diagnostics.";
  alert.buttons = {"OK"};
  services.alerts.runModal(alert);

  services.application.terminate(platform::TerminationCause::Failure);
}

}  // namespace zolven::app
