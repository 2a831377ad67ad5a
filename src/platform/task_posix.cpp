#include "platform/task_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace platform {
namespace {

constexpr size_t kChunkSize = 64 * 1024;
// After the child's exit, at most this many chunks already in the pipe are read before
// the exit is reported: enough for what the child itself wrote, while a grandchild that
// keeps writing cannot hold the exit back.
constexpr int kDrainChunks = 64;

// Owns one file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Keeps pipe ends off 0..2, which a launcher started with closed standard streams would
// otherwise hand out, and which the child's dup2 would clobber.
Fd aboveStandardStreams(int fd) {
  if (fd > 2) return Fd(fd);
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return Fd(moved);
}

std::string message(int error) { return std::strerror(error); }

[[noreturn]] void failChild(int errorPipe, int error) {
  [[maybe_unused]] const ssize_t ignored = ::write(errorPipe, &error, sizeof error);
  ::_exit(127);
}

// Between fork and exec: async-signal-safe calls only.
[[noreturn]] void execChild(int output, int errorPipe, pid_t parent, const char* directory,
                            const char* executable, char* const* argv, char* const* envp) {
  auto fail = [errorPipe](int error) { failChild(errorPipe, error); };
  // Its own process group, so a quit can reach whatever the runtime starts.
  ::setpgid(0, 0);
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail(errno);
  if (::getppid() != parent) ::_exit(127);  // the launcher died before prctl took hold

  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  if (::dup2(output, STDOUT_FILENO) < 0) fail(errno);
  if (::chdir(directory) != 0) fail(errno);
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    const long max = ::sysconf(_SC_OPEN_MAX);
    for (int fd = 3; fd < (max > 0 ? max : 65536); ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  ::execve(executable, argv, envp);
  failChild(errorPipe, errno);
}

// What the task's thread and the task share; the thread keeps it alive, so a task
// destroyed from inside one of its own handlers leaves the thread nothing dangling.
struct TaskState {
  std::mutex mutex;
  std::condition_variable exited;
  Task::OutputHandler output;
  Task::TerminationHandler termination;
  pid_t pid = -1;
  Fd pidfd;
  Fd out;
  Fd wake;
  bool running = false;
  bool done = false;  // reaped and the termination handler has returned
  int status = 0;

  void deliver(std::string_view chunk) {
    Task::OutputHandler handler;
    {
      std::lock_guard lock(mutex);
      handler = output;
    }
    if (handler) handler(chunk);
  }

  // One read; false once the pipe is at its end.
  bool readOnce(std::vector<char>& buffer) {
    const ssize_t n = ::read(out.get(), buffer.data(), buffer.size());
    if (n > 0) {
      deliver(std::string_view(buffer.data(), static_cast<size_t>(n)));
      return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    deliver({});
    return false;
  }

  bool readableNow() const {
    pollfd fd{.fd = out.get(), .events = POLLIN, .revents = 0};
    return ::poll(&fd, 1, 0) > 0;
  }

  void reap(const std::weak_ptr<Task>& task) {
    {
      std::lock_guard lock(mutex);
      siginfo_t info{};
      while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd.get()), &info,
                      WEXITED) != 0 &&
             errno == EINTR) {
      }
      // si_status is the exit code, or the signal number for a child a signal ended.
      status = info.si_status;
      running = false;
    }
    Task::TerminationHandler handler;
    {
      std::lock_guard lock(mutex);
      handler = termination;
    }
    if (auto self = task.lock(); self && handler) handler(self);
    // Waiters wake only after the handler: whatever it queued comes before them.
    {
      std::lock_guard lock(mutex);
      done = true;
    }
    exited.notify_all();
  }

  void watch(const std::weak_ptr<Task>& task) {
    std::vector<char> buffer(kChunkSize);
    bool outputOpen = true;
    bool childAlive = true;
    while (outputOpen || childAlive) {
      pollfd fds[3] = {{.fd = outputOpen ? out.get() : -1, .events = POLLIN, .revents = 0},
                       {.fd = childAlive ? pidfd.get() : -1, .events = POLLIN, .revents = 0},
                       {.fd = wake.get(), .events = POLLIN, .revents = 0}};
      if (::poll(fds, 3, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[2].revents != 0) return;  // the task is going away
      if (fds[0].revents != 0) outputOpen = readOnce(buffer);
      if (fds[1].revents != 0) {
        for (int i = 0; outputOpen && i < kDrainChunks && readableNow(); ++i)
          outputOpen = readOnce(buffer);
        reap(task);
        childAlive = false;
      }
    }
  }
};

class PosixTask final : public Task, public std::enable_shared_from_this<PosixTask> {
 public:
  explicit PosixTask(TaskOptions options)
      : options_(std::move(options)), state_(std::make_shared<TaskState>()) {}

  ~PosixTask() override {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(state_->wake.get(), &one, sizeof one);
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // dropped inside a handler; the thread holds its own state
    } else {
      thread_.join();
    }
  }

  void setOutputHandler(OutputHandler handler) override {
    std::lock_guard lock(state_->mutex);
    state_->output = std::move(handler);
  }

  void setTerminationHandler(TerminationHandler handler) override {
    std::lock_guard lock(state_->mutex);
    state_->termination = std::move(handler);
  }

  std::optional<std::string> launch() override {
    int outPipe[2];
    int errorPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return message(errno);
    Fd outRead = aboveStandardStreams(outPipe[0]);
    Fd outWrite = aboveStandardStreams(outPipe[1]);
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) return message(errno);
    Fd errorRead = aboveStandardStreams(errorPipe[0]);
    Fd errorWrite = aboveStandardStreams(errorPipe[1]);
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!outRead || !outWrite || !errorRead || !errorWrite || !wake) return message(errno);

    // Everything the child needs is built before fork: after it, no allocation.
    std::vector<std::string> argStrings = {options_.executable};
    argStrings.insert(argStrings.end(), options_.arguments.begin(), options_.arguments.end());
    std::vector<char*> argv;
    for (auto& arg : argStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = options_.environment.toStrings();
    std::vector<char*> envp;
    for (auto& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) return message(errno);
    if (pid == 0) {
      execChild(outWrite.get(), errorWrite.get(), parent, options_.currentDirectory.c_str(),
                options_.executable.c_str(), argv.data(), envp.data());
    }
    outWrite.reset();
    errorWrite.reset();
    Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    const int pidfdError = errno;

    int childError = 0;
    ssize_t n;
    do {
      n = ::read(errorRead.get(), &childError, sizeof childError);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof childError) || !pidfd) {
      if (!pidfd) ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);  // this child only; it never ran the runtime
      return message(pidfd ? childError : pidfdError);
    }

    {
      std::lock_guard lock(state_->mutex);
      state_->pid = pid;
      state_->pidfd = std::move(pidfd);
      state_->out = std::move(outRead);
      state_->wake = std::move(wake);
      state_->running = true;
    }
    thread_ = std::thread([state = state_, task = std::weak_ptr<Task>(shared_from_this())] {
      state->watch(task);
    });
    return std::nullopt;
  }

  int processIdentifier() const override {
    std::lock_guard lock(state_->mutex);
    return state_->pid;
  }

  bool isRunning() const override {
    std::lock_guard lock(state_->mutex);
    return state_->running;
  }

  void terminate() override {
    std::lock_guard lock(state_->mutex);
    // Through the pidfd: it names this child only, never a recycled pid.
    if (state_->running) ::syscall(SYS_pidfd_send_signal, state_->pidfd.get(), SIGTERM, nullptr, 0);
  }

  void killProcessGroup() override {
    std::lock_guard lock(state_->mutex);
    // While the leader is unreaped its pid cannot be reused, so the group is still ours.
    if (state_->running) ::kill(-state_->pid, SIGKILL);
  }

  void waitUntilExit() override {
    std::unique_lock lock(state_->mutex);
    state_->exited.wait(lock, [this] { return state_->done; });
  }

  bool waitUntilExit(std::chrono::milliseconds timeout) override {
    std::unique_lock lock(state_->mutex);
    return state_->exited.wait_for(lock, timeout, [this] { return state_->done; });
  }

  int terminationStatus() const override {
    std::lock_guard lock(state_->mutex);
    return state_->status;
  }

 private:
  const TaskOptions options_;
  std::shared_ptr<TaskState> state_;
  std::thread thread_;
};

}  // namespace

std::shared_ptr<Task> PosixTaskFactory::makeTask(TaskOptions options) {
  return std::make_shared<PosixTask>(std::move(options));
}

}  // namespace platform
