// The built launcher under faults and load: runtimes that misbehave, a log that goes
// away, hostile output, crowds of later starts, a launcher killed at random, and long
// runs. Nothing may be lost, left running, or half written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <algorithm>
#include <fstream>
#include <random>

#include "launcher_bundle.h"

namespace {

using namespace testsupport;
using Events = std::vector<std::string>;

// Every line of the log is a whole JSON record.
void expectWholeLog(const LauncherBundle& bundle) {
  std::istringstream lines(readFile(bundle.logFile()));
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    EXPECT_TRUE(nlohmann::json::accept(line)) << "line " << number << ": " << line;
  }
  const std::string text = readFile(bundle.logFile());
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "the log ends in a half line";
}

// Processes whose process group is `group`: what a runtime left running.
std::vector<pid_t> groupMembers(pid_t group) {
  std::vector<pid_t> members;
  for (const ProcessStatus& process : allProcesses())
    if (process.group == group && process.state != 'Z') members.push_back(process.pid);
  return members;
}

// A runtime that waits for the test's go before it prints its URL.
const char* kRuntimeWaitingForGo = R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
while [ ! -e "$ZOLVEN_TEST_RECORD/go" ]; do sleep 0.01; done
printf 'http://127.0.0.1:5/\n'
exec sleep 1000
)sh";

TEST(Faults, RuntimeCrashingBeforeReadyEndsInTheAlert) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", "#!/bin/sh\nprintf 'starting\\n'\nkill -SEGV $$\n");
  auto launcher = bundle.start();
  EXPECT_EQ(launcher->waitExit(), 1);
  const auto events = bundle.events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2], "runtime.exited");
  EXPECT_EQ(bundle.records()[events.size() - 2]["detail"], "status=11");
  EXPECT_EQ(events.back(), "launcher.failed");
}

TEST(Faults, RuntimeThatClosesItsOutputAndLivesOnStillQuitsCleanly) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:5/\n'
exec >&-
echo closed > "$ZOLVEN_TEST_RECORD/closed"
exec sleep 1000
)sh");
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] {
    return std::filesystem::exists(bundle.record("closed")) &&
           bundle.hasEvent("browser.open.suppressed");
  }));
  EXPECT_TRUE(launcher->running());
  quitAndExpectCleanEnd(bundle, *launcher);
  EXPECT_EQ(bundle.events().back(), "runtime.exited");
  EXPECT_FALSE(bundle.hasEvent("launcher.failed"));
}

TEST(Faults, RuntimesOwnChildrenAreGoneAfterAQuit) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  // Two helpers, one of which ignores SIGTERM.
  bundle.addNode("runtime", R"sh(#!/bin/sh
sleep 1000 &
(trap '' TERM; exec sleep 1000) &
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:5/\n'
wait
)sh");
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.ready"); }));
  const pid_t group = bundle.childPid();
  ASSERT_TRUE(waitFor([&] { return groupMembers(group).size() >= 3; }));
  quitAndExpectCleanEnd(bundle, *launcher);
  EXPECT_TRUE(waitFor([&] { return groupMembers(group).empty(); }))
      << "left running: " << testing::PrintToString(groupMembers(group));
}

// --- The supervisor between the launcher and its runtime, lost or stopped ---

// The parent of `pid`, as the process table gives it; 0 when it is gone.
pid_t parentOf(pid_t pid) {
  for (const ProcessStatus& process : allProcesses())
    if (process.pid == pid) return process.parent;
  return 0;
}

// A runtime with two helpers: a plain child, and a daemon that left its session and whose
// parent is gone. The browser (BROWSER) leaves a daemon of its own, which is the user's.
const char* kRuntimeWithHelpers = R"sh(#!/bin/sh
sleep 1000 &
echo $! > "$ZOLVEN_TEST_RECORD/helper"
setsid sh -c 'sleep 1000 & echo $! > "$ZOLVEN_TEST_RECORD/daemon.tmp"' &
wait $!
mv "$ZOLVEN_TEST_RECORD/daemon.tmp" "$ZOLVEN_TEST_RECORD/daemon"
echo $$ > "$ZOLVEN_TEST_RECORD/pid.tmp" && mv "$ZOLVEN_TEST_RECORD/pid.tmp" "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:5/\n'
exec sleep 1000
)sh";

const char* kBrowserLeavingADaemon = R"sh(#!/bin/sh
setsid sh -c 'sleep 1000 & echo $! > "$ZOLVEN_TEST_RECORD/browser-daemon.tmp"' &
wait $!
mv "$ZOLVEN_TEST_RECORD/browser-daemon.tmp" "$ZOLVEN_TEST_RECORD/browser-daemon"
)sh";

class LostSupervisor : public testing::Test {
 protected:
  void SetUp() override {
    bundle.addRuntime("runtime");
    bundle.addNode("runtime", kRuntimeWithHelpers);
    writeFile(bundle.dir().str("browser"), kBrowserLeavingADaemon,
              std::filesystem::perms::owner_all);
  }
  void TearDown() override {
    for (const char* name : {"helper", "daemon", "browser-daemon"})
      if (std::filesystem::exists(bundle.record(name)))
        ::kill(std::stoi(readFile(bundle.record(name))), SIGKILL);
  }

  // Starts the launcher with a browser that is opened, and waits until the runtime, its
  // helpers and the browser's daemon all run. Returns the supervisor's pid.
  pid_t startAndWaitForEveryone(std::unique_ptr<Process>& launcher) {
    launcher = bundle.start({{"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", std::nullopt},
                             {"BROWSER", bundle.dir().str("browser")}});
    EXPECT_TRUE(waitFor([&] {
      return bundle.childStarted() && std::filesystem::exists(bundle.record("browser-daemon")) &&
             bundle.hasEvent("browser.open.succeeded");
    })) << bundle.launcherStderr();
    const pid_t supervisor = parentOf(bundle.childPid());
    EXPECT_NE(supervisor, launcher->pid());
    EXPECT_EQ(parentOf(supervisor), launcher->pid());
    return supervisor;
  }

  pid_t recorded(const char* name) const { return std::stoi(readFile(bundle.record(name))); }

  // Once the launcher has ended, nothing of the runtime runs, and the browser's daemon does.
  void expectRuntimeGoneAndBrowserKept() {
    for (const char* name : {"helper", "daemon"})
      EXPECT_FALSE(processRunning(recorded(name))) << "the runtime's " << name << " lives on";
    EXPECT_FALSE(processRunning(bundle.childPid())) << "the runtime lives on";
    EXPECT_TRUE(processRunning(recorded("browser-daemon"))) << "the browser's daemon was ended";
  }

  LauncherBundle bundle;
};

TEST_F(LostSupervisor, KilledSupervisorTakesTheRuntimesHelpersAlongButNotTheBrowsers) {
  std::unique_ptr<Process> launcher;
  const pid_t supervisor = startAndWaitForEveryone(launcher);
  ASSERT_FALSE(HasFatalFailure());
  ::kill(supervisor, SIGKILL);
  EXPECT_EQ(launcher->waitExit(), 1) << "a lost runtime is a failure";
  EXPECT_EQ(bundle.events().back(), "launcher.failed");
  expectRuntimeGoneAndBrowserKept();
}

TEST_F(LostSupervisor, StoppedSupervisorStillLetsTheQuitEndAfterTheGrace) {
  std::unique_ptr<Process> launcher;
  const pid_t supervisor = startAndWaitForEveryone(launcher);
  ASSERT_FALSE(HasFatalFailure());
  ::kill(supervisor, SIGSTOP);
  launcher->signal(SIGTERM);
  // The grace (10 s), then a short bound for the supervisor to act on the kill.
  EXPECT_EQ(launcher->waitExit(std::chrono::seconds(40)), 0) << "the quit never ended";
  expectRuntimeGoneAndBrowserKept();
  EXPECT_FALSE(bundle.hasEvent("launcher.failed"));
}

TEST(Faults, LogDirectoryDeletedMidRunIsMadeAgain) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", kRuntimeWaitingForGo);
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));
  std::filesystem::remove_all(bundle.dir().str("logs"));
  writeFile(bundle.record("go"), "");
  // The last record compared is the one waited for: the first may be written alone.
  ASSERT_TRUE(waitFor([&] {
    return std::filesystem::exists(bundle.logFile()) && bundle.hasEvent("browser.open.suppressed");
  }));
  EXPECT_EQ(bundle.events(), (Events{"runtime.ready", "browser.open.suppressed"}));
  EXPECT_EQ(
      std::filesystem::status(bundle.dir().str("logs")).permissions() & std::filesystem::perms::all,
      std::filesystem::perms::owner_all);
  quitAndExpectCleanEnd(bundle, *launcher);
}

TEST(Faults, LogDirectoryReplacedByAFileLosesRecordsButNotTheLauncher) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", kRuntimeWaitingForGo);
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));
  std::filesystem::remove_all(bundle.dir().str("logs"));
  writeFile(bundle.dir().str("logs"), "not a directory\n");
  writeFile(bundle.record("go"), "");
  // The ready URL still reaches the terminal; its records are lost without a fuss.
  ASSERT_TRUE(waitFor([&] { return bundle.launcherStdout() == "http://127.0.0.1:5/\n"; }));
  EXPECT_TRUE(launcher->running());
  EXPECT_EQ(readFile(bundle.dir().str("logs")), "not a directory\n");
  quitAndExpectCleanEnd(bundle, *launcher);
}

// A rotation waits for no one: with the log due for rotation and its folder's lock held
// elsewhere (another launcher stopped half way through rotating), records are appended
// to the full log, and the first record after the lock is let go rotates it.
TEST(Faults, HeldRotationLockDelaysTheRotationButNotTheLauncher) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:5/\n'
exec sleep 1000
)sh");
  // A log a few bytes short of its 1 MiB limit: the launcher's first record is due to rotate it.
  constexpr size_t kLimit = 1024 * 1024;
  const std::string earlier = R"({"at":"2026-12-10T12:00:00.000Z","event":"earlier.run"})"
                              "\n";
  std::string full;
  while (full.size() + earlier.size() <= kLimit - 8) full += earlier;
  writeFile(bundle.logFile(), full);
  const int folder = ::open(bundle.dir().str("logs").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0);
  ASSERT_EQ(::flock(folder, LOCK_EX), 0);

  auto launcher = bundle.start();
  const bool ready = waitFor([&] {
    return bundle.launcherStdout() == "http://127.0.0.1:5/\n" &&
           bundle.hasEvent("browser.open.suppressed");
  });
  EXPECT_TRUE(ready) << "the launcher waited for the lock";
  EXPECT_FALSE(std::filesystem::exists(bundle.logFile() + ".1"));
  EXPECT_TRUE(readFile(bundle.logFile()).starts_with(full));

  ::close(folder);  // lets the lock go
  if (!ready) {
    ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.suppressed"); }));
  }
  EXPECT_EQ(bundle.start({}, "-r")->waitExit(), 0);  // a reopen: more records
  ASSERT_TRUE(waitFor([&] {
    return std::filesystem::exists(bundle.logFile() + ".1") && bundle.hasEvent("launcher.reopened");
  }));
  const Events older = bundle.events(bundle.logFile() + ".1");
  EXPECT_EQ(count(older, "earlier.run"), static_cast<long>(full.size() / earlier.size()));
  EXPECT_EQ(count(older, "browser.open.suppressed"), 1);
  EXPECT_EQ(bundle.events().front(), "launcher.reopened");
  quitAndExpectCleanEnd(bundle, *launcher);
  expectWholeLog(bundle);
}

// Launchers of several bundles logging to one launcher.log at once, their records
// crossing many of the file's page boundaries, in several rounds: every line is one
// whole record (none empty, none glued to another) and none is missing.
TEST(Faults, SeveralLaunchersSharingOneLogLeaveOnlyWholeLines) {
  constexpr int kLaunchers = 3;
  constexpr int kReadyLines = 1000;  // two records each: about 190 kB a launcher
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    TempDir shared;
    const std::string logs = shared.str("logs");
    std::vector<std::unique_ptr<LauncherBundle>> bundles;
    std::vector<std::unique_ptr<Process>> launchers;
    for (int i = 0; i < kLaunchers; ++i) {
      auto& bundle = *bundles.emplace_back(std::make_unique<LauncherBundle>());
      bundle.addRuntime("runtime");
      bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
i=1; while [ $i -le 1000 ]; do printf 'http://127.0.0.1:%d/\n' $i; i=$((i+1)); done
exec sleep 1000
)sh");
      launchers.push_back(bundle.start({{"ZOLVEN_LOG_ROOT", logs}}));
    }
    const std::string file = logs + "/launcher.log";
    const auto countOf = [&](const std::string& event) {
      const std::string text = readFile(file);
      const std::string member = "\"event\":\"" + event + "\"";
      long n = 0;
      for (size_t at = text.find(member); at != std::string::npos; at = text.find(member, at + 1))
        ++n;
      return n;
    };
    ASSERT_TRUE(
        waitFor([&] { return countOf("browser.open.suppressed") == kLaunchers * kReadyLines; },
                std::chrono::seconds(120)));
    for (int i = 0; i < kLaunchers; ++i) quitAndExpectCleanEnd(*bundles[i], *launchers[i]);

    std::istringstream lines(readFile(file));
    int number = 0, empty = 0;
    for (std::string line; std::getline(lines, line);) {
      ++number;
      if (line.empty()) {
        ++empty;
        continue;
      }
      EXPECT_TRUE(nlohmann::json::accept(line)) << "line " << number << ": " << line;
    }
    EXPECT_EQ(empty, 0) << "empty lines in " << number;
    EXPECT_EQ(countOf("runtime.ready"), kLaunchers * kReadyLines);
    EXPECT_FALSE(std::filesystem::exists(file + ".1"));
  }
}

TEST(Faults, FloodWithoutLineFeedsKeepsMemoryBoundedAndTheNextReadyLineCounts) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  // 64 MiB in one line, then a ready line.
  bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
head -c 67108864 /dev/zero | tr '\0' 'x'
printf '\nhttp://127.0.0.1:6/\n'
exec sleep 1000
)sh");
  // The sanitizer keeps freed memory in quarantine; keep that small so the figure shows
  // what the launcher holds.
  const char* asan = std::getenv("ASAN_OPTIONS");
  auto launcher = bundle.start(
      {{"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=1"}});
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("runtime.ready"); }, std::chrono::seconds(120)));
  EXPECT_EQ(bundle.records()[3]["url"], "http://127.0.0.1:6/");
  // The over-long line is held at most to its 1 MiB bound; the rest is sanitizer overhead.
  std::ifstream status("/proc/" + std::to_string(launcher->pid()) + "/status");
  long peakKiB = -1;
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) peakKiB = std::stol(line.substr(6));
  EXPECT_GT(peakKiB, 0);
  EXPECT_LT(peakKiB, 48 * 1024) << "the launcher held the flood";
  quitAndExpectCleanEnd(bundle, *launcher);
}

TEST(Faults, InvalidUtf8EverywhereIsDroppedAndTheLogStaysWhole) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf '\377\376\375\n\300\257http://127.0.0.1:1/\nhttp://127.0.0.1:2/\355\240\200\n'
printf 'http://127.0.0.1:3/\342\200\n'
head -c 100000 /dev/urandom | tr -d '\n'
printf '\nhttp://127.0.0.1:4/\n'
exec sleep 1000
)sh");
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("runtime.ready"); }));
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.suppressed"); }));
  const auto events = bundle.events();
  EXPECT_EQ(count(events, "runtime.ready"), 1);
  const auto records = bundle.records();
  EXPECT_EQ(records[3]["url"], "http://127.0.0.1:4/");
  quitAndExpectCleanEnd(bundle, *launcher);
  expectWholeLog(bundle);
}

TEST(Faults, HundredLaterStartsAtOnceLeaveOneLauncherAndAreAllLogged) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  auto first = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));
  constexpr int kStarts = 100;
  std::vector<std::unique_ptr<Process>> later;
  for (int i = 0; i < kStarts; ++i) later.push_back(bundle.start({}, "-" + std::to_string(i)));
  int handedOver = 0;
  for (auto& start : later)
    if (start->waitExit(std::chrono::seconds(120)) == 0) ++handedOver;
  EXPECT_EQ(handedOver, kStarts);
  ASSERT_TRUE(waitFor([&] { return count(bundle.events(), "browser.open.skipped") == kStarts; }));
  const auto events = bundle.events();
  EXPECT_EQ(count(events, "launcher.reopened"), kStarts);
  EXPECT_EQ(count(events, "launcher.started"), 1);
  EXPECT_TRUE(first->running());
  quitAndExpectCleanEnd(bundle, *first);
  expectWholeLog(bundle);
}

TEST(Faults, LauncherKilledAtRandomPointsNeverOrphansItsRuntimeNorHalfWritesTheLog) {
  std::mt19937 random(20261210);
  for (int round = 0; round < 15; ++round) {
    SCOPED_TRACE(round);
    LauncherBundle bundle;
    bundle.addRuntime("runtime");
    bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid.tmp" && mv "$ZOLVEN_TEST_RECORD/pid.tmp" "$ZOLVEN_TEST_RECORD/pid"
i=0; while [ $i -lt 50 ]; do printf 'http://127.0.0.1:%d/\n' $i; i=$((i+1)); done
exec sleep 1000
)sh");
    auto launcher = bundle.start();
    // Fault injection: the kill lands anywhere from start-up to well after the ready lines.
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<>(0, 150)(random)));
    launcher->signal(SIGKILL);
    launcher->waitExit();
    if (bundle.childStarted()) {
      const pid_t child = bundle.childPid();
      EXPECT_TRUE(waitFor([&] { return !processRunning(child); })) << "orphaned runtime " << child;
    }
    if (std::filesystem::exists(bundle.logFile())) expectWholeLog(bundle);
  }
}

TEST(Security, PrivateFilesAreTheOwnersAndTheRuntimeGetsNoLauncherDescriptor) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  // First a runtime that is the recording program itself (a shell keeps descriptors of
  // its own): it notes every descriptor it got above the standard three.
  {
    LauncherBundle probe;
    probe.addRuntime("runtime");
    probe.addNode("runtime",
                  std::string("#!/bin/sh\nexec ") + ZOLVEN_FAKE_BROWSER_PATH + " probe\n");
    auto launcher = probe.start({{"ZOLVEN_TEST_BROWSER_RECORD", probe.dir().str("record")}});
    EXPECT_EQ(launcher->waitExit(), 1);  // it exits without a ready line
    std::vector<std::string> lines;
    for (const auto& entry : std::filesystem::directory_iterator(probe.dir().str("record"))) {
      std::istringstream in(readFile(entry.path()));
      for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    ASSERT_FALSE(lines.empty());
    for (const auto& line : lines)
      EXPECT_NE(line.rfind("fd ", 0), 0u) << "leaked descriptor: " << line;
  }

  bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:5/\n'
exec sleep 1000
)sh");
  auto launcher = bundle.start();
  ASSERT_TRUE(
      waitFor([&] { return bundle.childStarted() && bundle.hasEvent("browser.open.suppressed"); }));

  namespace fs = std::filesystem;
  const auto mode = [](const fs::path& path) {
    return fs::symlink_status(path).permissions() & fs::perms::all;
  };
  const fs::path instances = bundle.dir().str("run/zolven");
  EXPECT_EQ(mode(instances), fs::perms::owner_all);
  int sockets = 0, locks = 0;
  for (const auto& entry : fs::directory_iterator(instances)) {
    if (entry.path().extension() == ".sock") ++sockets;
    if (entry.path().extension() == ".lock") ++locks;
    EXPECT_EQ(mode(entry.path()), fs::perms::owner_read | fs::perms::owner_write) << entry.path();
  }
  EXPECT_EQ(sockets, 1);
  EXPECT_EQ(locks, 1);
  EXPECT_EQ(mode(bundle.logFile()), fs::perms::owner_read | fs::perms::owner_write);
  quitAndExpectCleanEnd(bundle, *launcher);
}

TEST(Soak, TwoHundredStartReadyQuitCyclesLeaveNothingBehind) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid.tmp" && mv "$ZOLVEN_TEST_RECORD/pid.tmp" "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:7/\n'
exec sleep 1000
)sh");
  constexpr int kCycles = 200;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    std::filesystem::remove(bundle.record("pid"));
    auto launcher = bundle.start();
    ASSERT_TRUE(waitFor([&] { return bundle.eventCount("browser.open.suppressed") == cycle + 1; }))
        << "cycle " << cycle;
    ASSERT_TRUE(waitFor([&] { return bundle.childStarted(); }));
    const pid_t child = bundle.childPid();
    launcher->signal(SIGTERM);
    ASSERT_EQ(launcher->waitExit(), 0) << "cycle " << cycle;
    ASSERT_FALSE(processRunning(child)) << "cycle " << cycle;
  }
  const auto events = bundle.events();
  EXPECT_EQ(count(events, "launcher.started"), kCycles);
  EXPECT_EQ(count(events, "runtime.exited"), kCycles);
  EXPECT_EQ(count(events, "launcher.failed"), 0);
  expectWholeLog(bundle);
}

TEST(Soak, TenThousandReadyLinesAreEachActedOnAndTheLauncherStaysSteady) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
i=0; while [ $i -lt 10000 ]; do printf 'http://127.0.0.1:%d/\n' $((i % 60000 + 1)); i=$((i+1)); done
exec sleep 1000
)sh");
  auto launcher = bundle.start();
  // 20,000 records, about 1.8 MB: the log rotates once, and every record is in the file
  // or its ".1".
  const auto allEvents = [&] {
    std::vector<std::string> all;
    if (std::filesystem::exists(bundle.logFile() + ".1"))
      all = bundle.events(bundle.logFile() + ".1");
    for (auto& event : bundle.events()) all.push_back(std::move(event));
    return all;
  };
  // Polled while the launcher appends: the record being written may be read half-way.
  const auto counted = [&](const std::string& event, long n) {
    try {
      return count(allEvents(), event) == n;
    } catch (const nlohmann::json::parse_error&) {
      return false;
    }
  };
  ASSERT_TRUE(waitFor([&] { return counted("browser.open.suppressed", 10000); },
                      std::chrono::seconds(120)));
  const auto events = allEvents();
  EXPECT_EQ(count(events, "runtime.ready"), 10000);
  EXPECT_LE(std::filesystem::file_size(bundle.logFile()), 1024u * 1024u);
  EXPECT_LE(std::filesystem::file_size(bundle.logFile() + ".1"), 1024u * 1024u);
  const auto descriptors = [&] {
    return std::distance(
        std::filesystem::directory_iterator("/proc/" + std::to_string(launcher->pid()) + "/fd"),
        std::filesystem::directory_iterator());
  };
  // The first browser open loads the browser module, which keeps what GIO opens.
  EXPECT_EQ(bundle.start({}, "-r")->waitExit(), 0);
  ASSERT_TRUE(waitFor([&] { return counted("browser.open.failed", 1); }));
  const auto before = descriptors();
  // Reopens through the socket, each handled and answered: no descriptor may stay behind.
  for (int i = 0; i < 20; ++i) EXPECT_EQ(bundle.start({}, "-r")->waitExit(), 0);
  ASSERT_TRUE(waitFor([&] { return counted("browser.open.failed", 21); }));
  EXPECT_EQ(descriptors(), before);
  quitAndExpectCleanEnd(bundle, *launcher);
  expectWholeLog(bundle);
}

}  // namespace
