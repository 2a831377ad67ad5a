#include "app/app_delegate.h"

#include <utility>

namespace zolven::app {

AppDelegate::AppDelegate(platform::Services services) : services(std::move(services)) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
  installQuitMenu();
  log("launcher.started");
  launchRuntime();
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() { return false; }

void AppDelegate::installQuitMenu() {
  platform::MenuItem applicationItem;
  applicationItem.submenu.push_back(platform::MenuItem{.title = "Quit ZOLVEN",
                                                       .action = platform::MenuAction::Terminate,
                                                       .keyEquivalent = "q",
                                                       .submenu = {}});
  services.application.setMainMenu(platform::Menu{.items = {applicationItem}});
}

}  // namespace zolven::app
