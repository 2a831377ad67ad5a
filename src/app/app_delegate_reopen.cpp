#include "app/app_delegate.h"

namespace zolven::app {

bool AppDelegate::applicationShouldHandleReopen(bool /*hasVisibleWindows*/) {
  log("launcher.reopened");
  // Only a known ready URL decides; suppression governs the ready line alone.
  if (!zolvenURL) {
    log("browser.open.skipped", std::nullopt, "runtime-not-ready");
  } else {
    openBrowser(*zolvenURL, "application-reopened");
  }
  return true;
}

}  // namespace zolven::app
