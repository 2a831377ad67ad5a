// The built launcher started the ways its many parents start it: with signals ignored or
// blocked, standard streams closed or leading nowhere, a file-size limit, a FIFO where
// its log should be, and single-instance files that were tampered with. Whatever it
// inherits, it must run, quit and hand over as usual, and its log must stay readable.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>

#include "launcher_bundle.h"
#include "session_bus.h"

namespace {

using namespace testsupport;
using Environment = std::map<std::string, std::optional<std::string>>;
namespace fs = std::filesystem;

// What a parent hands the launcher besides its environment.
struct Inheritance {
  std::vector<int> ignored;             // dispositions set to SIG_IGN
  std::vector<int> blocked;             // the signal mask
  std::vector<int> closed;              // standard streams left closed
  std::optional<rlim_t> fileSizeLimit;  // RLIMIT_FSIZE, in bytes
  int output = -1;                      // standard output, when not the usual file
  std::vector<std::string> runner;      // a program that execs the launcher (nsenter)
  std::vector<std::string> arguments;   // the launcher's own arguments
};

// Starts the bundle's launcher as a parent with that state would: the state is made
// between fork and exec, where only async-signal-safe calls run.
std::unique_ptr<Process> startWith(const LauncherBundle& bundle, const Inheritance& parent,
                                   const Environment& extra = {}, const std::string& name = "") {
  std::vector<std::string> argv = parent.runner;
  argv.push_back(bundle.executable());
  argv.insert(argv.end(), parent.arguments.begin(), parent.arguments.end());
  const std::vector<std::string> environment = bundle.environment(extra);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  sigset_t mask;
  sigemptyset(&mask);
  for (const int signal : parent.blocked) sigaddset(&mask, signal);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  const rlimit limit{.rlim_cur = parent.fileSizeLimit.value_or(RLIM_INFINITY),
                     .rlim_max = parent.fileSizeLimit.value_or(RLIM_INFINITY)};

  const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int output = parent.output >= 0 ? parent.output
                                        : ::open(bundle.dir().str("stdout" + name).c_str(),
                                                 O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int error = ::open(bundle.dir().str("stderr" + name).c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(input, STDIN_FILENO);
    ::dup2(output, STDOUT_FILENO);
    ::dup2(error, STDERR_FILENO);
    for (const int signal : parent.ignored) ::sigaction(signal, &ignore, nullptr);
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);
    if (parent.fileSizeLimit) ::setrlimit(RLIMIT_FSIZE, &limit);
    for (const int fd : parent.closed) ::close(fd);
    ::execve(args[0], args.data(), env.data());
    ::_exit(127);
  }
  ::close(input);
  if (output != parent.output) ::close(output);
  ::close(error);
  return std::make_unique<Process>(pid);
}

// A later start of the same bundle hands its reopen over and ends with 0.
void expectHandOver(const LauncherBundle& bundle, const Inheritance& parent,
                    const Environment& extra, const std::string& name) {
  const long before = count(bundle.events(), "launcher.reopened");
  auto later = startWith(bundle, parent, extra, name);
  EXPECT_EQ(later->waitExit(), 0) << bundle.launcherStderr(name);
  EXPECT_TRUE(waitFor([&] { return count(bundle.events(), "launcher.reopened") == before + 1; }))
      << "the running launcher got no reopen from " << name;
}

// `zolven-launcher --quit` ends the running launcher, which ends with 0.
void expectQuitCommandEnds(const LauncherBundle& bundle, Inheritance parent,
                           const Environment& extra, Process& launcher) {
  parent.arguments = {"--quit"};
  auto quit = startWith(bundle, parent, extra, "-quit");
  EXPECT_EQ(quit->waitExit(), 0) << bundle.launcherStderr("-quit");
  EXPECT_EQ(launcher.waitExit(), 0);
}

// --- Signals ---

// Notes the dispositions and mask it got, prints its URL, and exits 0 at the test's go.
const char* kSignalRecordingRuntime = R"sh(#!/bin/sh
grep -E '^Sig(Ign|Blk):' /proc/self/status > "$ZOLVEN_TEST_RECORD/signals"
echo $$ > "$ZOLVEN_TEST_RECORD/pid.tmp" && mv "$ZOLVEN_TEST_RECORD/pid.tmp" "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:5/\n'
while [ ! -e "$ZOLVEN_TEST_RECORD/go" ]; do sleep 0.01; done
exit 0
)sh";

struct SignalCase {
  const char* name;
  Inheritance parent;
  // The quit signal sent to the launcher; 0: the runtime ends on its own with status 0.
  int quitSignal;
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class InheritedSignals : public testing::TestWithParam<SignalCase> {};

TEST_P(InheritedSignals, ChangeNothingForTheLauncherNorItsRuntime) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", kSignalRecordingRuntime);
  auto launcher = startWith(bundle, GetParam().parent);
  ASSERT_TRUE(waitFor([&] {
    return bundle.childStarted() && bundle.hasEvent("browser.open.suppressed") &&
           readFile(bundle.record("signals")).find("SigBlk") != std::string::npos;
  })) << bundle.launcherStderr();
  // The runtime starts with default dispositions and an empty mask, whatever the launcher got.
  EXPECT_EQ(readFile(bundle.record("signals")),
            "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");

  if (GetParam().quitSignal != 0) {
    const pid_t child = bundle.childPid();
    launcher->signal(GetParam().quitSignal);
    EXPECT_EQ(launcher->waitExit(std::chrono::seconds(20)), 0) << "the quit signal went unseen";
    EXPECT_TRUE(waitFor([&] { return !processExists(child); })) << "runtime left behind";
  } else {
    writeFile(bundle.record("go"), "");
    EXPECT_EQ(launcher->waitExit(std::chrono::seconds(20)), 0);
    ASSERT_TRUE(bundle.hasEvent("runtime.exited"));
    EXPECT_EQ(bundle.records().back()["event"], "runtime.exited");
    EXPECT_EQ(bundle.records().back()["detail"], "status=0");
  }
  EXPECT_FALSE(bundle.hasEvent("launcher.failed"));
  EXPECT_EQ(bundle.launcherStderr(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Parents, InheritedSignals,
    testing::Values(
        SignalCase{"IgnoredSigchild", {.ignored = {SIGCHLD}}, 0},
        SignalCase{"IgnoredSigpipeAndSigxfsz", {.ignored = {SIGPIPE, SIGXFSZ}}, SIGTERM},
        SignalCase{"NohupIgnoringSighup", {.ignored = {SIGHUP}}, SIGHUP},
        SignalCase{
            "BlockedQuitSignalsThenSigterm", {.blocked = {SIGTERM, SIGINT, SIGHUP}}, SIGTERM},
        SignalCase{"BlockedQuitSignalsThenSighup", {.blocked = {SIGTERM, SIGINT, SIGHUP}}, SIGHUP},
        SignalCase{"AllOfThemAtOnce",
                   {.ignored = {SIGCHLD, SIGPIPE, SIGXFSZ, SIGHUP},
                    .blocked = {SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGPIPE}},
                   0}),
    [](const auto& info) { return std::string(info.param.name); });

// How the launcher reaches the browser: BROWSER, or the desktop's default handler, with or
// without a session bus (GIO speaks to it around the start).
struct BrowserWay {
  const char* name;
  bool desktopHandler;
  bool sessionBus;
};

void PrintTo(const BrowserWay& c, std::ostream* os) { *os << c.name; }

class InheritedSignalsOfTheBrowser : public testing::TestWithParam<BrowserWay> {};

TEST_P(InheritedSignalsOfTheBrowser, AreAtTheirDefaultsAndNoneBlocked) {
  const BrowserWay& way = GetParam();
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", kSignalRecordingRuntime);
  const std::string browser = bundle.dir().str("browser");
  writeFile(browser, R"sh(#!/bin/sh
grep -E '^Sig(Ign|Blk):' /proc/self/status > "$ZOLVEN_TEST_RECORD/browser.tmp"
mv "$ZOLVEN_TEST_RECORD/browser.tmp" "$ZOLVEN_TEST_RECORD/browser"
)sh",
            fs::perms::owner_all);
  Environment env = {{"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", std::nullopt}};
  if (way.desktopHandler) {
    writeFile(bundle.dir().str("xdg/data/applications/zolven-test-browser.desktop"),
              "[Desktop Entry]\nType=Application\nName=Test Browser\nExec=" + browser +
                  " %u\nMimeType=x-scheme-handler/http;\n");
    writeFile(bundle.dir().str("xdg/config/mimeapps.list"),
              "[Default Applications]\nx-scheme-handler/http=zolven-test-browser.desktop\n");
    env["XDG_CONFIG_HOME"] = bundle.dir().str("xdg/config");
    env["XDG_DATA_HOME"] = bundle.dir().str("xdg/data");
  } else {
    // No desktop handler is registered in the test's settings: BROWSER is run.
    env["BROWSER"] = browser;
  }
  std::unique_ptr<SessionBus> bus;
  if (way.sessionBus) {
    bus = std::make_unique<SessionBus>(bundle.dir());
    if (bus->address().empty()) GTEST_SKIP() << "no session bus could be started here";
    env["DBUS_SESSION_BUS_ADDRESS"] = bus->address();
  }
  // Ignored by the parent, and SIGPIPE also by GLib once it talks over a socket.
  auto launcher = startWith(bundle, {.ignored = {SIGPIPE, SIGXFSZ, SIGQUIT, SIGUSR1}}, env);
  ASSERT_TRUE(waitFor([&] { return fs::exists(bundle.record("browser")); }))
      << bundle.launcherStderr();
  EXPECT_EQ(readFile(bundle.record("browser")),
            "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
  quitAndExpectCleanEnd(bundle, *launcher);
}

INSTANTIATE_TEST_SUITE_P(Ways, InheritedSignalsOfTheBrowser,
                         testing::Values(BrowserWay{"BrowserVariable", false, false},
                                         BrowserWay{"DesktopHandler", true, false},
                                         BrowserWay{"DesktopHandlerWithSessionBus", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- A terminal ---

// A pseudo-terminal whose follower is the controlling terminal of a new session; the
// launcher runs in that session's foreground group, as a shell's job does.
TEST(InheritedTerminal, RuntimeThatReadsItsInputIsNotStoppedByTheTerminal) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  // Reads one line of its input, then notes that the read came back.
  bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid.tmp" && mv "$ZOLVEN_TEST_RECORD/pid.tmp" "$ZOLVEN_TEST_RECORD/pid"
read line
readlink /proc/$$/fd/0 > "$ZOLVEN_TEST_RECORD/input.tmp"
mv "$ZOLVEN_TEST_RECORD/input.tmp" "$ZOLVEN_TEST_RECORD/input"
printf 'http://127.0.0.1:5/\n'
exec sleep 1000
)sh");
  const int leader = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(leader, 0);
  ASSERT_EQ(::grantpt(leader), 0);
  ASSERT_EQ(::unlockpt(leader), 0);
  const std::string follower = ::ptsname(leader);

  const std::vector<std::string> environment = bundle.environment();
  std::vector<char*> env;
  for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  const std::string executable = bundle.executable();
  char* args[] = {const_cast<char*>(executable.c_str()), nullptr};
  const int error =
      ::open(bundle.dir().str("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int terminal = ::open(follower.c_str(), O_RDWR);  // becomes the controlling terminal
    ::dup2(terminal, STDIN_FILENO);
    ::dup2(terminal, STDOUT_FILENO);
    ::dup2(error, STDERR_FILENO);
    ::execve(args[0], args, env.data());
    ::_exit(127);
  }
  ::close(error);
  Process launcher(pid);

  ASSERT_TRUE(waitFor([&] { return fs::exists(bundle.record("input")); }))
      << "the runtime's read never came back (state "
      << (bundle.childStarted() ? readFile("/proc/" + std::to_string(bundle.childPid()) + "/stat")
                                : std::string("not started"))
      << ")";
  EXPECT_EQ(readFile(bundle.record("input")), "/dev/null\n");
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.suppressed"); }));
  quitAndExpectCleanEnd(bundle, launcher);
  ::close(leader);
}

// --- Standard streams ---

TEST(InheritedStreams, StandardOutputThatNobodyReadsLosesTheURLsButNotTheLauncher) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:5/\n'
printf 'http://127.0.0.1:6/\n'
exec sleep 1000
)sh");
  std::array<int, 2> pipe{};
  ASSERT_EQ(::pipe2(pipe.data(), O_CLOEXEC), 0);
  ::close(pipe[0]);  // as `zolven-launcher | head -n1` once head has its line
  auto launcher = startWith(bundle, {.output = pipe[1]});
  ::close(pipe[1]);
  ASSERT_TRUE(waitFor([&] { return count(bundle.events(), "browser.open.suppressed") == 2; }))
      << "launcher status: " << (launcher->running() ? "running" : "ended");
  EXPECT_TRUE(launcher->running());
  quitAndExpectCleanEnd(bundle, *launcher);
  EXPECT_FALSE(bundle.hasEvent("launcher.failed"));
}

struct StreamCase {
  const char* name;
  std::vector<int> closed;
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class ClosedStreams : public testing::TestWithParam<StreamCase> {};

TEST_P(ClosedStreams, LeaveNoLauncherDescriptorInTheirPlace) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  // Writes to its standard error (as console.error would) before its ready line, so the
  // launcher has seen that write by the time it acts on the line.
  bundle.addNode("runtime", R"sh(#!/bin/sh
readlink /proc/$$/fd/0 > "$ZOLVEN_TEST_RECORD/stdin"
readlink /proc/$$/fd/2 > "$ZOLVEN_TEST_RECORD/stderr"
echo 'something went wrong, but not badly' >&2
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:5/\n'
exec sleep 1000
)sh");
  auto launcher = startWith(bundle, {.closed = GetParam().closed});
  ASSERT_TRUE(
      waitFor([&] { return bundle.childStarted() && bundle.hasEvent("browser.open.suppressed"); }));
  // A request that goes through the launcher's event loop: a quit written by the runtime
  // would have been acted on by then.
  expectHandOver(bundle, {}, {}, "-later");
  EXPECT_TRUE(launcher->running())
      << "the runtime's write to its standard error ended the launcher";
  EXPECT_EQ(readFile(bundle.record("stdin")), "/dev/null\n");
  // The runtime's standard error is the launcher's pipe to its runtime log, whatever the
  // launcher was given, and its write is kept there.
  EXPECT_TRUE(readFile(bundle.record("stderr")).starts_with("pipe:"))
      << readFile(bundle.record("stderr"));
  std::string runtimeLog;
  for (const auto& entry : std::filesystem::directory_iterator(bundle.dir().str("logs")))
    if (entry.path().filename().string().starts_with("runtime-")) runtimeLog = readFile(entry);
  EXPECT_NE(runtimeLog.find("\nsomething went wrong, but not badly\n"), std::string::npos)
      << runtimeLog;
  quitAndExpectCleanEnd(bundle, *launcher);
  EXPECT_FALSE(bundle.hasEvent("launcher.failed"));
}

INSTANTIATE_TEST_SUITE_P(Parents, ClosedStreams,
                         testing::Values(StreamCase{"Stdin", {0}}, StreamCase{"Stderr", {2}},
                                         StreamCase{"StdinAndStderr", {0, 2}},
                                         StreamCase{"AllThree", {0, 1, 2}}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The log ---

// The log's lines: the records that parse, and how many lines do not.
struct LogLines {
  std::vector<nlohmann::json> records;
  int unreadable = 0;
};

LogLines readLog(const std::string& file) {
  LogLines lines;
  std::istringstream in(readFile(file));
  for (std::string line; std::getline(in, line);) {
    if (nlohmann::json::accept(line))
      lines.records.push_back(nlohmann::json::parse(line));
    else
      ++lines.unreadable;
  }
  return lines;
}

TEST(InheritedLimits, LogReachingTheFileSizeLimitTearsOneLineAndStopsNothing) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:5/\n'
exec sleep 1000
)sh");
  // Earlier runs left the log a few bytes short of the limit: the next record crosses it.
  constexpr rlim_t kLimit = 64 * 1024;
  const std::string earlier = R"({"at":"2026-12-10T06:04:53Z","event":"launcher.started"})"
                              "\n";
  std::string content;
  while (content.size() + earlier.size() <= kLimit - 20) content += earlier;
  writeFile(bundle.logFile(), content);
  const size_t earlierRecords = content.size() / earlier.size();

  auto launcher = startWith(bundle, {.fileSizeLimit = kLimit});
  ASSERT_TRUE(waitFor([&] {
    return bundle.childStarted() && bundle.launcherStdout() == "http://127.0.0.1:5/\n";
  })) << "launcher status: "
      << (launcher->running() ? "running" : "ended");
  EXPECT_TRUE(launcher->running());
  EXPECT_EQ(fs::file_size(bundle.logFile()), kLimit);
  quitAndExpectCleanEnd(bundle, *launcher);

  // The next run, without the limit, writes whole records on lines of their own.
  auto next = bundle.start({}, "-next");
  ASSERT_TRUE(waitFor([&] {
    return bundle.childStarted() && !readLog(bundle.logFile()).records.empty() &&
           readLog(bundle.logFile()).records.back()["event"] == "browser.open.suppressed";
  }));
  quitAndExpectCleanEnd(bundle, *next);
  const LogLines log = readLog(bundle.logFile());
  EXPECT_EQ(log.unreadable, 1) << "one torn record, no more";
  ASSERT_GE(log.records.size(), earlierRecords + 5);
  const std::vector<std::string> expected = {"launcher.started", "runtime.architecture.selected",
                                             "runtime.started", "runtime.ready",
                                             "browser.open.suppressed"};
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(log.records[earlierRecords + i]["event"], expected[i]) << i;
}

TEST(HostileLog, FifoWhereTheLogShouldBeBlocksNothing) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  ASSERT_EQ(::mkfifo(bundle.logFile().c_str(), 0600), 0);
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted(); })) << "the runtime never started";
  // The records go nowhere (reading the FIFO here would wait for a writer): the later
  // start's status says that the running launcher took its reopen.
  auto later = bundle.start({}, "-later");
  EXPECT_EQ(later->waitExit(), 0) << bundle.launcherStderr("-later");
  launcher->signal(SIGTERM);
  EXPECT_EQ(launcher->waitExit(std::chrono::seconds(20)), 0);
  EXPECT_TRUE(fs::is_fifo(bundle.logFile()));
}

// --- The single-instance files ---

// The launcher's file names in its instance directory, learnt from a --quit that finds
// no launcher: it claims and leaves the lock file behind.
std::string instanceKey(const LauncherBundle& bundle, const std::string& directory,
                        const Inheritance& parent = {}, const Environment& extra = {}) {
  Inheritance probe = parent;
  probe.arguments = {"--quit"};
  auto quit = startWith(bundle, probe, extra, "-probe");
  EXPECT_EQ(quit->waitExit(), 0);
  for (const auto& entry : fs::directory_iterator(directory))
    if (entry.path().extension() == ".lock") return entry.path().stem();
  ADD_FAILURE() << "no lock file in " << directory << ": " << bundle.launcherStderr("-probe");
  return "";
}

// Starts a launcher, hands a later start over to it, and quits it with --quit.
void expectOneLauncher(const LauncherBundle& bundle, const Inheritance& parent,
                       const Environment& first, const Environment& later) {
  auto launcher = startWith(bundle, parent, first);
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }))
      << bundle.launcherStderr();
  expectHandOver(bundle, parent, later, "-later");
  expectHandOver(bundle, parent, first, "-again");
  EXPECT_TRUE(launcher->running());
  expectQuitCommandEnds(bundle, parent, later, *launcher);
  EXPECT_EQ(count(bundle.events(), "launcher.started"), 1);
}

struct StrayCase {
  const char* name;
  const char* suffix;  // ".lock" or ".sock"
  std::function<void(const std::string& path)> make;
};

void PrintTo(const StrayCase& c, std::ostream* os) { *os << c.name; }

class StrayInstanceFile : public testing::TestWithParam<StrayCase> {};

TEST_P(StrayInstanceFile, InOurOwnDirectoryIsReplaced) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  const std::string directory = bundle.dir().str("run/zolven");
  const std::string key = instanceKey(bundle, directory);
  ASSERT_FALSE(key.empty());
  const std::string path = directory + "/" + key + GetParam().suffix;
  fs::remove(path);
  GetParam().make(path);
  expectOneLauncher(bundle, {}, {}, {});
}

const auto makeSymlink = [](const std::string& path) {
  fs::create_symlink(path + ".elsewhere", path);
};
const auto makeFifo = [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); };
const auto makeDirectory = [](const std::string& path) {
  fs::create_directory(path);
  writeFile(path + "/inside", "");
};

INSTANTIATE_TEST_SUITE_P(Files, StrayInstanceFile,
                         testing::Values(StrayCase{"SymlinkAtTheLock", ".lock", makeSymlink},
                                         StrayCase{"FifoAtTheLock", ".lock", makeFifo},
                                         StrayCase{"DirectoryAtTheLock", ".lock", makeDirectory},
                                         StrayCase{"SymlinkAtTheSocket", ".sock", makeSymlink},
                                         StrayCase{"FifoAtTheSocket", ".sock", makeFifo},
                                         StrayCase{"DirectoryAtTheSocket", ".sock", makeDirectory}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InstanceDirectory, RuntimeDirectoryTooLongForASocketAddressStillHandsOver) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  std::string runtime = bundle.dir().str("run");
  while (runtime.size() < 150) runtime += "/a-rather-long-folder-name";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  expectOneLauncher(bundle, {}, {{"XDG_RUNTIME_DIR", runtime}}, {{"XDG_RUNTIME_DIR", runtime}});
  EXPECT_TRUE(fs::exists(runtime + "/zolven"));
}

// Private mounts over /tmp, /run/user and the user's home for the launchers of one test,
// so it may prepare what another user could leave in those places. The test's own
// directory is mounted back at its path. Root only.
class PrivateMounts {
 public:
  explicit PrivateMounts(const LauncherBundle& bundle) {
    const passwd* user = ::getpwuid(::geteuid());
    home_ = user != nullptr ? user->pw_dir : "";
    writeFile(bundle.dir().str("mounts.sh"), R"sh(set -e
exec 3< "$1"
mount -t tmpfs -o mode=1777 tmpfs /tmp
mkdir -p "$1"
mount --no-canonicalize --bind /proc/self/fd/3 "$1"
exec 3<&-
mount -t tmpfs -o mode=0755 tmpfs /run/user
mount -t tmpfs -o mode=0700 tmpfs "$2"
: > "$1/mounts-ready"
exec sleep 1000
)sh");
    holder_ = std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/unshare", "--mount", "--propagation", "private",
                                 "/bin/sh", bundle.dir().str("mounts.sh"), bundle.dir().str(),
                                 home_},
        std::vector<std::string>{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"},
        bundle.dir().str("mounts.out"), bundle.dir().str("mounts.err"));
    ready_ = waitFor([&] { return fs::exists(bundle.dir().str("mounts-ready")); });
    error_ = readFile(bundle.dir().str("mounts.err"));
  }

  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }
  const std::string& home() const { return home_; }
  Inheritance parent() const { return {.runner = enter()}; }
  // A path inside, as this process can reach it.
  std::string inside(const std::string& path) const {
    return "/proc/" + std::to_string(holder_->pid()) + "/root" + path;
  }
  // Runs a command inside as `nobody`.
  void runAsNobody(std::vector<std::string> command) const {
    std::vector<std::string> argv = enter();
    argv.insert(argv.end(),
                {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    argv.insert(argv.end(), command.begin(), command.end());
    Process run(argv, {"PATH=/usr/bin:/bin"}, "/dev/null", "/dev/null");
    EXPECT_EQ(run.waitExit(), 0) << testing::PrintToString(command);
  }

 private:
  std::vector<std::string> enter() const {
    return {"/usr/bin/nsenter", "--mount=/proc/" + std::to_string(holder_->pid()) + "/ns/mnt",
            "--"};
  }

  std::string home_;
  std::unique_ptr<Process> holder_;
  bool ready_ = false;
  std::string error_;
};

struct PlaceCase {
  const char* name;
  std::function<void(const PrivateMounts&, const std::string& uid)> prepare;
  // XDG_RUNTIME_DIR of the first start and of the later ones; "/run/user/UID" is this user's.
  std::optional<std::string> firstRuntimeDirectory;
  std::optional<std::string> laterRuntimeDirectory;
  // The path that the first start's standard error names as refused; empty: none.
  std::string refused;
};

void PrintTo(const PlaceCase& c, std::ostream* os) { *os << c.name; }

class InstancePlace : public testing::TestWithParam<PlaceCase> {};

TEST_P(InstancePlace, IsTheSameForEveryStartOfTheUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for private mounts and a second user";
  if (!fs::is_directory("/run/user")) GTEST_SKIP() << "no /run/user on this machine";
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  PrivateMounts mounts(bundle);
  ASSERT_TRUE(mounts.ready()) << mounts.error();
  const std::string uid = std::to_string(::geteuid());
  GetParam().prepare(mounts, uid);
  const auto variable = [&](const std::optional<std::string>& value) -> Environment {
    if (!value) return {{"XDG_RUNTIME_DIR", std::nullopt}};
    std::string v = *value;
    if (const auto at = v.find("UID"); at != std::string::npos) v.replace(at, 3, uid);
    return {{"XDG_RUNTIME_DIR", v}};
  };
  expectOneLauncher(bundle, mounts.parent(), variable(GetParam().firstRuntimeDirectory),
                    variable(GetParam().laterRuntimeDirectory));
  if (!GetParam().refused.empty()) {
    std::string refused = GetParam().refused;
    if (const auto at = refused.find("UID"); at != std::string::npos) refused.replace(at, 3, uid);
    EXPECT_NE(bundle.launcherStderr().find(refused), std::string::npos) << bundle.launcherStderr();
    // Nothing of ours went where the refused path leads (the symlink's target included).
    for (const std::string& place : {refused, std::string("/tmp/elsewhere")}) {
      if (!fs::is_directory(mounts.inside(place))) continue;
      for (const auto& entry : fs::recursive_directory_iterator(mounts.inside(place)))
        EXPECT_NE(entry.path().extension(), ".lock") << entry.path();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Places, InstancePlace,
    testing::Values(
        PlaceCase{"RuntimeDirectoryMissing", [](const PrivateMounts&, const std::string&) {},
                  "/nonexistent-runtime-directory", std::nullopt, "/nonexistent-runtime-directory"},
        PlaceCase{"RunUserWhenTheVariableIsUnset",
                  [](const PrivateMounts& m, const std::string& uid) {
                    fs::create_directory(m.inside("/run/user/" + uid));
                    fs::permissions(m.inside("/run/user/" + uid), fs::perms::owner_all);
                  },
                  "/run/user/UID", std::nullopt, ""},
        PlaceCase{"TmpDirectoryOfAnotherUser",
                  [](const PrivateMounts& m, const std::string& uid) {
                    m.runAsNobody({"/bin/mkdir", "-m", "0777", "/tmp/zolven-" + uid});
                  },
                  std::nullopt, "/nonexistent-runtime-directory", "/tmp/zolven-UID"},
        PlaceCase{"TmpDirectoryIsASymlink",
                  [](const PrivateMounts& m, const std::string& uid) {
                    m.runAsNobody({"/bin/mkdir", "-m", "0777", "/tmp/elsewhere"});
                    m.runAsNobody({"/bin/ln", "-s", "/tmp/elsewhere", "/tmp/zolven-" + uid});
                  },
                  std::nullopt, std::nullopt, "/tmp/zolven-UID"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
