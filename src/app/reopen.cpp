#include "app/app_delegate.h"

bool AppDelegate::applicationShouldHandleReopen(bool /*hasVisibleWindows*/) {
  log("launcher.reopened");
  if (!zolvenURL) log("browser.open.skipped", std::nullopt, "runtime-not-ready");
  return true;
}
