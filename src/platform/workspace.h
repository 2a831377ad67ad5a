#pragma once

#include <functional>
#include <optional>
#include <string>

namespace zolven::platform {

struct OpenConfiguration {
  // Ask that the application opening the URL come to the front.
  bool activates = false;
};

// The outcome of one open: success (an error absent) with the identifier of the
// application that opened the URL when it is known, or failure with a message.
using OpenCompletion =
    std::function<void(std::optional<std::string> application, std::optional<std::string> error)>;

// The desktop's way to open a URL with the user's default application for it.
class Workspace {
 public:
  virtual ~Workspace() = default;
  // Returns at once. The completion runs once, later, on a thread of the workspace's
  // choosing (never inside this call); an open still waiting when the workspace is
  // destroyed is dropped without its completion.
  virtual void openURL(const std::string& url, const OpenConfiguration& configuration,
                       OpenCompletion completion) = 0;

  // Gets the desktop ready for a coming open of a URL with this scheme, so that the open
  // only has to start the application: what opening needs is loaded and the default
  // handler looked up, off the caller's thread. Opens nothing and reports nothing; an
  // open still uses the handler that is the default when it runs. Returns at once.
  virtual void prepareToOpen(const std::string& scheme) = 0;
};

// The activation token the desktop gave this start of the process, taken out of its
// environment (a token is good for one activation); nothing when the desktop gave none.
// Call it before any other thread runs.
std::optional<std::string> takeActivationToken();
// Gives a token that takeActivationToken() took back to the environment, for the shell
// this process makes next to take as its own.
void restoreActivationToken(const std::string& token);

}  // namespace zolven::platform
