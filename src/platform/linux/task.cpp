#include "platform/linux/task.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/linux/module.h"
#include "platform/linux/supervisor_protocol.h"

// The kernel's id type for waiting on a pidfd; older C library headers do not name it.
#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace zolven::platform {
namespace {

constexpr size_t kChunkSize = 64 * 1024;
constexpr int kPipeSize = 1024 * 1024;
// One read of the output takes all that a full pipe holds, so that a chatty child costs a
// read and a wake-up per pipe-full; its handler still gets it in chunks of at most
// kChunkSize. Standard error is read a chunk at a time: its handler writes each chunk to a
// file, and measured larger reads made that slower.
constexpr size_t kReadSize = kPipeSize;
// Exit code of a child that could not exec. The parent never reports it: it reports the
// errno that came through the error pipe instead.
constexpr int kChildFailed = 127;


struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// Both ends close-on-exec and above the standard streams; returns 0 or an errno.
int makePipe(Pipe& pipe) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  UniqueFd read(fds[0]);
  UniqueFd write(fds[1]);
  pipe.read = aboveStandardStreams(std::move(read));
  if (!pipe.read) return errno;
  pipe.write = aboveStandardStreams(std::move(write));
  if (!pipe.write) return errno;
  return 0;
}

int sendSignal(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// Waits for the child behind `pidfd` and reaps it. Unknown when it cannot be reaped:
// somebody else did, which happens when the launcher ignores SIGCHLD.
ExitStatus reap(int pidfd) {
  siginfo_t info{};
  while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED) != 0)
    if (errno != EINTR) return ExitStatus::unknown();
  if (info.si_code == CLD_EXITED) return ExitStatus::exited(info.si_status);
  return ExitStatus::signaled(info.si_status);
}

// What the child needs, prepared before fork.
struct ChildPlan {
  const char* executable;
  char* const* argv;
  char* const* envp;
  const char* directory;
  int output;     // write end of the output pipe, above 2
  int errors;     // write end of the standard-error pipe, above 2, or -1 to inherit it
  int errorPipe;  // write end of the error pipe, above 2, close-on-exec
  int keep;       // handed on to the program across exec, above 2
  pid_t parent;
  long openMax;  // bound for the close-on-exec loop when close_range cannot do it
};

[[noreturn]] void failChild(int errorPipe, int error) {
  // Four bytes on a pipe are written whole or not at all; nobody is left to tell if not.
  [[maybe_unused]] const ssize_t written = ::write(errorPipe, &error, sizeof error);
  ::_exit(kChildFailed);
}

// Between fork and exec: async-signal-safe calls only. Another thread of the launcher
// may have held a lock (malloc's, for one) at the fork, so nothing here allocates.
[[noreturn]] void runChild(const ChildPlan& plan) {
  // Dispositions first: the launcher's handlers are still installed, and the mask may
  // only open once none of them can run here. SIGKILL and SIGSTOP refuse the change.
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);

  // Its own group, so that killing the group reaches whatever the child starts.
  if (::setpgid(0, 0) != 0) failChild(plan.errorPipe, errno);
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) failChild(plan.errorPipe, errno);
  // A launcher that died before prctl took hold sends no signal any more.
  if (::getppid() != plan.parent) ::_exit(kChildFailed);

  if (::dup2(plan.output, STDOUT_FILENO) < 0) failChild(plan.errorPipe, errno);
  if (plan.errors >= 0 && ::dup2(plan.errors, STDERR_FILENO) < 0) failChild(plan.errorPipe, errno);
  // Standard input and error are the launcher's, handed on even if it marked them
  // close-on-exec for its own reasons. A closed one stays closed.
  for (const int fd : {STDIN_FILENO, STDERR_FILENO}) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) != 0) ::fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
  }
  if (::chdir(plan.directory) != 0) failChild(plan.errorPipe, errno);

  // Descriptors the launcher opened without close-on-exec (its libraries do) stay out.
  // The error pipe stays open until exec succeeds, which is what closes it.
  if (::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (long fd = STDERR_FILENO + 1; fd < plan.openMax; ++fd)
      ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  }
  if (::fcntl(plan.keep, F_SETFD, 0) != 0) failChild(plan.errorPipe, errno);

  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(plan.executable, plan.argv, plan.envp);
  failChild(plan.errorPipe, errno);
}

// The state the task and its thread share. The thread holds it by shared_ptr, so a task
// destroyed on its own thread (its last reference dropped in a handler) leaves nothing
// dangling behind the detached thread.
struct TaskState {
  enum class Phase { Idle, Running, Exited, Finished };

  std::mutex mutex;
  std::condition_variable finished;
  // Guarded by the mutex.
  Task::OutputHandler output;
  Task::OutputHandler errorOutput;
  Task::TerminationHandler termination;
  Phase phase = Phase::Idle;
  pid_t pid = -1;  // the runtime's
  ExitStatus status = ExitStatus::unknown();
  std::thread::id thread;
  // Set before the thread starts and closed only with the state, so terminate() can use
  // it under the mutex while the thread polls it. The pidfd is the supervisor's.
  UniqueFd pidfd;
  UniqueFd wake;

  // The task is being destroyed: no more handler calls.
  std::atomic<bool> stopping{false};

  // The thread's own.
  UniqueFd out;            // non-blocking read end; reset at end of file
  UniqueFd err;            // the standard-error pipe's, when there is one; as `out`
  UniqueFd statusChannel;  // the supervisor's messages, non-blocking; reset at their end
  std::unique_ptr<char[]> buffer;

  using Stream = Task::OutputHandler TaskState::*;

  void deliver(Stream stream, std::string_view chunk) {
    if (stopping) return;
    Task::OutputHandler handler;
    {
      std::lock_guard lock(mutex);
      handler = this->*stream;
    }
    // A copy: the handler may replace itself while it runs.
    if (handler) handler(chunk);
  }

  // One read. Returns the byte count, 0 when nothing is there now, -1 at the end of the
  // output (then the empty chunk has been delivered and the pipe closed).
  ssize_t readChunk(UniqueFd& fd, Stream stream) {
    const size_t size = stream == &TaskState::output ? kReadSize : kChunkSize;
    ssize_t n;
    do {
      n = ::read(fd.get(), buffer.get(), size);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      const std::string_view got(buffer.get(), static_cast<size_t>(n));
      for (size_t at = 0; at < got.size(); at += kChunkSize)
        deliver(stream, got.substr(at, kChunkSize));
      return n;
    }
    if (n < 0 && errno == EAGAIN) return 0;
    // End of file, or a read error, which ends the output just the same.
    fd.reset();
    deliver(stream, {});
    return -1;
  }

  // Reads what the pipe holds now, without waiting for its end: a grandchild may keep it
  // open for ever. At most what was there when the drain began, plus one more read that
  // usually sees the end of file; a writer that never stops cannot hold back the exit.
  void drain(UniqueFd& fd, Stream stream) {
    if (!fd) return;
    int available = 0;
    if (::ioctl(fd.get(), FIONREAD, &available) != 0) available = 0;
    size_t budget = available > 0 ? static_cast<size_t>(available) : 0;
    for (;;) {
      const ssize_t n = readChunk(fd, stream);
      if (n <= 0 || budget == 0) return;
      budget -= std::min(budget, static_cast<size_t>(n));
    }
  }

  // The runtime has ended with `code`: the output already in the pipe goes first, then
  // the termination handler, then the waiters.
  void reportExit(const std::weak_ptr<Task>& task, ExitStatus code) {
    drain(err, &TaskState::errorOutput);
    drain(out, &TaskState::output);
    {
      std::lock_guard lock(mutex);
      status = code;
      phase = Phase::Exited;
    }
    if (!stopping) {
      Task::TerminationHandler handler;
      {
        std::lock_guard lock(mutex);
        handler = termination;
      }
      // `self` may be the last reference: the task is then destroyed here, on its thread.
      if (auto self = task.lock(); self && handler) handler(self);
    }
    // Waiters wake only now, so whatever the handler did comes before them.
    {
      std::lock_guard lock(mutex);
      phase = Phase::Finished;
    }
    finished.notify_all();
  }

  // Reads the supervisor's messages that are there. Returns the runtime's exit as the
  // task reports it once the supervisor has told it; closes the channel at its end.
  std::optional<ExitStatus> readStatus() {
    for (;;) {
      zolven_supervisor_message message{};
      ssize_t n;
      do {
        n = ::read(statusChannel.get(), &message, sizeof message);
      } while (n < 0 && errno == EINTR);
      if (n < 0 && errno == EAGAIN) return std::nullopt;
      if (n != static_cast<ssize_t>(sizeof message)) {
        statusChannel.reset();  // the end, or a message that cannot be: nothing more comes
        return std::nullopt;
      }
      if (message.kind == ZOLVEN_SUPERVISOR_EXITED) return ExitStatus::exited(message.value);
      if (message.kind == ZOLVEN_SUPERVISOR_SIGNALED) return ExitStatus::signaled(message.value);
    }
  }

  void watch(const std::weak_ptr<Task>& task) {
    {
      std::lock_guard lock(mutex);
      thread = std::this_thread::get_id();
    }
    // Started with every signal blocked; faults must still reach their handlers.
    unblockFaultSignals();

    // Not filled in: a quiet child leaves most of it untouched, and so not resident.
    buffer = std::make_unique_for_overwrite<char[]>(kReadSize);
    bool supervisorAlive = true;
    bool reported = false;
    while ((out || err || supervisorAlive) && !stopping) {
      // A negative fd is skipped by poll: a pipe after its end, the pidfd after reaping.
      pollfd fds[5] = {{.fd = out.get(), .events = POLLIN, .revents = 0},
                       {.fd = statusChannel.get(), .events = POLLIN, .revents = 0},
                       {.fd = supervisorAlive ? pidfd.get() : -1, .events = POLLIN, .revents = 0},
                       {.fd = wake.get(), .events = POLLIN, .revents = 0},
                       {.fd = err.get(), .events = POLLIN, .revents = 0}};
      if (::poll(fds, 5, -1) < 0) continue;  // EINTR, or a passing ENOMEM
      if (fds[3].revents != 0) return;       // the task is being destroyed
      if (fds[4].revents != 0) readChunk(err, &TaskState::errorOutput);
      if (fds[0].revents != 0) readChunk(out, &TaskState::output);
      if (fds[1].revents != 0 && !reported) {
        if (const std::optional<ExitStatus> code = readStatus()) {
          // The supervisor ends right after its last word (having killed what the runtime
          // left, when asked to): reaped first, so nothing is left when the exit is told.
          reap(pidfd.get());
          supervisorAlive = false;
          reportExit(task, *code);
          reported = true;
        }
      }
      if (supervisorAlive && fds[2].revents != 0) {
        // The supervisor has ended. Its last word on the runtime may still be unread;
        // without one (somebody killed it), its own end stands for the runtime's, which
        // the parent-death signal has ended with it.
        std::optional<ExitStatus> code = reported ? std::nullopt : readStatus();
        const ExitStatus own = reap(pidfd.get());
        supervisorAlive = false;
        if (!reported) reportExit(task, code.value_or(own));
        reported = true;
      }
    }
  }
};

class LinuxTask final : public Task, public std::enable_shared_from_this<LinuxTask> {
 public:
  LinuxTask(TaskOptions options, std::string supervisor)
      : options_(std::move(options)),
        supervisor_(std::move(supervisor)),
        state_(std::make_shared<TaskState>()) {}

  // Does not touch the child: it keeps running, unobserved.
  ~LinuxTask() override { stopWatchingThread(thread_, state_->stopping, state_->wake.get()); }

  void setOutputHandler(OutputHandler handler) override {
    std::lock_guard lock(state_->mutex);
    state_->output = std::move(handler);
  }

  void setTerminationHandler(TerminationHandler handler) override {
    std::lock_guard lock(state_->mutex);
    state_->termination = std::move(handler);
  }

  void setErrorOutputHandler(OutputHandler handler) override {
    std::lock_guard lock(state_->mutex);
    state_->errorOutput = std::move(handler);
  }

  Result<void> launch() override {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->phase != TaskState::Phase::Idle) return systemError(EALREADY);
    }

    // Everything the child uses is built now: after fork it may not allocate.
    Pipe output;
    Pipe errors;
    Pipe status;
    Pipe errorOutput;  // the child's standard error, when somebody reads it
    bool readErrors;
    {
      std::lock_guard lock(state_->mutex);
      readErrors = static_cast<bool>(state_->errorOutput);
    }
    if (const int error = makePipe(output)) return systemError(error);
    if (const int error = makePipe(errors)) return systemError(error);
    if (const int error = makePipe(status)) return systemError(error);
    if (readErrors) {
      if (const int error = makePipe(errorOutput)) return systemError(error);
      const int errorFlags = ::fcntl(errorOutput.read.get(), F_GETFL);
      if (errorFlags < 0 || ::fcntl(errorOutput.read.get(), F_SETFL, errorFlags | O_NONBLOCK) != 0)
        return systemError(errno);
      (void)::fcntl(errorOutput.read.get(), F_SETPIPE_SZ, kPipeSize);  // a hint, as for the output
    }

    // The supervisor runs the runtime: zolven-supervisor STATUS_FD LAUNCHER_PID MODE
    // EXECUTABLE ARGUMENTS...
    std::vector<std::string> arguments;
    arguments.reserve(options_.arguments.size() + 5);
    arguments.push_back(supervisor_);
    arguments.push_back(std::to_string(status.write.get()));
    arguments.push_back(std::to_string(::getpid()));
    arguments.emplace_back(options_.endGroupWithLeader ? ZOLVEN_SUPERVISOR_END_GROUP
                                                       : ZOLVEN_SUPERVISOR_KEEP_GROUP);
    arguments.push_back(options_.executable);
    arguments.insert(arguments.end(), options_.arguments.begin(), options_.arguments.end());
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = options_.environment.toStrings();
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    // Only our end is non-blocking; the child's stays an ordinary blocking stdout.
    const int flags = ::fcntl(output.read.get(), F_GETFL);
    if (flags < 0 || ::fcntl(output.read.get(), F_SETFL, flags | O_NONBLOCK) != 0)
      return systemError(errno);
    // A larger pipe lets a chatty child write on while we frame, with fewer wake-ups on
    // both sides. Only a hint: the system's per-user pipe limits may refuse it.
    (void)::fcntl(output.read.get(), F_SETPIPE_SZ, kPipeSize);
    UniqueFd wake = aboveStandardStreams(UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)));
    if (!wake) return systemError(errno);

    const long openMax = ::sysconf(_SC_OPEN_MAX);
    const ChildPlan plan{.executable = supervisor_.c_str(),
                         .argv = argv.data(),
                         .envp = envp.data(),
                         .directory = options_.currentDirectory.c_str(),
                         .output = output.write.get(),
                         .errors = readErrors ? errorOutput.write.get() : -1,
                         .errorPipe = errors.write.get(),
                         .keep = status.write.get(),
                         .parent = ::getpid(),
                         .openMax = openMax > 0 ? openMax : 65536};

    pid_t pid;
    {
      const BlockedSignals blocked;
      pid = ::fork();
      if (pid < 0) return systemError(errno);
      if (pid == 0) runChild(plan);
    }
    output.write.reset();
    errors.write.reset();
    status.write.reset();
    errorOutput.write.reset();

    UniqueFd pidfd =
        aboveStandardStreams(UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))));
    if (!pidfd) {
      const int error = errno;
      // No pidfd: the pid is still safe to use, since only we can reap this child.
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      return systemError(error);
    }
    // Whatever goes wrong from here on, the supervisor (and so the runtime) must not run on.
    const auto abandon = [&pidfd](int error) {
      sendSignal(pidfd.get(), SIGKILL);
      reap(pidfd.get());
      return systemError(error);
    };

    // End of file: exec closed the child's end. Four bytes: the errno of its failure.
    int childError = 0;
    ssize_t n;
    do {
      n = ::read(errors.read.get(), &childError, sizeof childError);
    } while (n < 0 && errno == EINTR);
    if (n != 0) {
      const int error = n == static_cast<ssize_t>(sizeof childError) ? childError
                        : n < 0                                      ? errno
                                                                     : EIO;
      return abandon(error);
    }

    // The supervisor's first word: the runtime runs, or why it could not start.
    zolven_supervisor_message first{};
    do {
      n = ::read(status.read.get(), &first, sizeof first);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof first)) return abandon(n < 0 ? errno : EIO);
    if (first.kind == ZOLVEN_SUPERVISOR_EXEC_FAILED) return abandon(first.value);
    if (first.kind != ZOLVEN_SUPERVISOR_STARTED) return abandon(EPROTO);
    const int statusFlags = ::fcntl(status.read.get(), F_GETFL);
    if (statusFlags < 0 || ::fcntl(status.read.get(), F_SETFL, statusFlags | O_NONBLOCK) != 0)
      return abandon(errno);

    {
      std::lock_guard lock(state_->mutex);
      state_->pid = static_cast<pid_t>(first.value);
      state_->pidfd = std::move(pidfd);
      state_->wake = std::move(wake);
      state_->out = std::move(output.read);
      state_->err = std::move(errorOutput.read);
      state_->statusChannel = std::move(status.read);
      state_->phase = TaskState::Phase::Running;
    }
    try {
      // Created while every signal is blocked; the thread keeps asynchronous signals
      // blocked so they go to the launcher's own threads.
      const BlockedSignals blocked;
      thread_ = std::thread(
          [state = state_, task = std::weak_ptr<Task>(weak_from_this())] { state->watch(task); });
    } catch (const std::system_error& failure) {
      // Nobody would read or reap the child: it may not run on.
      std::lock_guard lock(state_->mutex);
      sendSignal(state_->pidfd.get(), SIGKILL);
      reap(state_->pidfd.get());
      state_->pidfd.reset();
      state_->wake.reset();
      state_->out.reset();
      state_->err.reset();
      state_->statusChannel.reset();
      state_->pid = -1;
      state_->phase = TaskState::Phase::Idle;
      return systemError(failure.code().value());
    }
    return {};
  }

  int processIdentifier() const override {
    std::lock_guard lock(state_->mutex);
    return state_->pid;
  }

  bool isRunning() const override {
    std::lock_guard lock(state_->mutex);
    return state_->phase == TaskState::Phase::Running;
  }

  // The supervisor signals the runtime's group: only it can tell whether that group is
  // still the runtime's, since only it reaps the runtime.
  void terminate() override {
    std::lock_guard lock(state_->mutex);
    if (state_->phase == TaskState::Phase::Running) sendSignal(state_->pidfd.get(), SIGTERM);
  }

  void kill() override {
    std::lock_guard lock(state_->mutex);
    if (state_->phase == TaskState::Phase::Running) sendSignal(state_->pidfd.get(), SIGUSR1);
  }

  // Without a launched child there is nothing to wait for. On the task's own thread (in
  // a handler) waiting would never end, so it reports the state as it is.
  void waitUntilExit() override {
    std::unique_lock lock(state_->mutex);
    if (mustNotWait()) return;
    state_->finished.wait(lock, [this] { return state_->phase == TaskState::Phase::Finished; });
  }

  bool waitUntilExit(std::chrono::milliseconds timeout) override {
    std::unique_lock lock(state_->mutex);
    if (mustNotWait()) return state_->phase != TaskState::Phase::Running;
    return state_->finished.wait_for(
        lock, timeout, [this] { return state_->phase == TaskState::Phase::Finished; });
  }

  ExitStatus terminationStatus() const override {
    std::lock_guard lock(state_->mutex);
    return state_->status;
  }

 private:
  // Called with the mutex held.
  bool mustNotWait() const {
    return state_->phase == TaskState::Phase::Idle || state_->thread == std::this_thread::get_id();
  }

  const TaskOptions options_;
  const std::string supervisor_;
  const std::shared_ptr<TaskState> state_;
  std::thread thread_;
};

}  // namespace

LinuxTaskFactory::LinuxTaskFactory() : LinuxTaskFactory(modulePath("zolven-supervisor")) {}

LinuxTaskFactory::LinuxTaskFactory(std::string supervisor) : supervisor_(std::move(supervisor)) {}

std::shared_ptr<Task> LinuxTaskFactory::makeTask(TaskOptions options) {
  return std::make_shared<LinuxTask>(std::move(options), supervisor_);
}

}  // namespace zolven::platform
