// Real child processes through the POSIX task.
#include "platform/linux/task.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "results.h"
#include "temp_dir.h"

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace zolven::platform {
namespace {

using namespace std::chrono_literals;
using testsupport::failureOf;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

// Bounds a hang; never paces a test.
constexpr std::chrono::milliseconds kDeadline = 20s;

std::shared_ptr<Task> shellTask(const std::string& script, const std::string& directory = "/",
                                Leftovers leftovers = Leftovers::KeepRunning) {
  return LinuxTaskFactory().makeTask(
      TaskOptions{.executable = "/bin/sh",
                  .arguments = {"-c", script},
                  .currentDirectory = directory,
                  .environment = Environment({{"PATH", "/usr/bin:/bin"}}),
                  .leftovers = leftovers});
}

// Prints the descriptors the shell has open, one per line. The glob opens the directory
// for its own listing and has closed it again by the time the loop runs, so `-e` drops it.
constexpr const char* kListDescriptors =
    "for f in /proc/$$/fd/*; do [ -e \"$f\" ] && echo \"${f##*/}\"; done";

// What a task reports, collected from its thread.
class Recorder {
 public:
  // Runs inside the termination handler, before the recorder counts the termination.
  std::function<void(const std::shared_ptr<Task>&)> onTermination;

  void attach(Task& task) {
    task.setOutputHandler([this](std::string_view chunk) {
      {
        std::lock_guard lock(mutex_);
        chunks_.emplace_back(chunk);
      }
      changed_.notify_all();
    });
    task.setTerminationHandler([this](const std::shared_ptr<Task>& self) {
      if (onTermination) onTermination(self);
      {
        std::lock_guard lock(mutex_);
        ++terminations_;
      }
      changed_.notify_all();
    });
  }

  // Collects the task's standard error instead of its output (no termination handler).
  void attachErrors(Task& task) {
    task.setErrorOutputHandler([this](std::string_view chunk) {
      {
        std::lock_guard lock(mutex_);
        chunks_.emplace_back(chunk);
      }
      changed_.notify_all();
    });
  }

  // True once the empty chunk that ends the output has come.
  bool waitForEnd() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return endsLocked() > 0; });
  }
  // The output up to its first newline, once that has come.
  std::optional<std::string> waitForLine() {
    std::unique_lock lock(mutex_);
    std::string text;
    const bool found = changed_.wait_for(lock, kDeadline, [&] {
      text = outputLocked();
      return text.find('\n') != std::string::npos;
    });
    if (!found) return std::nullopt;
    return text.substr(0, text.find('\n'));
  }

  std::vector<std::string> chunks() const {
    std::lock_guard lock(mutex_);
    return chunks_;
  }
  std::string output() const {
    std::lock_guard lock(mutex_);
    return outputLocked();
  }
  int ends() const {
    std::lock_guard lock(mutex_);
    return endsLocked();
  }
  int terminations() const {
    std::lock_guard lock(mutex_);
    return terminations_;
  }

 private:
  std::string outputLocked() const {
    std::string all;
    for (const std::string& chunk : chunks_) all += chunk;
    return all;
  }
  int endsLocked() const {
    return static_cast<int>(std::count(chunks_.begin(), chunks_.end(), std::string()));
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> chunks_;
  int terminations_ = 0;
};

// Ends a task's whole process group when a test ends, also a failing one, and waits for
// the exit so that no handler outlives the test's locals.
class TaskGuard {
 public:
  explicit TaskGuard(std::shared_ptr<Task> task) : task_(std::move(task)) {}
  ~TaskGuard() {
    task_->stopForGood();
    task_->waitUntilExit(kDeadline);
  }
  TaskGuard(const TaskGuard&) = delete;
  TaskGuard& operator=(const TaskGuard&) = delete;

 private:
  std::shared_ptr<Task> task_;
};

// A process the test must not leave behind. Held through a pidfd, so neither a check nor
// the final SIGKILL can reach another process that reused the pid.
class OwnedProcess {
 public:
  explicit OwnedProcess(pid_t pid) : pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
  ~OwnedProcess() {
    if (!pidfd_) return;
    kill();
    // Reaps it if it is this process's child; for any other process this fails at once.
    siginfo_t info{};
    ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_.get()), &info, WEXITED);
  }
  OwnedProcess(const OwnedProcess&) = delete;
  OwnedProcess& operator=(const OwnedProcess&) = delete;

  bool valid() const { return static_cast<bool>(pidfd_); }
  // A pidfd turns readable when its process has ended, zombie or not.
  bool waitExit(std::chrono::milliseconds timeout) const {
    pollfd fd{.fd = pidfd_.get(), .events = POLLIN, .revents = 0};
    return ::poll(&fd, 1, static_cast<int>(timeout.count())) == 1;
  }
  bool exited() const { return waitExit(0ms); }
  void kill() const { ::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0); }

 private:
  UniqueFd pidfd_;
};

struct PipeEnds {
  UniqueFd read;
  UniqueFd write;
};

PipeEnds makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data.remove_prefix(static_cast<size_t>(n));
  }
}

// Everything written to `fd` until its end; nothing if the end does not come in time.
std::optional<std::string> readToEnd(int fd) {
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  std::string data;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left <= 0ms) return std::nullopt;
    pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return data;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    data.append(buffer, static_cast<size_t>(n));
  }
}

// Runs `body` in a forked copy of this process, which stands in for a launcher: its one
// thread is its main thread, as launch() wants. What `body` returns comes back through
// the pipe; the copy then exits without running anything of the test framework.
pid_t forkHelper(int reportFd, const std::function<std::string()>& body) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  writeAll(reportFd, body());
  ::_exit(0);
}

size_t openDescriptorCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

// True if this process has any child, running or unreaped. Reaps nothing. The tests
// leave no process behind, so any child here is one a task failed to reap.
bool hasChildren() {
  siginfo_t info{};
  return !(::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD);
}

// The hexadecimal value of a "Name:\tvalue" line of /proc/.../status.
std::optional<std::string> statusField(const std::string& status, const std::string& name) {
  const std::string key = "\n" + name + ":\t";
  const size_t start = status.find(key);
  if (start == std::string::npos) return std::nullopt;
  const size_t value = start + key.size();
  return status.substr(value, status.find('\n', value) - value);
}

// ---------------------------------------------------------------------------------------

struct OutputCase {
  const char* name;
  std::string script;
  // Prepares the directory the child runs in and returns what the child will write.
  std::function<std::string(const TempDir&)> expected;
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

class TaskOutput : public testing::TestWithParam<OutputCase> {};

TEST_P(TaskOutput, ChunksAddUpToWhatTheChildWroteAndEndWithOneEmptyChunk) {
  TempDir dir;
  const std::string expected = GetParam().expected(dir);
  Recorder recorder;
  auto task = shellTask(GetParam().script, dir.str());
  recorder.attach(*task);
  TaskGuard guard(task);

  ASSERT_EQ(failureOf(task->launch()), std::nullopt);
  ASSERT_TRUE(task->waitUntilExit(kDeadline));
  ASSERT_TRUE(recorder.waitForEnd());
  EXPECT_EQ(task->terminationStatus().value(), 0);

  const std::vector<std::string> chunks = recorder.chunks();
  ASSERT_FALSE(chunks.empty());
  EXPECT_EQ(chunks.back(), "");
  EXPECT_EQ(recorder.ends(), 1) << "exactly one empty chunk, at the end";
  for (const std::string& chunk : chunks) EXPECT_LE(chunk.size(), size_t{64 * 1024});
  EXPECT_EQ(recorder.output(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TaskOutput,
    testing::Values(OutputCase{"WithoutTrailingNewline", "printf 'no newline'",
                               [](const TempDir&) { return std::string("no newline"); }},
                    OutputCase{"LargerThanOneChunk", "cat data; printf tail",
                               [](const TempDir& dir) {
                                 // Bytes that vary, NULs included, so a lost, doubled or reordered
                                 // piece shows.
                                 std::string data(300000, '\0');
                                 for (size_t i = 0; i < data.size(); ++i)
                                   data[i] = static_cast<char>((i * 7919 + i / 256) % 256);
                                 writeFile(dir.path() / "data", data);
                                 return data + "tail";
                               }},
                    OutputCase{"ManySmallWrites",
                               "i=0; while [ $i -lt 3000 ]; do echo $i; i=$((i+1)); done",
                               [](const TempDir&) {
                                 std::string lines;
                                 for (int i = 0; i < 3000; ++i) lines += std::to_string(i) + "\n";
                                 return lines;
                               }},
                    OutputCase{"Nothing", "exit 0", [](const TempDir&) { return std::string(); }}),
    [](const auto& info) { return std::string(info.param.name); });

struct StatusCase {
  const char* name;
  const char* script;
  int status;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class TaskStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(TaskStatus, IsTheExitCodeOrTheSignalNumber) {
  const size_t descriptorsBefore = openDescriptorCount();
  {
    Recorder recorder;
    std::int64_t statusInHandler = -1;
    bool runningInHandler = true;
    bool handlerGotThisTask = false;
    auto task = shellTask(GetParam().script);
    recorder.onTermination = [&](const std::shared_ptr<Task>& self) {
      handlerGotThisTask = self == task;
      statusInHandler = self->terminationStatus().value();
      runningInHandler = self->isRunning();
    };
    recorder.attach(*task);
    TaskGuard guard(task);

    ASSERT_EQ(failureOf(task->launch()), std::nullopt);
    EXPECT_GT(task->processIdentifier(), 0);
    ASSERT_TRUE(task->waitUntilExit(kDeadline));
    EXPECT_FALSE(task->isRunning());
    EXPECT_EQ(task->terminationStatus().value(), GetParam().status);
    EXPECT_EQ(recorder.terminations(), 1);
    EXPECT_TRUE(handlerGotThisTask);
    EXPECT_EQ(statusInHandler, GetParam().status);
    EXPECT_FALSE(runningInHandler) << "the child is reaped before the handler runs";
    ASSERT_TRUE(recorder.waitForEnd());
  }
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore) << "the task left a descriptor open";
  EXPECT_FALSE(hasChildren());
}

INSTANTIATE_TEST_SUITE_P(Cases, TaskStatus,
                         testing::Values(StatusCase{"Zero", "exit 0", 0},
                                         StatusCase{"Seven", "exit 7", 7},
                                         StatusCase{"Highest", "exit 255", 255},
                                         StatusCase{"Killed", "kill -KILL $$", SIGKILL},
                                         StatusCase{"Terminated", "kill -TERM $$", SIGTERM},
                                         StatusCase{"User1", "kill -USR1 $$", SIGUSR1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinuxTask, TerminateDeliversSigterm) {
  Recorder recorder;
  // The trap makes SIGTERM, and only SIGTERM, end the child with 42. It ends the sleep
  // with SIGKILL: a SIGTERM could reach the sleep's shell before its exec, and be lost.
  auto task =
      shellTask("trap 'kill -KILL $p; exit 42' TERM; sleep 1000 & p=$!; echo ready; wait $p");
  recorder.attach(*task);
  TaskGuard guard(task);
  ASSERT_EQ(failureOf(task->launch()), std::nullopt);
  ASSERT_EQ(recorder.waitForLine(), "ready");
  EXPECT_TRUE(task->isRunning());

  task->terminate();
  ASSERT_TRUE(task->waitUntilExit(kDeadline));
  EXPECT_EQ(task->terminationStatus().value(), 42);
}

TEST(LinuxTask, WaitersWakeOnlyAfterTheTerminationHandlerReturned) {
  std::mutex mutex;
  std::condition_variable changed;
  bool inHandler = false;
  bool release = false;
  bool handlerReturned = false;
  bool handlerHadReturnedWhenWaiterWoke = false;
  std::atomic<bool> waiterWoke{false};

  auto task = shellTask("exit 0");
  task->setOutputHandler([](std::string_view) {});
  task->setTerminationHandler([&](const std::shared_ptr<Task>&) {
    std::unique_lock lock(mutex);
    inHandler = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    handlerReturned = true;
  });
  ASSERT_EQ(failureOf(task->launch()), std::nullopt);

  std::thread waiter([&] {
    task->waitUntilExit();
    std::lock_guard lock(mutex);
    handlerHadReturnedWhenWaiterWoke = handlerReturned;
    waiterWoke = true;
  });
  // Lets the handler return and the waiter finish however the checks below go.
  struct Release {
    std::function<void()> run;
    ~Release() { run(); }
  } releaseAtEnd{[&] {
    {
      std::lock_guard lock(mutex);
      release = true;
    }
    changed.notify_all();
    if (waiter.joinable()) waiter.join();
  }};

  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kDeadline, [&] { return inHandler; }));
  }
  // The handler is held inside: the child is reaped, but nobody may have woken yet.
  EXPECT_FALSE(task->isRunning());
  EXPECT_FALSE(task->waitUntilExit(50ms));
  EXPECT_FALSE(waiterWoke);

  releaseAtEnd.run();
  EXPECT_TRUE(waiterWoke);
  EXPECT_TRUE(handlerHadReturnedWhenWaiterWoke);
  EXPECT_TRUE(task->waitUntilExit(0ms));
}

TEST(LinuxTask, TimedWaitIsFalseWhileTheChildRunsAndTrueAfterItWasKilled) {
  auto task = shellTask("exec sleep 1000");
  Recorder recorder;
  recorder.attach(*task);
  TaskGuard guard(task);
  ASSERT_EQ(failureOf(task->launch()), std::nullopt);

  EXPECT_FALSE(task->waitUntilExit(100ms));
  EXPECT_TRUE(task->isRunning());
  const pid_t pid = task->processIdentifier();
  EXPECT_EQ(failureOf(task->launch()), "Operation already in progress");
  EXPECT_EQ(task->processIdentifier(), pid);
  task->stopForGood();
  ASSERT_TRUE(task->waitUntilExit(kDeadline));
  EXPECT_FALSE(task->isRunning());
  EXPECT_EQ(task->terminationStatus().value(), SIGKILL);
}

TEST(LinuxTask, HandlersRunOnOneThreadOfTheTaskThatLeavesAsynchronousSignalsToOthers) {
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::string blockedInHandler;
  auto task = shellTask("echo out");
  task->setOutputHandler([&](std::string_view) {
    std::lock_guard lock(mutex);
    threads.insert(std::this_thread::get_id());
    blockedInHandler = statusField(readFile("/proc/thread-self/status"), "SigBlk").value_or("");
  });
  task->setTerminationHandler([&](const std::shared_ptr<Task>&) {
    std::lock_guard lock(mutex);
    threads.insert(std::this_thread::get_id());
  });
  TaskGuard guard(task);
  ASSERT_EQ(failureOf(task->launch()), std::nullopt);
  ASSERT_TRUE(task->waitUntilExit(kDeadline));

  std::lock_guard lock(mutex);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  ASSERT_FALSE(blockedInHandler.empty());
  const unsigned long long mask = std::stoull(blockedInHandler, nullptr, 16);
  const auto blocked = [mask](int signal) { return (mask >> (signal - 1)) & 1; };
  EXPECT_TRUE(blocked(SIGINT));
  EXPECT_TRUE(blocked(SIGTERM));
  EXPECT_TRUE(blocked(SIGCHLD));
  EXPECT_FALSE(blocked(SIGSEGV)) << "faults must still reach their handlers";
}

TEST(LinuxTask, ChildLeadsItsOwnProcessGroup) {
  auto task = shellTask("exec sleep 1000");
  Recorder recorder;
  recorder.attach(*task);
  TaskGuard guard(task);
  ASSERT_EQ(failureOf(task->launch()), std::nullopt);
  const pid_t pid = task->processIdentifier();
  // launch() returns once the child has exec'd, so its setpgid is done.
  EXPECT_EQ(::getpgid(pid), pid);
  EXPECT_NE(::getpgid(pid), ::getpgrp());
}

struct GroupSignalCase {
  const char* name;
  void (Task::*stop)();
  int signal;
};

class GroupSignal : public testing::TestWithParam<GroupSignalCase> {};

// Both ways of stopping reach the child's own children too.
TEST_P(GroupSignal, ReachesGrandchildrenToo) {
  Recorder recorder;
  auto task = shellTask("sleep 1000 & echo $!; wait");
  recorder.attach(*task);
  TaskGuard guard(task);
  ASSERT_EQ(failureOf(task->launch()), std::nullopt);
  const std::optional<std::string> line = recorder.waitForLine();
  ASSERT_TRUE(line.has_value());
  OwnedProcess grandchild(std::stoi(*line));
  ASSERT_TRUE(grandchild.valid());
  ASSERT_FALSE(grandchild.exited());

  ((*task).*GetParam().stop)();
  ASSERT_TRUE(task->waitUntilExit(kDeadline));
  EXPECT_EQ(task->terminationStatus().value(), GetParam().signal);
  EXPECT_TRUE(grandchild.waitExit(kDeadline));
}

INSTANTIATE_TEST_SUITE_P(Ways, GroupSignal,
                         testing::Values(GroupSignalCase{"Terminate", &Task::terminate, SIGTERM},
                                         GroupSignalCase{"KillProcessGroup", &Task::stopForGood,
                                                         SIGKILL}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinuxTask, GroupEndedWithItsLeaderLeavesNothingRunning) {
  Recorder recorder;
  // The grandchild ignores SIGTERM and would outlive the leader's own exit.
  auto task = shellTask("trap '' TERM; sleep 1000 & echo $!; exec sleep 1000", "/",
                        Leftovers::EndWithTheChild);
  recorder.attach(*task);
  TaskGuard guard(task);
  ASSERT_EQ(failureOf(task->launch()), std::nullopt);
  const std::optional<std::string> line = recorder.waitForLine();
  ASSERT_TRUE(line.has_value());
  OwnedProcess grandchild(std::stoi(*line));
  ASSERT_TRUE(grandchild.valid());

  task->terminate();  // the leader ignores it too
  EXPECT_FALSE(task->waitUntilExit(std::chrono::milliseconds(0)));
  ASSERT_EQ(::kill(task->processIdentifier(), SIGKILL), 0);  // the leader alone ends
  ASSERT_TRUE(task->waitUntilExit(kDeadline));
  EXPECT_EQ(task->terminationStatus().value(), SIGKILL);
  EXPECT_TRUE(grandchild.waitExit(kDeadline)) << "the grandchild outlived its group's leader";
}

TEST(LinuxTask, ChildGetsExactlyItsArgumentsDirectoryAndEnvironment) {
  TempDir dir;
  const std::filesystem::path work = dir.path() / "work dir";
  std::filesystem::create_directory(work);
  // Non-ASCII UTF-8, split where a hex escape has to end.
  const std::string unicode =
      "\xc3\xbc"
      "n"
      "\xc3\xaf"
      "code";
  // /proc shows argv and the environment exactly as execve received them.
  const std::vector<std::string> arguments = {
      "-c",
      "/bin/cat /proc/$$/cmdline > cmdline && /bin/cat /proc/$$/environ > environ && pwd -P > cwd",
      "zero",
      "one two",
      "",
      "it's \"quoted\" $HOME *",
      "line\nbreak",
      unicode};
  const Environment environment({{"ONLY", "this"},
                                 {"WITH_EQUALS", "a=b=c"},
                                 {"EMPTY", ""},
                                 {"SPACED", " x  y "},
                                 {"A", "last"}});

  auto task = LinuxTaskFactory().makeTask(TaskOptions{.executable = "/bin/sh",
                                                      .arguments = arguments,
                                                      .currentDirectory = work.string(),
                                                      .environment = environment});
  Recorder recorder;
  recorder.attach(*task);
  TaskGuard guard(task);
  ASSERT_EQ(failureOf(task->launch()), std::nullopt);
  ASSERT_TRUE(task->waitUntilExit(kDeadline));
  ASSERT_EQ(task->terminationStatus().value(), 0);

  std::string cmdline = std::string("/bin/sh") + '\0';
  for (const std::string& argument : arguments) cmdline += argument + '\0';
  std::string environBlock;
  for (const std::string& entry : environment.toStrings()) environBlock += entry + '\0';
  EXPECT_EQ(readFile(work / "cmdline"), cmdline);
  EXPECT_EQ(readFile(work / "environ"), environBlock);
  EXPECT_EQ(readFile(work / "cwd"), work.string() + "\n");
}

struct LaunchFailure {
  const char* name;
  std::function<TaskOptions(const TempDir&)> options;
  const char* message;
};

void PrintTo(const LaunchFailure& c, std::ostream* os) { *os << c.name; }

class TaskLaunchFailure : public testing::TestWithParam<LaunchFailure> {};

TEST_P(TaskLaunchFailure, ReportsTheSystemMessageAndLeavesNothingBehind) {
  TempDir dir;
  using std::filesystem::perms;
  writeFile(dir.path() / "not-executable", "#!/bin/sh\nexit 0\n",
            perms::owner_read | perms::owner_write);
  writeFile(dir.path() / "no-interpreter-line", "exit 0\n", perms::owner_all);
  writeFile(dir.path() / "a-file", "");
  const size_t descriptorsBefore = openDescriptorCount();
  {
    Recorder recorder;
    auto task = LinuxTaskFactory().makeTask(GetParam().options(dir));
    recorder.attach(*task);
    EXPECT_EQ(failureOf(task->launch()), std::string(GetParam().message));
    EXPECT_FALSE(task->isRunning());
    EXPECT_EQ(recorder.terminations(), 0);
    EXPECT_TRUE(recorder.chunks().empty());
    EXPECT_FALSE(hasChildren()) << "the failed child must be reaped";
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
  }
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

TaskOptions run(std::string executable, std::string directory) {
  return TaskOptions{.executable = std::move(executable),
                     .arguments = {"-c", "exit 0"},
                     .currentDirectory = std::move(directory),
                     .environment = {}};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TaskLaunchFailure,
    testing::Values(
        LaunchFailure{"NotExecutable",
                      [](const TempDir& d) { return run(d.str("not-executable"), "/"); },
                      "Permission denied"},
        LaunchFailure{"Directory", [](const TempDir& d) { return run(d.str(), "/"); },
                      "Permission denied"},
        LaunchFailure{"Missing", [](const TempDir& d) { return run(d.str("missing"), "/"); },
                      "No such file or directory"},
        // No shell steps in for a file the kernel cannot run.
        LaunchFailure{"NoInterpreterLine",
                      [](const TempDir& d) { return run(d.str("no-interpreter-line"), "/"); },
                      "Exec format error"},
        LaunchFailure{"MissingDirectory",
                      [](const TempDir& d) { return run("/bin/sh", d.str("gone")); },
                      "No such file or directory"},
        LaunchFailure{"DirectoryIsAFile",
                      [](const TempDir& d) { return run("/bin/sh", d.str("a-file")); },
                      "Not a directory"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LinuxTask, ChildHasOnlyStandardInputOutputAndError) {
  // What this process has open without close-on-exec must stay out of the child, low
  // numbers and high ones alike.
  UniqueFd low(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(low);
  UniqueFd high(::fcntl(low.get(), F_DUPFD, 300));
  ASSERT_TRUE(high);
  // Standard input and error pass on even when marked close-on-exec here.
  std::string expected;
  std::vector<std::pair<int, int>> savedFlags;
  for (const int fd : {0, 1, 2}) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (fd != 1 && flags < 0) continue;  // closed here, so closed in the child too
    expected += std::to_string(fd) + "\n";
    if (fd != 1 && flags >= 0) {
      savedFlags.emplace_back(fd, flags);
      ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
  }

  Recorder recorder;
  auto task = shellTask(kListDescriptors);
  recorder.attach(*task);
  TaskGuard guard(task);
  const std::optional<std::string> error = failureOf(task->launch());
  for (const auto& [fd, flags] : savedFlags) ::fcntl(fd, F_SETFD, flags);
  ASSERT_EQ(error, std::nullopt);
  ASSERT_TRUE(recorder.waitForEnd());
  EXPECT_EQ(recorder.output(), expected);
}

TEST(LinuxTask, ChildStartsWithNoBlockedAndNoIgnoredSignals) {
  // At the moment of the launch, this thread blocks some signals and ignores others.
  sigset_t blocked;
  sigset_t savedMask;
  sigemptyset(&blocked);
  for (const int signal : {SIGINT, SIGTERM, SIGUSR1, SIGHUP}) sigaddset(&blocked, signal);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &savedMask), 0);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  std::vector<std::pair<int, struct sigaction>> savedActions;
  for (const int signal : {SIGINT, SIGTERM, SIGUSR2, SIGPIPE}) {
    struct sigaction old {};
    ASSERT_EQ(::sigaction(signal, &ignore, &old), 0);
    savedActions.emplace_back(signal, old);
  }
  struct Restore {
    std::function<void()> run;
    ~Restore() { run(); }
  } restore{[&] {
    for (const auto& [signal, action] : savedActions) ::sigaction(signal, &action, nullptr);
    savedActions.clear();
    ::pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
  }};
  // Without this, the check on the child would prove nothing.
  const std::string own = readFile("/proc/thread-self/status");
  ASSERT_NE(std::stoull(statusField(own, "SigBlk").value_or("0"), nullptr, 16), 0u);
  ASSERT_NE(std::stoull(statusField(own, "SigIgn").value_or("0"), nullptr, 16), 0u);

  // cat as the child itself: no shell that could change its signals in between.
  Recorder recorder;
  auto task = LinuxTaskFactory().makeTask(TaskOptions{.executable = "/bin/cat",
                                                      .arguments = {"/proc/self/status"},
                                                      .currentDirectory = "/",
                                                      .environment = {}});
  recorder.attach(*task);
  TaskGuard guard(task);
  const std::optional<std::string> error = failureOf(task->launch());
  restore.run();
  ASSERT_EQ(error, std::nullopt);
  ASSERT_TRUE(recorder.waitForEnd());

  const std::string status = recorder.output();
  EXPECT_EQ(statusField(status, "SigBlk"), "0000000000000000") << status;
  EXPECT_EQ(statusField(status, "SigIgn"), "0000000000000000") << status;
}

TEST(LinuxTask, ChildDiesWithTheLauncher) {
  PipeEnds report = makePipe();
  ASSERT_TRUE(report.read);
  const pid_t launcherPid = forkHelper(report.write.get(), [&] {
    report.read.reset();
    auto task = shellTask("exec sleep 1000");
    const std::string pid =
        failureOf(task->launch()) ? "failed" : std::to_string(task->processIdentifier());
    writeAll(report.write.get(), pid);
    report.write.reset();
    for (;;) ::pause();  // until the test kills this stand-in launcher
    return std::string();
  });
  ASSERT_GT(launcherPid, 0);
  OwnedProcess launcher(launcherPid);
  report.write.reset();

  const std::optional<std::string> reported = readToEnd(report.read.get());
  ASSERT_TRUE(reported.has_value());
  ASSERT_NE(*reported, "failed");
  // Held before the launcher dies, while the pid can only name that child.
  OwnedProcess child(std::stoi(*reported));
  ASSERT_TRUE(child.valid());
  ASSERT_FALSE(child.exited());

  ASSERT_EQ(::kill(launcherPid, SIGKILL), 0);
  ASSERT_TRUE(launcher.waitExit(kDeadline));
  EXPECT_TRUE(child.waitExit(kDeadline)) << "the child outlived its launcher";
}

TEST(LinuxTask, WorksForALauncherStartedWithClosedStandardStreams) {
  PipeEnds report = makePipe();
  ASSERT_TRUE(report.read);
  const pid_t helperPid = forkHelper(report.write.get(), [&]() -> std::string {
    report.read.reset();
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    ::close(STDERR_FILENO);
    Recorder recorder;
    auto task = shellTask(std::string(kListDescriptors) + "; exit 3");
    recorder.attach(*task);
    if (const auto error = failureOf(task->launch())) return "launch failed: " + *error;
    std::string result;
    // The task's own descriptors must not have taken the free standard numbers here.
    for (const int fd : {0, 1, 2})
      if (::fcntl(fd, F_GETFD) >= 0) result += "fd " + std::to_string(fd) + " taken; ";
    if (!task->waitUntilExit(kDeadline) || !recorder.waitForEnd()) return result + "no end";
    return result + "status " + std::to_string(task->terminationStatus().value()) + ", fds " +
           recorder.output();
  });
  ASSERT_GT(helperPid, 0);
  OwnedProcess helper(helperPid);
  report.write.reset();

  // Only the output pipe is open in the child, as fd 1.
  EXPECT_EQ(readToEnd(report.read.get()), "status 3, fds 1\n");
  EXPECT_TRUE(helper.waitExit(kDeadline));
}

struct ErrorOutputCase {
  const char* name;
  std::string script;
  std::string output;
  std::string errors;
};

void PrintTo(const ErrorOutputCase& c, std::ostream* os) { *os << c.name; }

class TaskErrorOutput : public testing::TestWithParam<ErrorOutputCase> {};

// With an error output handler the child's standard error is a pipe of the task's, read
// beside the output by the same thread: neither holds the other up.
TEST_P(TaskErrorOutput, ComesThroughItsOwnHandler) {
  Recorder output;
  Recorder errors;
  auto task = shellTask(GetParam().script);
  output.attach(*task);
  errors.attachErrors(*task);
  TaskGuard guard(task);
  ASSERT_EQ(failureOf(task->launch()), std::nullopt);
  ASSERT_TRUE(task->waitUntilExit(kDeadline));
  ASSERT_TRUE(output.waitForEnd());
  ASSERT_TRUE(errors.waitForEnd());
  EXPECT_EQ(task->terminationStatus().value(), 4);
  EXPECT_EQ(output.output(), GetParam().output);
  EXPECT_EQ(errors.output(), GetParam().errors);
  EXPECT_EQ(output.ends(), 1);
  EXPECT_EQ(errors.ends(), 1);
  EXPECT_EQ(errors.chunks().back(), "") << "nothing after the end";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TaskErrorOutput,
    testing::Values(
        ErrorOutputCase{"BothStreams",
                        "echo out; echo err >&2; readlink /proc/$$/fd/2 | cut -c1-5 >&2; exit 4",
                        "out\n", "err\npipe:\n"},
        // More than both pipes hold, on standard error first: the reader must take it
        // while the child has not written its output yet.
        ErrorOutputCase{"AFloodBeforeTheOutput",
                        "head -c 3000000 /dev/zero | tr '\\0' x >&2; echo done; exit 4", "done\n",
                        std::string(3000000, 'x')},
        ErrorOutputCase{"NothingOnEither", "exit 4", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The supervisor keeps no copy of the child's standard error: once the child closes it,
// its end comes, though the child runs on.
TEST(LinuxTask, ErrorOutputEndsWhenTheChildClosesIt) {
  Recorder output;
  Recorder errors;
  auto task = shellTask("echo bye >&2; exec 2>&-; echo closed; exec sleep 1000");
  output.attach(*task);
  errors.attachErrors(*task);
  TaskGuard guard(task);
  ASSERT_EQ(failureOf(task->launch()), std::nullopt);
  ASSERT_EQ(output.waitForLine(), "closed");
  ASSERT_TRUE(errors.waitForEnd()) << "somebody else holds the child's standard error";
  EXPECT_EQ(errors.output(), "bye\n");
  EXPECT_TRUE(task->isRunning());
}

TEST(LinuxTask, ReportsTheExitWhileADescendantHoldsTheOutputAndReadsOnToTheEnd) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.str("go").c_str(), 0600), 0);
  Recorder recorder;
  std::string outputAtExit;
  int endsAtExit = -1;
  recorder.onTermination = [&](const std::shared_ptr<Task>&) {
    outputAtExit = recorder.output();
    endsAtExit = recorder.ends();
  };
  // The grandchild keeps the output pipe open and writes once the test lets it.
  auto task = shellTask("(read line < go; echo late) & echo $!; exit 3", dir.str());
  recorder.attach(*task);
  TaskGuard guard(task);
  ASSERT_EQ(failureOf(task->launch()), std::nullopt);
  // The grandchild outlives the reaped leader, out of stopForGood()'s reach. Its
  // group keeps the leader's pid from being reused, so the group can be killed directly.
  struct KillGroup {
    pid_t group;
    ~KillGroup() { ::kill(-group, SIGKILL); }
  } killGroup{task->processIdentifier()};
  ASSERT_TRUE(task->waitUntilExit(kDeadline));
  EXPECT_EQ(task->terminationStatus().value(), 3);

  // What the child wrote came before its exit, and the exit did not wait for the end.
  ASSERT_FALSE(outputAtExit.empty());
  ASSERT_EQ(outputAtExit.back(), '\n');
  OwnedProcess grandchild(std::stoi(outputAtExit));
  ASSERT_TRUE(grandchild.valid());
  EXPECT_EQ(endsAtExit, 0);

  // Read-write: the open cannot block, and the line stays in the fifo until read.
  UniqueFd go(::open(dir.str("go").c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(go);
  writeAll(go.get(), "go\n");
  ASSERT_TRUE(recorder.waitForEnd());
  EXPECT_EQ(recorder.output(), outputAtExit + "late\n");
  EXPECT_EQ(recorder.ends(), 1);
  EXPECT_TRUE(grandchild.waitExit(kDeadline));
}

TEST(LinuxTask, OutputLeftInThePipeAtTheExitIsReportedBeforeTheExit) {
  std::mutex mutex;
  std::condition_variable changed;
  bool childExited = false;
  size_t outputAtExit = 0;
  size_t output = 0;
  // A pipe enlarged by the child holds far more than one read takes; the child fills it
  // and exits while the task's thread is held in the first output handler call.
  constexpr size_t kSize = 300000;
  auto task = shellTask(
      "exec perl -e 'fcntl(STDOUT, 1031, 1 << 20) or die $!; "
      "syswrite(STDOUT, \"y\" x " +
      std::to_string(kSize) + ") == " + std::to_string(kSize) + " or die $!'");
  task->setOutputHandler([&](std::string_view chunk) {
    std::unique_lock lock(mutex);
    output += chunk.size();
    changed.wait(lock, [&] { return childExited; });
  });
  task->setTerminationHandler([&](const std::shared_ptr<Task>&) {
    std::lock_guard lock(mutex);
    outputAtExit = output;
  });
  const auto releaseHandler = [&] {
    {
      std::lock_guard lock(mutex);
      childExited = true;
    }
    changed.notify_all();
  };
  TaskGuard guard(task);
  struct Release {
    std::function<void()> run;
    ~Release() { run(); }
  } releaseAtEnd{releaseHandler};  // before the guard waits for the exit
  ASSERT_EQ(failureOf(task->launch()), std::nullopt);

  // Watched through a pidfd of the test's own, which reaps nothing.
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, task->processIdentifier(), 0)));
  ASSERT_TRUE(pidfd);
  pollfd exited{.fd = pidfd.get(), .events = POLLIN, .revents = 0};
  ASSERT_EQ(::poll(&exited, 1, static_cast<int>(kDeadline.count())), 1);
  releaseHandler();

  ASSERT_TRUE(task->waitUntilExit(kDeadline));
  EXPECT_EQ(task->terminationStatus().value(), 0);
  std::lock_guard lock(mutex);
  EXPECT_EQ(outputAtExit, kSize);
}

TEST(LinuxTask, DestroyingTheTaskWhileTheChildRunsNeitherHangsNorKillsIt) {
  auto task = shellTask("exec sleep 1000");
  Recorder recorder;
  recorder.attach(*task);
  ASSERT_EQ(failureOf(task->launch()), std::nullopt);
  OwnedProcess child(task->processIdentifier());  // killed and reaped at the end
  ASSERT_TRUE(child.valid());

  std::promise<void> destroyed;
  std::thread destroyer([&] {
    task.reset();
    destroyed.set_value();
  });
  const bool done = destroyed.get_future().wait_for(kDeadline) == std::future_status::ready;
  if (!done) child.kill();  // lets a hung destructor finish, so the join below returns
  destroyer.join();
  ASSERT_TRUE(done) << "the destructor hung";
  EXPECT_FALSE(child.exited()) << "the destructor must leave the child alone";

  // Nobody watches the child's supervisor any more: once the child is gone it ends, and
  // it is this process's to reap.
  child.kill();
  EXPECT_TRUE(child.waitExit(kDeadline));
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  while (hasChildren() && std::chrono::steady_clock::now() < until) {
    if (::waitpid(-1, nullptr, WNOHANG) == 0) std::this_thread::sleep_for(5ms);
  }
  EXPECT_FALSE(hasChildren()) << "the supervisor did not end with its child";
}

TEST(LinuxTask, TaskWhoseLastReferenceGoesInItsTerminationHandlerIsDestroyed) {
  std::mutex mutex;
  std::condition_variable changed;
  bool stateGone = false;
  // Lives inside the task's handlers, so it goes when the task's state goes.
  struct Sentinel {
    explicit Sentinel(std::function<void()> onDestroy) : onDestroy(std::move(onDestroy)) {}
    Sentinel(const Sentinel&) = delete;
    Sentinel& operator=(const Sentinel&) = delete;
    ~Sentinel() { onDestroy(); }
    std::function<void()> onDestroy;
  };
  auto sentinel = std::make_shared<Sentinel>([&] {
    std::lock_guard lock(mutex);
    stateGone = true;
    changed.notify_all();
  });

  std::shared_ptr<Task> holder = shellTask("exec sleep 1000");
  const std::weak_ptr<Task> weak = holder;
  std::int64_t statusInHandler = -1;
  holder->setOutputHandler([sentinel](std::string_view) {});
  holder->setTerminationHandler([&holder, &statusInHandler](const std::shared_ptr<Task>& self) {
    statusInHandler = self->terminationStatus().value();
    holder.reset();  // `self` is now the last reference
  });
  sentinel.reset();
  ASSERT_EQ(failureOf(holder->launch()), std::nullopt);
  holder->terminate();  // the test's last use of `holder`; the handler resets it

  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, kDeadline, [&] { return stateGone; }));
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(statusInHandler, SIGTERM);
}

}  // namespace
}  // namespace zolven::platform
