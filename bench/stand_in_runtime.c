/* A runtime for the benchmarks: notes the monotonic time of its start in the file named
 * by ZOLVEN_BENCH_STAMP (when set), prints its URL line and serves until a signal ends it
 * (SIGTERM's default action). */
#include <signal.h>
#include <stdlib.h>

#include "stamp.h"

int main(void) {
  struct timespec started;
  clock_gettime(CLOCK_MONOTONIC, &started);
  const char* path = getenv("ZOLVEN_BENCH_STAMP");
  if (path != NULL && stamp_write(path, &started) != 0) return 1;
  static const char line[] = "http://127.0.0.1:43123/\n";
  if (write(STDOUT_FILENO, line, sizeof line - 1) != (ssize_t)(sizeof line - 1)) return 1;
  for (;;) pause();
}
