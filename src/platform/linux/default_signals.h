/* Every signal back at its default action and none blocked: what a program we start gets,
 * whatever this process inherited or its libraries set. For the child's side of a start,
 * between fork and exec or first thing in the started program: system calls only. Plain C,
 * for the supervisor too. */
#pragma once

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

static inline void zolven_reset_every_signal(void) {
  /* All zero is the default action, with no flags and an empty mask, whatever the
   * architecture's layout. Given to the kernel directly, it also reaches the C library's
   * own signals (below SIGRTMIN), which the library refuses to name, and which its
   * posix_spawn leaves ignored in the child. */
  const unsigned long default_action[8] = {0};
  unsigned long previous_action[8];
  for (int number = 1; number < NSIG; ++number)
    if (number != SIGKILL && number != SIGSTOP)
      syscall(SYS_rt_sigaction, number, default_action, previous_action, (NSIG - 1) / 8);
  sigset_t none;
  sigset_t previous_mask;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, &previous_mask);
}
