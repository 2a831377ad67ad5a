// The launcher's log operation. Everything up to the encoded line happens on the
// caller's thread; `logLock` covers the location and the append, so lines of
// concurrent callers never interleave.
#include <chrono>

#include "app/app_delegate.h"
#include "log/event_record.h"
#include "log/log_location.h"
#include "platform/files.h"

namespace zolven::app {

namespace {
// Where this process's launcher log is, by its environment, the user's state folder and the
// working directory.
std::string logFileOf(const platform::Services& services) {
  const platform::ProcessInfo& process = services.processInfo;
  return log::resolveLogFile(process.environment(), services.places.stateFolder,
                             process.currentDirectory());
}
}  // namespace

void AppDelegate::log(std::string_view event, std::optional<std::string_view> url,
                      std::optional<std::string_view> detail) {
  const std::string at = log::formatTimestamp(std::chrono::system_clock::now());
  const auto line = log::encodeRecord({.at = at, .event = event, .url = url, .detail = detail});
  if (!line) return;  // dropped: the log never reports its own failures

  std::lock_guard lock(logLock);
  if (!launcherLogURL) launcherLogURL = logFileOf(services);
  // A failed append loses this record only.
  static_cast<void>(
      platform::appendLine(*launcherLogURL, *line, {.rotateAt = log::kLauncherLogLimit}));
}

std::string AppDelegate::launcherLogFile() {
  std::lock_guard lock(logLock);
  if (!launcherLogURL) launcherLogURL = logFileOf(services);
  return *launcherLogURL;
}

}  // namespace zolven::app
