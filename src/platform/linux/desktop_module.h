#pragma once

#include <cstddef>
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

// What crosses into the module is plain C: the launcher may carry its own copy of the C++
// library while the module, like the toolkit, uses the system's, so no C++ type, allocation
// or exception may pass between them. UiLoader wraps this in a DesktopUi.
extern "C" {

// A call back into the launcher: call(context).
struct ZolvenCallback {
  void (*call)(void* context);
  void* context;
};

// One item of the tray icon's menu. `terminates`: choosing it runs the Terminate action.
struct ZolvenMenuItem {
  const char* title;
  const char* keyEquivalent;
  int terminates;
};

struct ZolvenAlert {
  int style;  // an AlertStyle's number
  const char* messageText;
  const char* informativeText;
  const char* const* buttons;
  size_t buttonCount;
};

// The UI the module made, and what can be done with it: DesktopUi's operations on `ui`.
// The strings and arrays passed are read during the call only; callbacks are kept.
struct ZolvenDesktopUi {
  void* ui;
  void (*setMenu)(void* ui, const ZolvenMenuItem* items, size_t count, ZolvenCallback onTerminate);
  void (*setReopenHandler)(void* ui, ZolvenCallback onReopen);
  void (*setQuitRequestHandler)(void* ui, ZolvenCallback onQuitRequest);
  void (*runModal)(void* ui, const ZolvenAlert* alert);
  void (*watch)(void* ui, int fd, ZolvenCallback onReadable);
  void (*run)(void* ui);
  void (*quit)(void* ui);
  void (*destroy)(void* ui);
};

}  // extern "C"

// The entry point of the module, looked up by name: makes the UI on the display the
// environment names and fills `out`, or returns 0 with the reason in `error` (cut to
// `errorSize` bytes with its terminating NUL) when no display can be reached. Call it on
// the main thread, once.
using CreateDesktopUi = int (*)(const char* programName, ZolvenDesktopUi* out, char* error,
                                size_t errorSize);
inline constexpr const char* kCreateDesktopUiSymbol = "zolven_create_desktop_ui";

}  // namespace zolven::platform
