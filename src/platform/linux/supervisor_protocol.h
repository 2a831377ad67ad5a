/* What the runtime supervisor (zolven-supervisor) and the task that starts it say to each
 * other. Shared by C and C++.
 *
 * The task runs
 *   zolven-supervisor STATUS_FD LAUNCHER_PID end-group|keep-group EXECUTABLE [ARGUMENT...]
 * with the runtime's environment, directory and standard streams. The supervisor starts
 * EXECUTABLE as its child in a process group of its own and reports on STATUS_FD, one
 * fixed-size message per write (so each arrives whole):
 *   STARTED (the runtime's pid), or EXEC_FAILED (the errno of its start), then
 *   EXITED (its exit code) or SIGNALED (the signal that ended it).
 * After the last message the supervisor ends.
 *
 * The launcher steers it with signals, which only it may send (the supervisor is its
 * child): SIGTERM asks the runtime's group to stop (SIGTERM), SIGUSR1 kills that group.
 * When the launcher dies, however it dies, the supervisor kills the runtime's group and
 * every process that descends from the runtime, and ends. */
#ifndef ZOLVEN_SUPERVISOR_PROTOCOL_H
#define ZOLVEN_SUPERVISOR_PROTOCOL_H

#include <stdint.h>

enum {
  ZOLVEN_SUPERVISOR_STARTED = 1,
  ZOLVEN_SUPERVISOR_EXEC_FAILED = 2,
  ZOLVEN_SUPERVISOR_EXITED = 3,
  ZOLVEN_SUPERVISOR_SIGNALED = 4,
};

struct zolven_supervisor_message {
  int32_t kind;
  int32_t value;
};

#define ZOLVEN_SUPERVISOR_END_GROUP "end-group"
#define ZOLVEN_SUPERVISOR_KEEP_GROUP "keep-group"

#endif
