#pragma once

// The delegate's state as its tests read it, on the main thread (the delegate's tests run
// its main queue on their own thread).

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/app_delegate.h"

namespace zolven::app {

class AppDelegateProbe {
 public:
  explicit AppDelegateProbe(AppDelegate& delegate) : delegate_(delegate) {}

  const std::shared_ptr<platform::Task>& runtimeTask() const { return delegate_.runtime; }
  const std::string& bufferedOutput() const { return delegate_.outputBuffer.pending(); }
  bool hasOpenedURL() const { return delegate_.openedURL; }
  const std::optional<std::string>& readyURL() const { return delegate_.zolvenURL; }
  bool isTerminating() const { return delegate_.terminating; }
  // Where the log is, once the first record has resolved it.
  std::optional<std::string> logFileLocation() const {
    std::lock_guard lock(delegate_.logLock);
    return delegate_.launcherLogURL;
  }
  // The runtime log's path, once the launch has made it.
  const std::optional<std::string>& runtimeLogLocation() const { return delegate_.runtimeLogPath; }

 private:
  AppDelegate& delegate_;
};

inline AppDelegateProbe probe(AppDelegate& delegate) { return AppDelegateProbe(delegate); }

}  // namespace zolven::app
