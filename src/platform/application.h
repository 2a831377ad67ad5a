#pragma once

#include <memory>
#include <string>

#include "platform/menu.h"

namespace zolven::platform {

// The delegate's answer to a request to terminate. The launcher never cancels one; the
// three values are the application framework's own, kept whole with their numbers.
enum class TerminateReply { Cancel = 0, Now = 1, Later = 2 };

// How the application presents itself. The launcher asks for Accessory (no dock or
// taskbar entry of its own); Linux has nothing to change for it, the values are kept whole.
enum class ActivationPolicy { Regular = 0, Accessory = 1, Prohibited = 2 };

// Why the application ends; the process exits with 1 after a failure, 0 otherwise.
enum class TerminationCause { Normal, Failure };

// The callbacks the application object makes on its delegate, always on the main thread.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching() = 0;
  virtual bool applicationShouldHandleReopen(bool hasVisibleWindows) = 0;
  virtual bool applicationShouldTerminateAfterLastWindowClosed() = 0;
  virtual TerminateReply applicationShouldTerminate() = 0;
};

// The one application object of the process: event loop, main menu and termination.
class Application {
 public:
  virtual ~Application() = default;

  virtual void setActivationPolicy(ActivationPolicy policy) = 0;
  // The application does not own its delegate; whoever installs it keeps it alive.
  virtual void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) = 0;
  virtual void setMainMenu(const Menu& menu) = 0;

  // Runs the event loop, which also serves the main queue, until the application has
  // ended; returns the process exit status.
  virtual int run() = 0;

  // Asks the delegate whether to terminate; ends at once on Now, and on Later waits for
  // replyToApplicationShouldTerminate(true). Main thread only.
  virtual void terminate(TerminationCause cause = TerminationCause::Normal) = 0;
  virtual void replyToApplicationShouldTerminate(bool shouldTerminate) = 0;

  // Shows a person where the runtime serves. Headless, with no browser to show it, the
  // URL goes on a line of its own to standard output; with a display it does nothing.
  virtual void announceURL(const std::string& url) = 0;
};

}  // namespace zolven::platform
