#pragma once

#include "platform/result.h"

namespace zolven::platform {

// SIGTERM, SIGINT and SIGHUP, the ways a session, a terminal or a user asks the launcher to
// quit, become readable bytes on a pipe that the event loop watches (a self-pipe: the
// handler only writes). The signals are unblocked too: a parent may have started us with
// them blocked, and logout would then never reach us. Returns the pipe's read end.
Result<int> installQuitSignals();

}  // namespace zolven::platform
