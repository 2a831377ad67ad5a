#include "platform/linux/task.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/linux/leftovers.h"
#include "platform/linux/module.h"
#include "platform/linux/pidfd.h"
#include "platform/linux/supervisor_protocol.h"

namespace zolven::platform {
namespace {

constexpr size_t kChunkSize = 64 * 1024;
constexpr int kPipeSize = 1024 * 1024;
// The supervisor's status pipe, as it sees it.
constexpr int kStatusDescriptor = 3;
// One read of the output takes all that a full pipe holds, so that a chatty child costs a
// read and a wake-up per pipe-full; its handler still gets it in chunks of at most
// kChunkSize. Standard error is read a chunk at a time: its handler writes each chunk to a
// file, and measured larger reads made that slower.
constexpr size_t kReadSize = kPipeSize;
// How long the supervisor has to act on a kill before it is killed itself: it may be
// stopped, or stuck, and a kill must end the runtime whatever its state.
constexpr std::chrono::milliseconds kKillBound{2000};
// How long the runtime's leftovers may take to go, once the supervisor is lost.
constexpr std::chrono::milliseconds kLeftoversBound{5000};

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// Both ends close-on-exec and above the standard streams.
Result<Pipe> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return systemError(errno);
  UniqueFd read(fds[0]);
  UniqueFd write(fds[1]);
  Pipe pipe{.read = aboveStandardStreams(std::move(read)),
            .write = aboveStandardStreams(std::move(write))};
  if (!pipe.read || !pipe.write) return systemError(errno);
  return pipe;
}

// Waits for the child behind `pidfd` and reaps it. Unknown when it cannot be reaped:
// somebody else did, which happens when the launcher ignores SIGCHLD.
ExitStatus reap(int pidfd) {
  siginfo_t info;
  if (!waitForChild(pidfd, WEXITED, info)) return ExitStatus::unknown();
  if (info.si_code == CLD_EXITED) return ExitStatus::exited(info.si_status);
  return ExitStatus::signaled(info.si_status);
}

// The supervisor's start as posix_spawn makes it: the C library starts the child without
// copying the launcher (it shares our memory until its exec, which is what makes the start
// cheap) and reports a failed exec as the call's error. The child gets:
// - its own process group, so that signalling the group reaches whatever it starts;
// - an empty signal mask and every signal at its default action;
// - the output pipes as standard output and error; standard input and error as ours
//   otherwise, handed on even if we marked them close-on-exec (a closed one stays closed),
//   except a terminal as standard input, for which it gets /dev/null;
//   the status pipe as descriptor 3, and no other descriptor of ours;
// - the task's working directory.
// The parent-death signal is the supervisor's own to ask for: it does so first thing, then
// checks that its parent is still the launcher that started it.
class SpawnPlan {
 public:
  SpawnPlan() {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attributes_);
  }
  ~SpawnPlan() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnPlan(const SpawnPlan&) = delete;
  SpawnPlan& operator=(const SpawnPlan&) = delete;

  // `errors` is -1 to hand on our standard error.
  Result<void> prepare(const std::string& directory, int output, int errors, int status) {
    int error = 0;
    const auto step = [&error](int result) {
      if (error == 0) error = result;
    };
    step(::posix_spawn_file_actions_adddup2(&actions_, output, STDOUT_FILENO));
    if (errors >= 0) step(::posix_spawn_file_actions_adddup2(&actions_, errors, STDERR_FILENO));
    // The child runs in a process group of its own, never the terminal's foreground one:
    // its first read of a terminal would stop it (SIGTTIN). It reads nothing instead.
    const bool terminalInput = ::isatty(STDIN_FILENO) == 1;
    if (terminalInput)
      step(::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0));
    for (const int fd : {STDIN_FILENO, STDERR_FILENO}) {
      if (fd == STDERR_FILENO && errors >= 0) continue;
      if (fd == STDIN_FILENO && terminalInput) continue;
      // A descriptor duplicated onto itself loses its close-on-exec flag.
      const int fdFlags = ::fcntl(fd, F_GETFD);
      if (fdFlags >= 0 && (fdFlags & FD_CLOEXEC) != 0)
        step(::posix_spawn_file_actions_adddup2(&actions_, fd, fd));
    }
    step(::posix_spawn_file_actions_addchdir_np(&actions_, directory.c_str()));
    step(::posix_spawn_file_actions_adddup2(&actions_, status, kStatusDescriptor));
    step(::posix_spawn_file_actions_addclosefrom_np(&actions_, kStatusDescriptor + 1));

    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    step(::posix_spawnattr_setsigmask(&attributes_, &none));
    step(::posix_spawnattr_setsigdefault(&attributes_, &all));
    step(::posix_spawnattr_setpgroup(&attributes_, 0));
    step(::posix_spawnattr_setflags(
        &attributes_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    if (error != 0) return systemError(error);
    return {};
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

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

  // Guarded by the mutex: when the supervisor, asked to kill the runtime, is killed itself.
  std::optional<std::chrono::steady_clock::time_point> killDeadline;
  const std::string familyMark;

  // The task is being destroyed: no more handler calls.
  std::atomic<bool> stopping{false};

  explicit TaskState(std::string mark) : familyMark(std::move(mark)) {}

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

  // Milliseconds until the supervisor is to be killed for good: -1 without a kill asked
  // for, 0 once the time has come.
  int untilKillDeadline() {
    std::lock_guard lock(mutex);
    if (!killDeadline) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        *killDeadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
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
      if (::poll(fds, 5, supervisorAlive ? untilKillDeadline() : -1) < 0)
        continue;  // EINTR, or a passing ENOMEM
      if (fds[3].revents != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = ::read(wake.get(), &count, sizeof count);
        if (stopping) return;  // the task is being destroyed; else a kill was asked for
      }
      if (supervisorAlive && untilKillDeadline() == 0) {
        // The supervisor did not act on the kill in time: it goes itself, the runtime
        // with it (its parent-death signal), and what they leave is ended below.
        sendSignal(pidfd.get(), SIGKILL);
        std::lock_guard lock(mutex);
        killDeadline.reset();
      }
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
        // Lost before its last word, it could not end what the runtime left behind:
        // helpers that left the runtime's group and had come to it. They go now, before
        // the exit is told, so that nothing of the runtime outlives its handling.
        if (!reported && !code) endMarkedProcesses(familyMark, kLeftoversBound);
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
        state_(std::make_shared<TaskState>(options_.familyMark)) {}

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

    bool readErrors;
    {
      std::lock_guard lock(state_->mutex);
      readErrors = static_cast<bool>(state_->errorOutput);
    }
    Result<Pipe> madeOutput = makePipe();
    if (!madeOutput) return madeOutput.error();
    Pipe output = std::move(*madeOutput);
    Result<Pipe> madeStatus = makePipe();
    if (!madeStatus) return madeStatus.error();
    Pipe status = std::move(*madeStatus);
    Pipe errorOutput;  // the child's standard error, when somebody reads it
    if (readErrors) {
      Result<Pipe> madeErrors = makePipe();
      if (!madeErrors) return madeErrors.error();
      errorOutput = std::move(*madeErrors);
      const int errorFlags = ::fcntl(errorOutput.read.get(), F_GETFL);
      if (errorFlags < 0 || ::fcntl(errorOutput.read.get(), F_SETFL, errorFlags | O_NONBLOCK) != 0)
        return systemError(errno);
      (void)::fcntl(errorOutput.read.get(), F_SETPIPE_SZ, kPipeSize);  // a hint, as for the output
    }

    // The supervisor runs the runtime: zolven-supervisor STATUS_FD LAUNCHER_PID MODE
    // EXECUTABLE ARGUMENTS... Its status pipe is its descriptor 3.
    std::vector<std::string> arguments;
    arguments.reserve(options_.arguments.size() + 5);
    arguments.push_back(supervisor_);
    arguments.push_back(std::to_string(kStatusDescriptor));
    arguments.push_back(std::to_string(::getpid()));
    arguments.emplace_back(options_.leftovers == Leftovers::EndWithTheChild
                               ? ZOLVEN_SUPERVISOR_END_GROUP
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

    SpawnPlan plan;
    if (Result<void> prepared =
            plan.prepare(options_.currentDirectory, output.write.get(),
                         readErrors ? errorOutput.write.get() : -1, status.write.get());
        !prepared)
      return prepared.error();
    pid_t pid = -1;
    if (const int error = ::posix_spawn(&pid, supervisor_.c_str(), plan.actions(),
                                        plan.attributes(), argv.data(), envp.data()))
      return systemError(error);
    output.write.reset();
    status.write.reset();
    errorOutput.write.reset();

    UniqueFd pidfd = openPidfd(pid);
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

    // The supervisor's first word: the runtime runs, or why it could not start.
    zolven_supervisor_message first{};
    ssize_t n;
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

  // The supervisor kills the runtime's group and what it adopted; if it has not ended
  // within kKillBound (stopped, say), the task's thread kills the supervisor itself.
  void stopForGood() override {
    std::lock_guard lock(state_->mutex);
    if (state_->phase != TaskState::Phase::Running) return;
    sendSignal(state_->pidfd.get(), SIGUSR1);
    if (state_->killDeadline) return;
    state_->killDeadline = std::chrono::steady_clock::now() + kKillBound;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(state_->wake.get(), &one, sizeof one);
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
