#pragma once

#include <string>
#include <string_view>

#include "platform/environment.h"

namespace zolven::log {

// The absolute path of the launcher log file.
//
// ZOLVEN_LOG_ROOT, when present, is the log directory whatever its value: a relative
// value is taken below `currentDirectory`, and an empty one means `currentDirectory`
// itself. Otherwise the log lies in Keldrovan/ZOLVEN below the user's `stateFolder`, the
// desktop's place for what applications keep (platform::UserPlaces).
std::string resolveLogFile(const platform::Environment& environment, std::string_view stateFolder,
                           std::string_view currentDirectory);

// The runtime log of the bundle whose instance key is `key`: "runtime-<key>.log" beside
// the launcher log. The folder is shared by every bundle of the user; each has its own.
std::string runtimeLogFile(std::string_view launcherLogFile, std::string_view key);

// Where each log is rotated (renamed to "<file>.1", replacing an older one).
constexpr long kLauncherLogLimit = 1024 * 1024;
constexpr long kRuntimeLogLimit = 4 * 1024 * 1024;

}  // namespace zolven::log
