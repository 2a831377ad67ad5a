/* zolven-supervisor: stands between the launcher and its runtime, so that nothing the
 * runtime starts outlives the launcher, however the launcher ends.
 *
 * The kernel's parent-death signal reaches one process only. The supervisor asks for it
 * (SIGUSR2) and is a child subreaper: a helper of the runtime whose parent died, even
 * one that left the runtime's session with setsid, becomes the supervisor's child
 * rather than init's. When the launcher dies, the supervisor kills the runtime's process
 * group, then every child it has, again and again as their orphans come to it, until no
 * child is left.
 *
 * It is plain C on the C library alone: it is exec'd at every launch, and its start is
 * part of the runtime's. The protocol is in supervisor_protocol.h. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/default_signals.h"
#include "platform/linux/supervisor_protocol.h"

static int status_fd = -1;
static pid_t runtime = -1;
static bool runtime_reaped = false;

static void report(int32_t kind, int32_t value) {
  const struct zolven_supervisor_message message = {.kind = kind, .value = value};
  ssize_t n;
  do {
    n = write(status_fd, &message, sizeof message);
  } while (n < 0 && errno == EINTR);
  /* A launcher that went away reads nothing more; SIGPIPE is ignored here. */
}

static bool parse_int(const char* text, long* value) {
  char* end = NULL;
  errno = 0;
  *value = strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

/* The parent of `pid` from /proc/PID/stat, or -1. */
static pid_t parent_of(const char* pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%s/stat", pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char line[512];
  const ssize_t n = read(fd, line, sizeof line - 1);
  close(fd);
  if (n <= 0) return -1;
  line[n] = '\0';
  /* pid (comm) state ppid ...: comm may hold anything, so read after its last ')'. */
  const char* close_paren = strrchr(line, ')');
  if (close_paren == NULL) return -1;
  char state;
  int parent;
  if (sscanf(close_paren + 1, " %c %d", &state, &parent) != 2) return -1;
  return state == 'Z' ? -1 : (pid_t)parent;
}

/* Sends SIGKILL to every living child of this process. Returns how many it found. */
static int kill_children(void) {
  DIR* proc = opendir("/proc");
  if (proc == NULL) return 0;
  const pid_t self = getpid();
  int found = 0;
  struct dirent* entry;
  while ((entry = readdir(proc)) != NULL) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    if (parent_of(entry->d_name) != self) continue;
    long pid;
    if (parse_int(entry->d_name, &pid)) {
      kill((pid_t)pid, SIGKILL);
      ++found;
    }
  }
  closedir(proc);
  return found;
}

static void note_runtime_status(pid_t pid, int status, bool tell) {
  if (pid != runtime || runtime_reaped) return;
  runtime_reaped = true;
  if (!tell) return;
  if (WIFSIGNALED(status))
    report(ZOLVEN_SUPERVISOR_SIGNALED, WTERMSIG(status));
  else
    report(ZOLVEN_SUPERVISOR_EXITED, WEXITSTATUS(status));
}

/* Kills the runtime's group and everything that descends from the runtime, and reaps it
 * all. A killed child's own children come to this process (it is a subreaper), so the
 * sweep repeats until there is no child left. */
static void kill_everything(bool tell) {
  for (;;) {
    if (!runtime_reaped) kill(-runtime, SIGKILL);
    kill_children();
    int status = 0;
    const pid_t pid = waitpid(-1, &status, __WALL);
    if (pid < 0) {
      if (errno == EINTR) continue;
      return; /* ECHILD: nothing is left */
    }
    note_runtime_status(pid, status, tell);
  }
}

/* Reaps the children that have ended. Returns true once the runtime itself has ended:
 * its group is killed first when asked to (an exited leader still holds its pid, so the
 * group cannot have been taken by anyone else). */
static bool reap_ended(bool end_group) {
  for (;;) {
    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT | __WALL) != 0) {
      if (errno == EINTR) continue;
      return runtime_reaped;
    }
    if (info.si_pid == 0) return runtime_reaped;
    if (info.si_pid == runtime && end_group) kill(-runtime, SIGKILL);
    int status = 0;
    if (waitpid(info.si_pid, &status, __WALL) == info.si_pid)
      note_runtime_status(info.si_pid, status, true);
  }
}

/* The errno of the runtime's failed start, written by its child before it exits. The
 * child shares this process's memory until its exec (vfork), and this process waits
 * meanwhile, so the value is there when it resumes. */
static volatile int start_error = 0;

/* Between vfork and exec in the runtime's child: system calls only, and nothing written
 * to memory this process uses afterwards but `start_error`. */
static void run_runtime(char** argv, const sigset_t* handled, pid_t parent) {
  if (setpgid(0, 0) != 0) goto failed;
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) goto failed;
  if (getppid() != parent) _exit(127);
  signal(SIGPIPE, SIG_DFL);
  sigprocmask(SIG_UNBLOCK, handled, NULL);
  execv(argv[0], argv);
failed:
  start_error = errno != 0 ? errno : EIO;
  _exit(127);
}

int main(int argc, char** argv) {
  long fd, launcher;
  if (argc < 5 || !parse_int(argv[1], &fd) || !parse_int(argv[2], &launcher)) {
    fprintf(stderr, "zolven-supervisor: started by hand; it is started by zolven-launcher\n");
    return 2;
  }
  status_fd = (int)fd;
  /* posix_spawn, which started this program, leaves the C library's own signals ignored,
   * and the runtime would inherit that. */
  zolven_reset_every_signal();
  const bool end_group = strcmp(argv[3], ZOLVEN_SUPERVISOR_END_GROUP) == 0;
  if (fcntl(status_fd, F_SETFD, FD_CLOEXEC) != 0) return 2;

  /* Signals arrive through a signalfd; the runtime gets them unblocked again. */
  sigset_t handled;
  sigemptyset(&handled);
  const int signals[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2};
  for (size_t i = 0; i < sizeof signals / sizeof signals[0]; ++i) sigaddset(&handled, signals[i]);
  sigprocmask(SIG_BLOCK, &handled, NULL);
  signal(SIGPIPE, SIG_IGN);

  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0 || prctl(PR_SET_PDEATHSIG, SIGUSR2) != 0) {
    report(ZOLVEN_SUPERVISOR_EXEC_FAILED, errno);
    return 1;
  }
  if (getppid() != (pid_t)launcher) return 1; /* the launcher is gone already */

  /* Above the standard streams: the launcher may have been started with some closed,
   * and what the runtime inherits on 0..2 must be what the launcher had there. */
  int signals_fd = signalfd(-1, &handled, SFD_CLOEXEC);
  if (signals_fd >= 0 && signals_fd <= STDERR_FILENO) {
    const int moved = fcntl(signals_fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(signals_fd);
    signals_fd = moved;
  }
  if (signals_fd < 0) {
    report(ZOLVEN_SUPERVISOR_EXEC_FAILED, errno);
    return 1;
  }

  const pid_t self = getpid();
  /* vfork: no copy of this process, and the child runs at once, on this CPU. This
   * process goes on once the child has exec'd or failed to, its group made by then. */
  runtime = vfork();
  if (runtime < 0) {
    report(ZOLVEN_SUPERVISOR_EXEC_FAILED, errno);
    return 1;
  }
  if (runtime == 0) run_runtime(argv + 4, &handled, self);
  if (start_error != 0) {
    int status;
    while (waitpid(runtime, &status, 0) < 0 && errno == EINTR) {
    }
    report(ZOLVEN_SUPERVISOR_EXEC_FAILED, start_error);
    return 1;
  }
  report(ZOLVEN_SUPERVISOR_STARTED, runtime);

  /* Only the runtime holds the output pipes and the launcher's input now, so that the
   * launcher sees the end of the output when the runtime and its helpers are gone. The
   * supervisor says nothing more on its standard error. */
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) close(null);
  }

  for (;;) {
    struct signalfd_siginfo info;
    const ssize_t n = read(signals_fd, &info, sizeof info);
    if (n < 0 && errno == EINTR) continue;
    if (n != (ssize_t)sizeof info) {
      kill_everything(true);
      return 1;
    }
    switch (info.ssi_signo) {
      case SIGTERM:
      case SIGINT:
      case SIGHUP:
        if (!runtime_reaped) kill(-runtime, SIGTERM);
        break;
      case SIGUSR1:
        if (!runtime_reaped) kill(-runtime, SIGKILL);
        break;
      case SIGUSR2:
        /* The launcher died: nothing of the runtime may outlive it. */
        kill_everything(false);
        return 0;
      case SIGCHLD:
        if (reap_ended(end_group)) {
          if (end_group) kill_everything(false);
          return 0;
        }
        break;
    }
  }
}
