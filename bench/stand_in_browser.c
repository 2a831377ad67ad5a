/* A browser for the benchmarks: registered as the desktop's default handler of http
 * URLs, it notes the monotonic time of its start and exits.
 *
 *   stand_in_browser STAMP_DIR URL
 *
 * The time goes to STAMP_DIR/browser, in nanoseconds. */
#include <stdlib.h>

#include "stamp.h"

int main(int argc, char** argv) {
  struct timespec started;
  clock_gettime(CLOCK_MONOTONIC, &started);
  if (argc < 2) return 2;
  char path[4096];
  if (snprintf(path, sizeof path, "%s/browser", argv[1]) >= (int)sizeof path) return 2;
  return stamp_write(path, &started) == 0 ? 0 : 1;
}
