#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/linux/child_reaper.h"
#include "platform/posix/worker_queue.h"
#include "platform/workspace.h"

namespace zolven::platform {

// Opens URLs the way the desktop's `mimeapps.list` and desktop files say: the default
// application for the URL's scheme, launched with the URL as its one argument. When the
// desktop knows no handler and BROWSER is set, that command is run with the URL instead
// (the convention on servers and in remote sessions). The work is done through GIO by the
// browser module (see browser_module.h), loaded at the first open or preparation.
//
// Opens run one at a time, in order, on a thread of the workspace's own, so neither a slow
// desktop nor a missing GLib main loop can hold up the caller, and a burst of opens costs
// one thread; the completion runs on that thread. Opens that have not started when the
// workspace is destroyed are dropped, completions and all. The application starts with
// an empty signal mask and none of the launcher's file descriptors (they are all
// close-on-exec, see prepareProcessState), and the workspace reaps it when it ends.
class DesktopWorkspace final : public Workspace {
 public:
  // `launchToken` is the startup-notification id or activation token the desktop gave
  // this process. The launcher shows no window of its own, so the first open that asks
  // for activation hands this one on to the browser.
  // `modulePath` is where the browser module lies.
  DesktopWorkspace(std::optional<std::string> launchToken, std::string modulePath);

  void openURL(const std::string& url, const OpenConfiguration& configuration,
               OpenCompletion completion) override;
  // Queued like an open, so an open asked for meanwhile waits for it and then finds the
  // module loaded and GIO ready. A preparation that fails says nothing: the open meets the
  // same failure and reports it.
  void prepareToOpen(const std::string& scheme) override;

  // Calls `then` once the opens asked for so far have been done: at once when there are
  // none, else on the workspace's thread after the last of them.
  void afterOpensInHand(std::function<void()> then);

  // A token the desktop gave a later start of this bundle, which handed it over: the next
  // open that asks for activation uses it, replacing any token not yet used.
  void offerActivationToken(std::string token);

  // Takes the token the desktop left in this process's environment, if any, and removes
  // it there, as toolkits do: it is good for one activation, and neither the runtime nor
  // a later browser start may reuse it. Call it before a GUI toolkit starts (which would
  // consume it) and before any other thread runs.
  static std::optional<std::string> takeLaunchTokenFromEnvironment();

 private:
  std::mutex mutex_;
  std::optional<std::string> launchToken_;
  std::atomic<int> opensInHand_{0};
  const std::string modulePath_;
  // The browsers the opens start.
  ChildReaper reaper_;
  // Last, so it is destroyed first: the open in progress ends before the rest goes.
  WorkerQueue opens_{"zolven-browser"};
};

}  // namespace zolven::platform
