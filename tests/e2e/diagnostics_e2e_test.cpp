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
