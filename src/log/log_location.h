#pragma once

#include <string>
#include <string_view>

#include "platform/environment.h"

namespace eventlog {

// The absolute path of the launcher log file.
//
// ZOLVEN_LOG_ROOT, when present, is the log directory whatever its value: a relative
// value is taken below `currentDirectory`, and an empty one means `currentDirectory`
// itself. Otherwise the log lies in $XDG_STATE_HOME/Keldrovan/ZOLVEN, with
// `homeDirectory`/.local/state standing in for XDG_STATE_HOME when that is unset, empty
// or relative (as the XDG base directory rules ask).
std::string resolveLogFile(const platform::Environment& environment,
                           std::string_view homeDirectory, std::string_view currentDirectory);

}  // namespace eventlog
