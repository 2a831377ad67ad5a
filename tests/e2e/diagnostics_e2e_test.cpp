// The built launcher keeps what a person needs to understand a failure: the runtime's
// standard error in the bundle's runtime log, the launcher's notes there, and both logs
// bounded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "launcher_bundle.h"

namespace {

using namespace testsupport;
using namespace std::chrono_literals;

// The bundle's runtime log: the one runtime-*.log in its log folder.
std::string runtimeLog(const LauncherBundle& bundle) {
  for (const auto& entry : std::filesystem::directory_iterator(bundle.dir().str("logs"))) {
    const std::string name = entry.path().filename();
    if (name.starts_with("runtime-") && name.ends_with(".log")) return entry.path();
  }
  return "";
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) out.push_back(line);
  return out;
}

// The runtime log's lines after its header, which must be a run's header.
std::vector<std::string> runtimeLines(const LauncherBundle& bundle) {
  const std::string file = runtimeLog(bundle);
  if (file.empty()) return {};
  std::vector<std::string> all = lines(readFile(file));
  EXPECT_FALSE(all.empty());
  if (all.empty()) return {};
  EXPECT_TRUE(all[0].starts_with("[launcher] ")) << all[0];
  EXPECT_NE(all[0].find("runtime started: pid="), std::string::npos) << all[0];
  EXPECT_NE(all[0].find("entry=" + bundle.resources("runtime/app/scripts/packaged-runtime.mjs")),
            std::string::npos)
      << all[0];
  all.erase(all.begin());
  return all;
}

struct FailureCase {
  const char* name;
  const char* script;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FailedApp : public testing::TestWithParam<FailureCase> {};

TEST_P(FailedApp, LeavesItsOwnWordsInTheRuntimeLog) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", std::string("#!/bin/sh\n") + GetParam().script);
  auto launcher = bundle.start();
  EXPECT_EQ(launcher->waitExit(), 1);
  // The alert path as before.
  EXPECT_NE(bundle.launcherStderr().find("ZOLVEN could not start."), std::string::npos);
  EXPECT_EQ(bundle.events().back(), "launcher.failed");
  EXPECT_EQ(runtimeLines(bundle),
            (std::vector<std::string>{"Error: listen EADDRINUSE: address already in use",
                                      "    at Server.listen (node:net:1)"}));
  // And still on the launcher's standard error, for a person at a terminal.
  EXPECT_NE(bundle.launcherStderr().find("Error: listen EADDRINUSE"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedApp,
    testing::Values(FailureCase{"ExitsBeforeReady",
                                "echo 'Error: listen EADDRINUSE: address already in use' >&2\n"
                                "echo '    at Server.listen (node:net:1)' >&2\nexit 1\n"},
                    FailureCase{"CrashesAfterReady",
                                "printf 'http://127.0.0.1:9/\\n'\n"
                                "printf 'Error: listen EADDRINUSE: address already in use\\n' >&2\n"
                                "printf '    at Server.listen (node:net:1)' >&2\nkill -SEGV $$\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// What the launcher's standard error is: whatever it is, the runtime never waits for it.
enum class Stderr { File, Closed, UnreadPipe, UnreadTerminal };

struct StderrCase {
  const char* name;
  Stderr kind;
};

void PrintTo(const StderrCase& c, std::ostream* os) { *os << c.name; }

class LauncherStderr : public testing::TestWithParam<StderrCase> {};

// Starts the launcher with standard error as the case says; `keep` holds the far end of
// a pipe or terminal open, unread.
std::unique_ptr<Process> startWithStderr(const LauncherBundle& bundle, Stderr kind, int& keep) {
  int error = -1;
  keep = -1;
  switch (kind) {
    case Stderr::File:
      error = ::open(bundle.dir().str("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                     0600);
      break;
    case Stderr::Closed:
      break;
    case Stderr::UnreadPipe: {
      int fds[2];
      if (::pipe2(fds, O_CLOEXEC) != 0) return nullptr;
      keep = fds[0];
      error = fds[1];
      break;
    }
    case Stderr::UnreadTerminal: {
      keep = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (keep < 0 || ::grantpt(keep) != 0 || ::unlockpt(keep) != 0) return nullptr;
      error = ::open(::ptsname(keep), O_RDWR | O_NOCTTY | O_CLOEXEC);
      break;
    }
  }
  const std::vector<std::string> environment = bundle.environment();
  std::vector<char*> env;
  for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  const std::string executable = bundle.executable();
  char* const argv[] = {const_cast<char*>(executable.c_str()), nullptr};
  const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int output =
      ::open(bundle.dir().str("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(input, STDIN_FILENO);
    ::dup2(output, STDOUT_FILENO);
    if (error >= 0) {
      ::dup2(error, STDERR_FILENO);
    } else {
      ::close(STDERR_FILENO);
    }
    ::execve(argv[0], argv, env.data());
    ::_exit(127);
  }
  ::close(input);
  ::close(output);
  if (error >= 0) ::close(error);
  return std::make_unique<Process>(pid);
}

TEST_P(LauncherStderr, NeverHoldsUpTheRuntime) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  // 1 MiB of standard error in lines of 99 bytes, then the ready line.
  bundle.addNode("runtime", R"(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
{ head -c 1048576 /dev/zero | tr '\0' e | fold -w 99; echo; } >&2
printf 'http://127.0.0.1:5/\n'
exec sleep 1000
)");
  int keep = -1;
  auto launcher = startWithStderr(bundle, GetParam().kind, keep);
  ASSERT_TRUE(launcher);
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.suppressed"); }, 60s))
      << "the runtime's standard error held it up";
  // Every line is in the runtime log whatever reached the launcher's standard error.
  std::vector<std::string> expected(1048576 / 99, std::string(99, 'e'));
  expected.push_back(std::string(1048576 % 99, 'e'));
  ASSERT_TRUE(waitFor([&] { return runtimeLines(bundle).size() >= expected.size(); }));
  EXPECT_EQ(runtimeLines(bundle), expected);
  EXPECT_TRUE(launcher->running());
  quitAndExpectCleanEnd(bundle, *launcher);
  if (keep >= 0) ::close(keep);
}

INSTANTIATE_TEST_SUITE_P(Cases, LauncherStderr,
                         testing::Values(StderrCase{"File", Stderr::File},
                                         StderrCase{"Closed", Stderr::Closed},
                                         StderrCase{"UnreadPipe", Stderr::UnreadPipe},
                                         StderrCase{"UnreadTerminal", Stderr::UnreadTerminal}),
                         [](const auto& info) { return std::string(info.param.name); });

std::vector<std::string> notes(const LauncherBundle& bundle) {
  std::vector<std::string> out;
  for (const std::string& line : lines(readFile(runtimeLog(bundle))))
    if (line.starts_with("[launcher] ")) out.push_back(line.substr(32));
  return out;
}

TEST(LauncherNotes, ALocalhostURLIsNotedOnce) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", R"(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'http://localhost:3000/\nhttps://127.0.0.1/\nhttp://127.0.0.1:3000/\n'
exec sleep 1000
)");
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.suppressed"); }));
  const auto found = notes(bundle);
  ASSERT_EQ(found.size(), 2u) << testing::PrintToString(found);
  EXPECT_EQ(found[1],
            "an output line looks like a URL but is not the ready line (the host must be "
            "127.0.0.1, not localhost): http://localhost:3000/");
  quitAndExpectCleanEnd(bundle, *launcher);
}

TEST(LauncherNotes, ARuntimeThatIgnoresSigtermIsKilledWithANote) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", R"(#!/bin/sh
trap '' TERM
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:3000/\n'
while :; do sleep 1; done
)");
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.suppressed"); }));
  const pid_t child = bundle.childPid();
  launcher->signal(SIGTERM);
  EXPECT_EQ(launcher->waitExit(60s), 0);
  EXPECT_TRUE(waitFor([&] { return !processExists(child); }));
  const auto found = notes(bundle);
  ASSERT_EQ(found.size(), 2u) << testing::PrintToString(found);
  EXPECT_EQ(found[1],
            "the runtime did not exit within 10 s of SIGTERM: its process group is killed");
}

}  // namespace

namespace {

using namespace testsupport;
using namespace std::chrono_literals;

// The runtime log that --help names for `bundle` in `environment`.
std::string namedRuntimeLog(const LauncherBundle& bundle,
                            const std::map<std::string, std::optional<std::string>>& environment) {
  Process help({bundle.executable(), "--help"}, bundle.environment(environment),
               bundle.dir().str("help"), bundle.dir().str("help-stderr"));
  EXPECT_EQ(help.waitExit(), 0);
  const std::string out = readFile(bundle.dir().str("help"));
  const std::string marker = "  runtime log   ";
  const size_t at = out.find(marker);
  if (at == std::string::npos) return "";
  const size_t start = at + marker.size();
  return out.substr(start, out.find(' ', start) - start);
}

struct HelpCase {
  const char* name;
  std::map<std::string, std::optional<std::string>> environment;
  std::string folder;  // below the home when relative to it, "@cwd/..." below the working one
};

void PrintTo(const HelpCase& c, std::ostream* os) { *os << c.name; }

class HelpShowsTheLogs : public testing::TestWithParam<HelpCase> {};

TEST_P(HelpShowsTheLogs, AsTheRulesPickThem) {
  LauncherBundle bundle;
  auto environment = GetParam().environment;
  environment.emplace("ZOLVEN_LOG_ROOT", std::nullopt);
  Process help({bundle.executable(), "--help"}, bundle.environment(environment),
               bundle.dir().str("stdout"), bundle.dir().str("stderr"));
  EXPECT_EQ(help.waitExit(), 0);
  std::string folder = GetParam().folder;
  if (folder.starts_with("@cwd"))
    folder = std::filesystem::current_path().string() + folder.substr(4);
  else if (!folder.starts_with("/"))
    folder = bundle.dir().str("home/" + folder);
  const std::string out = bundle.launcherStdout();
  EXPECT_TRUE(out.starts_with("Usage: zolven-launcher")) << out;
  EXPECT_NE(out.find("  folder        " + folder + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  launcher log  " + folder + "/launcher.log\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  runtime log   " + folder + "/runtime-"), std::string::npos) << out;
  EXPECT_FALSE(std::filesystem::exists(folder + "/launcher.log")) << "--help made a log";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HelpShowsTheLogs,
    testing::Values(HelpCase{"Defaults", {}, ".local/state/Keldrovan/ZOLVEN"},
                    HelpCase{"XdgStateHome",
                             {{"XDG_STATE_HOME", "/nonexistent/state"}},
                             "/nonexistent/state/Keldrovan/ZOLVEN"},
                    HelpCase{"RelativeXdgStateHomeIsIgnored",
                             {{"XDG_STATE_HOME", "state"}},
                             ".local/state/Keldrovan/ZOLVEN"},
                    HelpCase{"LogRootWinsOverXdg",
                             {{"ZOLVEN_LOG_ROOT", "/nonexistent/logs"}, {"XDG_STATE_HOME", "/x"}},
                             "/nonexistent/logs"},
                    HelpCase{"RelativeLogRoot", {{"ZOLVEN_LOG_ROOT", "rel/logs"}}, "@cwd/rel/logs"},
                    HelpCase{"EmptyLogRoot", {{"ZOLVEN_LOG_ROOT", ""}}, "@cwd"}),
    [](const auto& info) { return std::string(info.param.name); });

// The runtime log that --help names is the one a run of the bundle writes.
TEST(HelpShowsTheLogs, TheRuntimeLogNamedIsTheOneARunWrites) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", "#!/bin/sh\necho 'bad config' >&2\nexit 1\n");
  const std::string named = namedRuntimeLog(bundle, {});
  ASSERT_TRUE(named.starts_with(bundle.dir().str("logs/runtime-"))) << named;
  auto launcher = bundle.start();
  EXPECT_EQ(launcher->waitExit(), 1);
  EXPECT_NE(readFile(named).find("\nbad config\n"), std::string::npos) << named;
}

// Two launchers of different bundles append to one log folder at once, each past the
// event log's limit: every record of both is whole and present across launcher.log and
// its ".1", and each bundle's runtime log holds its own lines only.
TEST(BoundedLogs, TwoBundlesShareTheFolder) {
  LauncherBundle first;
  LauncherBundle second;
  const std::string logs = first.dir().str("logs");
  // 3600 ready lines a run: 7200 records of about 95 bytes, so the two fill more than
  // the 1 MiB of launcher.log and less than twice that.
  const auto node = [](const std::string& name) {
    return "#!/bin/sh\necho $$ > \"$ZOLVEN_TEST_RECORD/pid\"\ni=0\nwhile [ $i -lt 3600 ]; do\n"
           "  printf 'http://127.0.0.1:1/" +
           name + "/%d\\n' $i\n  echo \"" + name +
           " $i\" >&2\n  i=$((i+1))\ndone\nexec sleep 1000\n";
  };
  first.addRuntime("runtime");
  first.addNode("runtime", node("first"));
  second.addRuntime("runtime");
  second.addNode("runtime", node("second"));
  auto a = first.start({{"ZOLVEN_LOG_ROOT", logs}});
  auto b = second.start({{"ZOLVEN_LOG_ROOT", logs}});

  // The older file first: read the other way round, a rotation in between would show one
  // file twice.
  const auto all = [&] {
    std::string text = readFile(logs + "/launcher.log.1");
    text += readFile(logs + "/launcher.log");
    return text;
  };
  const auto count = [&](const std::string& text, const std::string& what) {
    long n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  // Each launcher's last record: all of its records are in by then.
  ASSERT_TRUE(waitFor(
      [&] {
        const std::string text = all();
        return count(text, "first\\/3599\"}") == 2 && count(text, "second\\/3599\"}") == 2;
      },
      120s));
  EXPECT_TRUE(std::filesystem::exists(logs + "/launcher.log.1")) << "no rotation";
  EXPECT_LE(std::filesystem::file_size(logs + "/launcher.log"), 1024u * 1024u + 1024u);
  std::map<std::string, std::set<int>> ready;
  std::istringstream lines(all());
  for (std::string line; std::getline(lines, line);) {
    // An empty line is the torn-line guard of one launcher taking the other's write, still
    // under way, for a torn one: no record is lost or split by it.
    if (line.empty()) continue;
    const auto record = nlohmann::json::parse(line);  // throws on a torn line
    if (record["event"] != "runtime.ready") continue;
    const std::string url = record["url"];
    const std::string rest = url.substr(std::string("http://127.0.0.1:1/").size());
    ready[rest.substr(0, rest.find('/'))].insert(std::stoi(rest.substr(rest.find('/') + 1)));
  }
  EXPECT_EQ(ready["first"].size(), 3600u);
  EXPECT_EQ(ready["second"].size(), 3600u);

  for (const auto* bundle : {&first, &second}) {
    const std::string own = bundle == &first ? "first " : "second ";
    const std::string other = bundle == &first ? "second " : "first ";
    const std::string file = namedRuntimeLog(*bundle, {{"ZOLVEN_LOG_ROOT", logs}});
    ASSERT_TRUE(file.starts_with(logs + "/runtime-")) << file;
    ASSERT_TRUE(waitFor([&] { return count(readFile(file), own) >= 3600; }));
    EXPECT_EQ(count(readFile(file), other), 0);
  }
  quitAndExpectCleanEnd(first, *a);
  quitAndExpectCleanEnd(second, *b);
}

}  // namespace

namespace {

using namespace testsupport;

// Over SSH a person who lost the URL starts the bundle again: the later start prints the
// running launcher's ready URL, and nothing before the runtime is ready.
TEST(HeadlessReopen, PrintsTheURLOnceReadyAndNothingBefore) {
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", R"(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
while [ ! -e "$ZOLVEN_TEST_RECORD/go" ]; do sleep 0.05; done
printf 'http://127.0.0.1:4001/first\nhttp://127.0.0.1:4002/latest\n'
exec sleep 1000
)");
  auto launcher = bundle.start();
  ASSERT_TRUE(waitFor([&] { return bundle.childStarted() && bundle.hasEvent("runtime.started"); }));

  EXPECT_EQ(bundle.start({}, "-early")->waitExit(), 0);
  EXPECT_EQ(bundle.launcherStdout("-early"), "");
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.skipped"); }));

  writeFile(bundle.record("go"), "");
  ASSERT_TRUE(waitFor([&] {
    const auto events = bundle.events();
    return std::count(events.begin(), events.end(), "browser.open.suppressed") == 2;
  }));
  const auto recordsBefore = bundle.records().size();
  EXPECT_EQ(bundle.start({}, "-late")->waitExit(), 0);
  EXPECT_EQ(bundle.launcherStdout("-late"), "http://127.0.0.1:4002/latest\n");
  // The running launcher's records are as for any reopen; the later start writes none.
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.requested"); }));
  const auto records = bundle.records();
  ASSERT_GE(records.size(), recordsBefore + 1);
  EXPECT_EQ(records[recordsBefore]["event"], "launcher.reopened");
  // With a display, the later start leaves the page to the browser and prints nothing.
  EXPECT_EQ(bundle.start({{"DISPLAY", ":4242"}}, "-display")->waitExit(), 0);
  EXPECT_EQ(bundle.launcherStdout("-display"), "");
  quitAndExpectCleanEnd(bundle, *launcher);
}

}  // namespace
