#pragma once

namespace zolven::platform {

// Makes the process state the launcher relies on, whatever its parent left it: standard
// input, output and error open (on /dev/null where they were closed, so nothing the
// launcher opens later takes their numbers and reaches its children in their place),
// SIGCHLD at its default (ignored, the kernel would reap the runtime before the launcher
// learns how it ended), and SIGPIPE and SIGXFSZ harmless (a standard output that nobody
// reads, or a log at the file-size limit, then fails a write instead of killing the
// launcher; the signals are caught, not ignored, so that no child inherits them
// ignored), and every other descriptor it inherited close-on-exec (no program the
// launcher starts gets any of them). The quit signals are the shell's to unblock and handle. Children get default
// dispositions and an empty mask from whoever starts them.
//
// Call it first thing in main(), while the process has one thread.
void prepareProcessState();

}  // namespace zolven::platform
