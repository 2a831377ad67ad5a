#pragma once

#include <memory>

#include "platform/result.h"
#include "platform/services.h"
#include "platform/single_instance.h"

namespace zolven::platform {

// Everything the desktop gives this process, made once by the process entry and kept
// until the process ends.
class Shell {
 public:
  virtual ~Shell() = default;
  virtual Services& services() = 0;

  // Answers the requests of later starts of this bundle with the claim this process
  // holds: a reopen reaches the delegate as the platform's reopen (its activation token
  // goes to the next browser start), a quit as a terminate request, both on the main
  // thread and only once the event loop runs, after the launch has finished.
  virtual void answerInstanceRequests(std::unique_ptr<SingleInstance> claim) = 0;
};

// Whether this process has a display to show windows on. Without one the launcher runs
// headless: alerts go to standard error, and a URL a person is to open is printed.
bool hasDisplay();

// The desktop shell of this build: a POSIX event loop, GIO for the browser, and, with a
// display (hasDisplay()) that can be reached, the Qt desktop UI (a tray icon and alert
// dialogs) loaded from lib/zolven-desktop.so beside the launcher. Otherwise it runs
// headless and prints alerts to standard error.
// The error says why the shell cannot run (no descriptors left for its event loop).
Result<std::unique_ptr<Shell>> makeDesktopShell(int argc, char** argv);

}  // namespace zolven::platform
