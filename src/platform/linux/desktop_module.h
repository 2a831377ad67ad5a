#pragma once

#include <functional>
#include <string>

#include "platform/alert.h"
#include "platform/menu.h"

namespace zolven::platform {

// The visible side of the application on a desktop with a display: the tray icon with
// its menu, modal alerts, and the toolkit's event loop. It lives in a module of its own
// (zolven-desktop.so) that is loaded only when a display is there, so that a headless
// launcher never loads or pays for a GUI toolkit.
//
// Everything here runs on the main thread.
class DesktopUi {
 public:
  virtual ~DesktopUi() = default;

  // Shows the menu's items in the tray icon's menu; `onTerminate` runs when an item with
  // the Terminate action (or its key equivalent) is chosen.
  virtual void setMenu(const Menu& menu, std::function<void()> onTerminate) = 0;
  // Runs when the user clicks the tray icon.
  virtual void setReopenHandler(std::function<void()> onReopen) = 0;
  // Runs when the desktop asks the application to quit (for example at session end).
  virtual void setQuitRequestHandler(std::function<void()> onQuitRequest) = 0;

  // Shows the alert as a modal dialog and returns when it is dismissed. The toolkit's
  // loop runs meanwhile, so watched descriptors are served.
  virtual void runModal(const Alert& alert) = 0;

  // Calls `onReadable` on the main thread whenever `fd` can be read, inside run() and
  // inside runModal().
  virtual void watch(int fd, std::function<void()> onReadable) = 0;

  // Runs the toolkit's event loop until quit().
  virtual void run() = 0;
  virtual void quit() = 0;
};

// The entry point of the module, looked up by name: makes the UI on the display the
// environment names, or returns null (with the reason in `error`) when no display can be
// reached. Call it on the main thread, once.
using CreateDesktopUi = DesktopUi* (*)(const char* programName, std::string* error);
inline constexpr const char* kCreateDesktopUiSymbol = "zolven_create_desktop_ui";

}  // namespace zolven::platform
