// Real child processes through the POSIX task.
#include "platform/task_posix.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "process.h"
#include "temp_dir.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::waitFor;

// Collects what a task reports, from its thread.
struct Observer {
  std::mutex mutex;
  std::condition_variable changed;
  std::string output;
  int emptyChunks = 0;
  bool terminated = false;
  bool outputEndedBeforeExit = false;

  void attach(Task& task) {
    task.setOutputHandler([this](std::string_view chunk) {
      std::lock_guard lock(mutex);
      if (chunk.empty()) ++emptyChunks;
      output.append(chunk);
      changed.notify_all();
    });
    task.setTerminationHandler([this](const std::shared_ptr<Task>&) {
      std::lock_guard lock(mutex);
      terminated = true;
      changed.notify_all();
    });
  }
  bool waitUntil(const std::function<bool()>& done) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 20s, done);
  }
};

std::shared_ptr<Task> shell(const std::string& script, const std::string& directory = "/") {
  PosixTaskFactory factory;
  return factory.makeTask(TaskOptions{.executable = "/bin/sh",
                                      .arguments = {"-c", script},
                                      .currentDirectory = directory,
                                      .environment = Environment({{"PATH", "/usr/bin:/bin"}})});
}

// Kills a task's whole group when a test ends, also a failing one.
struct Reaper {
  std::shared_ptr<Task> task;
  ~Reaper() {
    if (task) {
      task->killProcessGroup();
      task->waitUntilExit(10s);
    }
  }
};

TEST(PosixTask, DeliversAllOutputThenEndOfFileAndTheExitCode) {
  auto task = shell("head -c 200000 /dev/zero | tr '\\0' x; printf tail; exit 7");
  Observer observer;
  observer.attach(*task);
  Reaper reaper{task};
  ASSERT_EQ(task->launch(), std::nullopt);
  EXPECT_GT(task->processIdentifier(), 0);
  task->waitUntilExit();
  EXPECT_FALSE(task->isRunning());
  EXPECT_EQ(task->terminationStatus(), 7);
  ASSERT_TRUE(observer.waitUntil([&] { return observer.emptyChunks == 1; }));
  EXPECT_EQ(observer.output, std::string(200000, 'x') + "tail");
}

TEST(PosixTask, OutputWrittenBeforeExitArrivesBeforeTheExit) {
  // A grandchild keeps the pipe open, so only the drain before the exit can bring it.
  auto task = shell("printf 'http://127.0.0.1:1/\\n'; sleep 30 & exit 0");
  std::string seenAtExit;
  std::mutex mutex;
  std::string output;
  task->setOutputHandler([&](std::string_view chunk) {
    std::lock_guard lock(mutex);
    output.append(chunk);
  });
  task->setTerminationHandler([&](const std::shared_ptr<Task>&) {
    std::lock_guard lock(mutex);
    seenAtExit = output;
  });
  Reaper reaper{task};
  ASSERT_EQ(task->launch(), std::nullopt);
  task->waitUntilExit();
  EXPECT_EQ(seenAtExit, "http://127.0.0.1:1/\n");
  ::kill(-task->processIdentifier(), SIGKILL);  // the sleeping grandchild
}

TEST(PosixTask, SignalNumberIsTheStatusOfAKilledChild) {
  auto task = shell("kill -KILL $$");
  Reaper reaper{task};
  ASSERT_EQ(task->launch(), std::nullopt);
  task->waitUntilExit();
  EXPECT_EQ(task->terminationStatus(), SIGKILL);
}

TEST(PosixTask, TerminateSendsSigterm) {
  TempDir dir;
  auto task = shell("trap 'exit 42' TERM; touch ready; while :; do sleep 0.05; done", dir.str());
  Reaper reaper{task};
  ASSERT_EQ(task->launch(), std::nullopt);
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(dir.str("ready")); }));
  EXPECT_TRUE(task->isRunning());
  EXPECT_FALSE(task->waitUntilExit(50ms));
  task->terminate();
  ASSERT_TRUE(task->waitUntilExit(20s));
  EXPECT_EQ(task->terminationStatus(), 42);
  task->terminate();  // after the exit: nothing to signal, nothing happens
}

TEST(PosixTask, WaitersWakeOnlyAfterTheTerminationHandlerReturned) {
  auto task = shell("exit 0");
  std::atomic<bool> handlerReturned{false};
  task->setTerminationHandler([&](const std::shared_ptr<Task>&) {
    std::this_thread::sleep_for(100ms);  // widens the window a wrong order would show in
    handlerReturned = true;
  });
  Reaper reaper{task};
  ASSERT_EQ(task->launch(), std::nullopt);
  task->waitUntilExit();
  EXPECT_TRUE(handlerReturned);
}

TEST(PosixTask, KillProcessGroupReachesGrandchildren) {
  TempDir dir;
  auto task = shell("sleep 1000 & echo $! > grandchild; wait", dir.str());
  Reaper reaper{task};
  ASSERT_EQ(task->launch(), std::nullopt);
  ASSERT_TRUE(waitFor([&] { return !readFile(dir.str("grandchild")).empty(); }));
  const pid_t grandchild = std::stoi(readFile(dir.str("grandchild")));
  task->killProcessGroup();
  ASSERT_TRUE(task->waitUntilExit(20s));
  EXPECT_EQ(task->terminationStatus(), SIGKILL);
  EXPECT_TRUE(waitFor([&] { return !testsupport::processExists(grandchild); }));
}

TEST(PosixTask, ChildGetsExactlyItsArgumentsDirectoryAndEnvironment) {
  TempDir dir;
  PosixTaskFactory factory;
  auto task = factory.makeTask(TaskOptions{
      .executable = "/bin/sh",
      .arguments = {"-c", "printf '%s|' \"$0\" \"$1\" > args; pwd > cwd; env > env", "one two",
                    "it's \"quoted\""},
      .currentDirectory = dir.str(),
      .environment = Environment({{"ONLY", "this"}, {"PATH", "/bin"}})});
  Reaper reaper{task};
  ASSERT_EQ(task->launch(), std::nullopt);
  task->waitUntilExit();
  ASSERT_EQ(task->terminationStatus(), 0);
  EXPECT_EQ(readFile(dir.str("args")), "one two|it's \"quoted\"|");
  EXPECT_EQ(readFile(dir.str("cwd")), dir.str() + "\n");
  const std::string env = readFile(dir.str("env"));
  EXPECT_NE(env.find("ONLY=this\n"), std::string::npos);
  EXPECT_EQ(env.find("HOME="), std::string::npos) << "nothing inherited beyond the options";
}

struct LaunchErrorCase {
  const char* name;
  std::function<TaskOptions(const TempDir&)> options;
  const char* message;
};

class LaunchError : public testing::TestWithParam<LaunchErrorCase> {};

TEST_P(LaunchError, ReportsTheSystemMessage) {
  TempDir dir;
  testsupport::writeFile(dir.str("not-executable"), "#!/bin/sh\n");
  PosixTaskFactory factory;
  auto task = factory.makeTask(GetParam().options(dir));
  EXPECT_EQ(task->launch(), std::string(GetParam().message));
  EXPECT_FALSE(task->isRunning());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LaunchError,
    testing::Values(
        LaunchErrorCase{"NotExecutable",
                        [](const TempDir& d) {
                          return TaskOptions{.executable = d.str("not-executable"), .currentDirectory = "/"};
                        },
                        "Permission denied"},
        LaunchErrorCase{"Missing",
                        [](const TempDir& d) {
                          return TaskOptions{.executable = d.str("missing"), .currentDirectory = "/"};
                        },
                        "No such file or directory"},
        LaunchErrorCase{"MissingDirectory",
                        [](const TempDir& d) {
                          return TaskOptions{.executable = "/bin/true", .currentDirectory = d.str("gone")};
                        },
                        "No such file or directory"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PosixTask, ChildHasOnlyItsStandardStreamsAndCleanSignalState) {
  TempDir dir;
  // Things a launcher has that must not reach the child: an open descriptor without
  // close-on-exec, a blocked signal and an ignored one.
  const int leaked = ::open("/dev/null", O_RDONLY);
  sigset_t block, saved;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &block, &saved);
  struct sigaction ignore {}, savedInt {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGINT, &ignore, &savedInt);

  PosixTaskFactory factory;
  // ls lists its own descriptors: /proc/self/fd as seen by ls, without a shell between.
  auto fds = factory.makeTask(TaskOptions{.executable = "/bin/ls", .arguments = {"/proc/self/fd"},
                                          .currentDirectory = "/", .environment = {}});
  auto status = factory.makeTask(TaskOptions{.executable = "/bin/cat", .arguments = {"/proc/self/status"},
                                             .currentDirectory = "/", .environment = {}});
  Observer fdOutput, statusOutput;
  fdOutput.attach(*fds);
  statusOutput.attach(*status);
  Reaper r1{fds}, r2{status};
  ASSERT_EQ(fds->launch(), std::nullopt);
  ASSERT_EQ(status->launch(), std::nullopt);

  ::sigaction(SIGINT, &savedInt, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  ::close(leaked);

  ASSERT_TRUE(fdOutput.waitUntil([&] { return fdOutput.emptyChunks == 1; }));
  ASSERT_TRUE(statusOutput.waitUntil([&] { return statusOutput.emptyChunks == 1; }));
  // 0, 1, 2 and the one ls opened to read the directory.
  EXPECT_EQ(fdOutput.output, "0\n1\n2\n3\n");
  EXPECT_NE(statusOutput.output.find("SigBlk:\t0000000000000000\n"), std::string::npos);
  EXPECT_NE(statusOutput.output.find("SigIgn:\t0000000000000000\n"), std::string::npos);
}

TEST(PosixTask, DestroyingTheTaskWhileTheChildRunsDoesNotHang) {
  auto task = shell("sleep 1000");
  ASSERT_EQ(task->launch(), std::nullopt);
  const pid_t pid = task->processIdentifier();
  task.reset();
  ::kill(-pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

TEST(PosixTask, ChildDiesWithItsLauncher) {
  TempDir dir;
  // A launcher stand-in: a forked copy of this test that starts a task and is killed.
  const pid_t launcher = ::fork();
  ASSERT_GE(launcher, 0);
  if (launcher == 0) {
    auto task = shell("echo $$ > " + dir.str("child.tmp") + " && mv " + dir.str("child.tmp") + " " +
                      dir.str("child") + "; exec sleep 1000");
    if (task->launch()) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(dir.str("child")); }));
  const pid_t child = std::stoi(readFile(dir.str("child")));
  ASSERT_TRUE(testsupport::processExists(child));
  ::kill(launcher, SIGKILL);
  ::waitpid(launcher, nullptr, 0);
  EXPECT_TRUE(waitFor([&] { return !testsupport::processExists(child); })) << "orphaned runtime";
}

}  // namespace
}  // namespace platform
