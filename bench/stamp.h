/* Noting the monotonic time of a program's start in a file, for the stand-ins of the
 * benchmarks. Plain C on the C library alone, so that the stand-in's own start is as
 * cheap as a program's can be and the same whoever starts it. */
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* Writes the time `at` (nanoseconds of CLOCK_MONOTONIC) to PATH whole: into PATH.tmp
 * first, then renamed, so that a watcher sees the file only once it is complete. */
static inline int stamp_write(const char* path, const struct timespec* at) {
  char temporary[4096];
  if (snprintf(temporary, sizeof temporary, "%s.tmp", path) >= (int)sizeof temporary) return -1;
  const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  char text[32];
  const int length = snprintf(text, sizeof text, "%lld\n",
                              (long long)at->tv_sec * 1000000000LL + at->tv_nsec);
  const int written = (int)write(fd, text, (size_t)length) == length;
  close(fd);
  if (!written) return -1;
  return rename(temporary, path);
}
