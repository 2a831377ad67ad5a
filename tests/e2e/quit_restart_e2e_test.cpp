// Quitting and starting again from outside, as users, scripts and misbehaving runtimes do
// it: the launcher always ends, exactly one app runs when one should, and nothing the
// runtime started outlives the launcher.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <fstream>

#include "launcher_bundle.h"

namespace {

using namespace testsupport;
using namespace std::chrono_literals;

std::unique_ptr<Process> startWith(
    const LauncherBundle& bundle, const std::vector<std::string>& argv, const std::string& name,
    const std::map<std::string, std::optional<std::string>>& extra = {}) {
  return std::make_unique<Process>(argv, bundle.environment(extra), bundle.dir().str(name + ".out"),
                                   bundle.dir().str(name + ".err"));
}

std::unique_ptr<Process> quitCommand(const LauncherBundle& bundle, const std::string& name) {
  return startWith(bundle, {bundle.executable(), "--quit"}, name);
}

// Two processes that keep both cores busy for as long as they live: races between the
// launcher's threads show far more often on a loaded machine.
struct Load {
  Load(const LauncherBundle& bundle) {
    for (int i = 0; i < 2; ++i)
      hogs.push_back(
          startWith(bundle, {"/bin/sh", "-c", "while :; do :; done"}, "hog" + std::to_string(i)));
  }
  std::vector<std::unique_ptr<Process>> hogs;
};

int threadCount(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return 0;
}

pid_t pidIn(const std::string& file) {
  const std::string text = readFile(file);
  return text.empty() ? 0 : static_cast<pid_t>(std::stol(text));
}

// A runtime that starts a helper in its group which floods standard output with lines
// that are not URLs; once the helper is writing, it prints its URL and either exits at
// once ("exit") or waits to be stopped ("wait").
std::string floodingRuntime(const std::string& then) {
  return std::string(R"sh(#!/bin/sh
r="$ZOLVEN_TEST_RECORD"
echo $$ > "$r/pid"
sh -c 'touch "$1/flooding"; exec yes "not a URL, only a line that fills the pipe"' sh "$r" &
while [ ! -e "$r/flooding" ]; do :; done
printf 'http://127.0.0.1:5/\n'
)sh") + (then == "exit" ? "exit 0\n" : "exec sleep 1000\n");
}

TEST(QuitRestart, LauncherEndsWhileAHelperFloodsTheOutputAsTheRuntimeEnds) {
  for (const std::string then : {"exit", "wait"}) {
    for (int round = 0; round < 20; ++round) {
      SCOPED_TRACE("runtime that does " + then + ", round " + std::to_string(round));
      LauncherBundle bundle;
      bundle.addRuntime("runtime");
      bundle.addNode("runtime", floodingRuntime(then));
      const Load load(bundle);
      auto launcher = bundle.start();
      if (then == "wait") {
        ASSERT_TRUE(waitFor([&] {
          return std::filesystem::exists(bundle.record("flooding")) &&
                 bundle.hasEvent("browser.open.suppressed");
        }));
        launcher->signal(SIGTERM);
      }
      const std::optional<int> status = launcher->waitExit(20s);
      ASSERT_TRUE(status.has_value()) << "the launcher hangs after its runtime ended";
      EXPECT_EQ(*status, 0);
      EXPECT_EQ(bundle.events().back(), "runtime.exited");
    }
  }
}

// A runtime that takes two seconds to stop after SIGTERM, and says when it begins to.
const char* kSlowStoppingRuntime = R"sh(#!/bin/sh
r="$ZOLVEN_TEST_RECORD"
trap 'touch "$r/stopping"; sleep 2; exit 0' TERM
echo $$ > "$r/pid.tmp" && mv "$r/pid.tmp" "$r/pid"
printf 'http://127.0.0.1:5/\n'
sleep 1000 &
wait $!
)sh";

TEST(QuitRestart, StartDuringAQuitRunsTheAppAgainOnceTheOldOneHasEnded) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", kSlowStoppingRuntime);
  auto first = bundle.start({}, "first");
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.suppressed"); }));
  const pid_t firstRuntime = bundle.childPid();

  first->signal(SIGTERM);
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(bundle.record("stopping")); }));
  auto second = bundle.start({}, "second");

  EXPECT_EQ(first->waitExit(), 0);
  ASSERT_TRUE(waitFor([&] { return count(bundle.events(), "browser.open.suppressed") == 2; }))
      << "the later start did not run the app: " << bundle.launcherStderr("second");
  EXPECT_TRUE(second->running()) << "exactly one launcher runs afterwards: the later one";
  EXPECT_NE(bundle.childPid(), firstRuntime);
  EXPECT_TRUE(processRunning(bundle.childPid()));
  EXPECT_FALSE(bundle.hasEvent("launcher.reopened"));
  const auto events = bundle.events();
  const auto firstEnd = std::find(events.begin(), events.end(), "runtime.exited");
  ASSERT_NE(firstEnd, events.end());
  EXPECT_EQ(count(std::vector<std::string>(events.begin(), firstEnd), "runtime.started"), 1)
      << "the later launcher started its runtime before the old one had ended";

  const pid_t secondRuntime = bundle.childPid();
  second->signal(SIGTERM);
  EXPECT_EQ(second->waitExit(), 0);
  EXPECT_TRUE(waitFor([&] { return !processRunning(secondRuntime); }));
}

TEST(QuitRestart, QuitCommandReturnsOnlyOnceTheAppHasEndedAndASecondOneWaitsToo) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", kSlowStoppingRuntime);
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.suppressed"); }));
  const pid_t runtime = bundle.childPid();

  auto quit = quitCommand(bundle, "quit");
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(bundle.record("stopping")); }));
  auto secondQuit = quitCommand(bundle, "quit2");

  EXPECT_EQ(quit->waitExit(), 0) << readFile(bundle.dir().str("quit.err"));
  EXPECT_FALSE(processRunning(runtime)) << "--quit returned while the app was still running";
  EXPECT_EQ(secondQuit->waitExit(), 0) << readFile(bundle.dir().str("quit2.err"));
  EXPECT_FALSE(processRunning(runtime));
  EXPECT_EQ(launcher->waitExit(5s), 0);
  EXPECT_EQ(bundle.events().back(), "runtime.exited");
}

TEST(QuitRestart, HelpersOfTheRuntimeAreGoneAfterTheLauncherIsKilled) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", R"sh(#!/bin/sh
r="$ZOLVEN_TEST_RECORD"
sh -c 'echo $$ > "$1/grouped.tmp" && mv "$1/grouped.tmp" "$1/grouped"; exec sleep 1000' sh "$r" &
setsid sh -c 'echo $$ > "$1/detached.tmp" && mv "$1/detached.tmp" "$1/detached"; exec sleep 1000' sh "$r" &
echo $$ > "$r/pid.tmp" && mv "$r/pid.tmp" "$r/pid"
printf 'http://127.0.0.1:5/\n'
exec sleep 1000
)sh");
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] {
    return std::filesystem::exists(bundle.record("grouped")) &&
           std::filesystem::exists(bundle.record("detached")) &&
           bundle.hasEvent("browser.open.suppressed");
  }));
  const pid_t runtime = bundle.childPid();
  const pid_t grouped = pidIn(bundle.record("grouped"));
  const pid_t detached = pidIn(bundle.record("detached"));
  ASSERT_TRUE(processRunning(grouped));
  ASSERT_TRUE(processRunning(detached));

  launcher->signal(SIGKILL);
  EXPECT_EQ(launcher->waitExit(), 128 + SIGKILL);
  EXPECT_TRUE(waitFor([&] { return !processRunning(runtime); })) << "the runtime outlived it";
  EXPECT_TRUE(waitFor([&] { return !processRunning(grouped); })) << "a helper outlived it";
  EXPECT_TRUE(waitFor([&] { return !processRunning(detached); }))
      << "a helper that left the runtime's session outlived it";
}

TEST(QuitRestart, ThousandsOfReadyLinesWithTheBrowserOnUseFewThreadsAndTheQuitIsPrompt) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", R"sh(#!/bin/sh
r="$ZOLVEN_TEST_RECORD"
echo $$ > "$r/pid"
i=0
while [ $i -lt 3000 ]; do printf 'http://127.0.0.1:5/\n'; i=$((i+1)); done
touch "$r/printed"
exec sleep 1000
)sh");
  // No desktop handler: every open runs the BROWSER command.
  auto launcher =
      bundle.start({{"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", std::nullopt}, {"BROWSER", "/bin/true"}});
  int peak = 0;
  ASSERT_TRUE(waitFor(
      [&] {
        peak = std::max(peak, threadCount(launcher->pid()));
        return std::filesystem::exists(bundle.record("printed")) &&
               count(bundle.events(), "runtime.ready") == 3000;
      },
      120s));
  peak = std::max(peak, threadCount(launcher->pid()));
  EXPECT_LE(peak, 12) << "threads grow with the number of browser opens";
  EXPECT_EQ(count(bundle.events(), "browser.open.requested"), 3000);

  const pid_t runtime = bundle.childPid();
  launcher->signal(SIGTERM);
  EXPECT_EQ(launcher->waitExit(20s), 0) << "opens still queued held up the quit";
  EXPECT_FALSE(processRunning(runtime));
  // The outcome of the open in progress at the quit may come after it.
  EXPECT_TRUE(bundle.hasEvent("runtime.exited"));
}

TEST(QuitRestart, SilentClientsOnTheInstanceSocketDelayNeitherAReopenNorAQuit) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("runtime.started"); }));
  std::string socket;
  ASSERT_TRUE(waitFor([&] {
    for (const auto& entry : std::filesystem::directory_iterator(bundle.dir().str("run/zolven")))
      if (entry.path().extension() == ".sock") socket = entry.path();
    return !socket.empty();
  }));

  std::vector<int> silent;
  for (int i = 0; i < 6; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
    // The socket is bound at the claim and listens once the launch has finished.
    ASSERT_TRUE(waitFor([&] {
      return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }));
    silent.push_back(fd);
  }

  auto reopen = bundle.start({}, "reopen");
  EXPECT_EQ(reopen->waitExit(), 0) << bundle.launcherStderr("reopen");
  EXPECT_TRUE(waitFor([&] { return bundle.hasEvent("launcher.reopened"); }));
  auto quit = quitCommand(bundle, "quit");
  EXPECT_EQ(quit->waitExit(), 0) << readFile(bundle.dir().str("quit.err"));
  EXPECT_EQ(launcher->waitExit(), 0);
  for (const int fd : silent) ::close(fd);
}

// A task limit that makes some process or thread creation fail, at every point of the
// start in turn. The launcher either runs and quits normally, or ends with a message and
// status 1; it never aborts, and leaves no runtime behind.
TEST(QuitRestart, TaskLimitEndsCleanlyWhereverThreadOrProcessCreationFails) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run the launcher as another user";
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  for (const char* tool : {"/usr/bin/prlimit", "/usr/bin/setpriv"})
    if (!std::filesystem::exists(tool)) GTEST_SKIP() << tool << " is part of util-linux";

  // The limit counts every process of the user: each round starts when the last one's
  // processes are all gone.
  const auto processesOf = [](uid_t user) {
    int n = 0;
    for (const ProcessStatus& process : allProcesses()) {
      struct stat info {};
      if (::stat(("/proc/" + std::to_string(process.pid)).c_str(), &info) == 0 &&
          info.st_uid == user)
        ++n;
    }
    return n;
  };
  if (processesOf(nobody->pw_uid) != 0) GTEST_SKIP() << "processes of nobody run already";

  for (int limit = 1; limit <= 8; ++limit) {
    SCOPED_TRACE("nproc " + std::to_string(limit));
    ASSERT_TRUE(waitFor([&] { return processesOf(nobody->pw_uid) == 0; }));
    LauncherBundle bundle;
    bundle.addRuntime("runtime");
    bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid.tmp" && mv "$ZOLVEN_TEST_RECORD/pid.tmp" "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:5/\n'
exec sleep 1000
)sh");
    std::filesystem::permissions(bundle.dir().path(), std::filesystem::perms::all);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(bundle.dir().path()))
      ::lchown(entry.path().c_str(), nobody->pw_uid, nobody->pw_gid);
    ::chown(bundle.dir().str().c_str(), nobody->pw_uid, nobody->pw_gid);

    // LeakSanitizer needs a thread of its own at exit, which the limit would refuse.
    auto launcher =
        startWith(bundle,
                  {"/usr/bin/prlimit", "--nproc=" + std::to_string(limit), "--", "/usr/bin/setpriv",
                   "--reuid=nobody", "--regid=nogroup", "--clear-groups", bundle.executable()},
                  "limited",
                  {{"BROWSER", "/bin/true"},
                   {"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", std::nullopt},
                   {"ASAN_OPTIONS", "detect_leaks=0"}});
    ASSERT_TRUE(waitFor([&] {
      return !launcher->running() || bundle.hasEvent("browser.open.succeeded") ||
             bundle.hasEvent("browser.open.failed");
    }));
    if (launcher->running()) launcher->signal(SIGTERM);
    const std::optional<int> status = launcher->waitExit();
    const std::string errors = readFile(bundle.dir().str("limited.err"));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(*status == 0 || *status == 1) << "status " << *status << ": " << errors;
    EXPECT_EQ(errors.find("terminate"), std::string::npos) << errors;
    if (*status == 1) {
      EXPECT_FALSE(errors.empty()) << "a failure without a word";
    }
    if (bundle.childStarted()) {
      const pid_t runtime = bundle.childPid();
      EXPECT_TRUE(waitFor([&] { return !processRunning(runtime); })) << "runtime left running";
    }
    if (bundle.hasEvent("runtime.started")) {
      EXPECT_TRUE(bundle.hasEvent("runtime.exited"));
    }
  }
}

}  // namespace
