// The runtime log as the delegate keeps it: the header of a run, the runtime's standard
// error, and the launcher's notes for a person looking into a failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delegate_fixture.h"
#include "delegate_probe.h"

using namespace zolven;
using namespace zolven::app;

namespace {

using testsupport::DelegateFixture;
using testsupport::LaunchedFixture;

std::vector<std::string> runtimeLogLines(AppDelegate& delegate) {
  std::vector<std::string> lines;
  if (!probe(delegate).runtimeLogLocation()) return lines;
  std::istringstream stream(testsupport::readFile(*probe(delegate).runtimeLogLocation()));
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The launcher's lines without their time: "[launcher] " and the text.
std::vector<std::string> launcherNotes(AppDelegate& delegate) {
  std::vector<std::string> notes;
  for (const std::string& line : runtimeLogLines(delegate))
    if (line.starts_with("[launcher] ")) notes.push_back(line.substr(32));
  return notes;
}

TEST(Diagnostics, ARunBeginsWithItsHeaderAndKeepsTheRuntimesStandardError) {
  LaunchedFixture f;
  const auto location = probe(*f.delegate).runtimeLogLocation();
  ASSERT_TRUE(location);
  EXPECT_TRUE(location->starts_with(f.dir.str("logs/runtime-"))) << *location;
  EXPECT_TRUE(location->ends_with(".log"));
  // Named by the bundle's instance key, as its claim is.
  EXPECT_EQ(*location, f.dir.str("logs/runtime-" + f.fake.bundle.key + ".log"));
  f.task()->errorOutput("TypeError: boom\n    at main (app.mjs:3)\n");
  const auto lines = runtimeLogLines(*f.delegate);
  ASSERT_EQ(lines.size(), 3u);
  const std::string runtime = f.dir.str("resources/runtime");
  EXPECT_EQ(lines[0].substr(32), "runtime started: pid=4242 node=" + runtime + "/bin/node entry=" +
                                     runtime + "/app/scripts/packaged-runtime.mjs");
  EXPECT_EQ(lines[1], "TypeError: boom");
  EXPECT_EQ(lines[2], "    at main (app.mjs:3)");
}

TEST(Diagnostics, AFailedLaunchSaysWhy) {
  DelegateFixture f;
  f.addRuntime("runtime");
  f.addConfig();
  f.fake.tasks.nextLaunchError = "Exec format error";
  f.start();
  const auto notes = launcherNotes(*f.delegate);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_TRUE(notes[0].starts_with("the runtime could not be started: Exec format error; node="))
      << notes[0];
}

struct UrlLikeCase {
  const char* name;
  std::string line;
  std::string reason;  // empty: no note
};

void PrintTo(const UrlLikeCase& c, std::ostream* os) { *os << c.name; }

class UrlLikeLine : public testing::TestWithParam<UrlLikeCase> {};

TEST_P(UrlLikeLine, IsNotedOncePerRunWithTheReason) {
  LaunchedFixture f;
  // Twice: the note comes once.
  f.delegate->consumeOutput(GetParam().line + "\n" + GetParam().line + "\n");
  const auto notes = launcherNotes(*f.delegate);
  if (GetParam().reason.empty()) {
    EXPECT_EQ(notes.size(), 1u) << "only the header";
    return;
  }
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[1], "an output line looks like a URL but is not the ready line (" +
                          GetParam().reason + "): " + GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UrlLikeLine,
    testing::Values(
        UrlLikeCase{"Localhost", "http://localhost:3000/",
                    "the host must be 127.0.0.1, not localhost"},
        UrlLikeCase{"Https", "https://127.0.0.1/", "the scheme must be http, not https"},
        UrlLikeCase{"Ipv6Loopback", "http://[::1]/", "the host must be 127.0.0.1, not ::1"},
        UrlLikeCase{"UpperCaseScheme", "  HTTP://127.0.0.1:8/",
                    "the scheme must be http, not HTTP"},
        UrlLikeCase{"NotAUrl", "http://127.0.0.1:80 ready", "it is not a valid URL"},
        UrlLikeCase{"PlainText", "listening on port 3000", ""},
        UrlLikeCase{"TheReadyLineItself", "http://127.0.0.1:3000/", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Diagnostics, AnOverLongOutputLineIsNotedWhenDropped) {
  LaunchedFixture f;
  f.delegate->consumeOutput(std::string(runtime::LineFramer::kMaxLine + 1, 'x'));
  f.delegate->consumeOutput("rest of it\nhttp://127.0.0.1:9/\n");
  const auto notes = launcherNotes(*f.delegate);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[1], "an output line longer than 1048576 bytes was dropped");
  EXPECT_EQ(probe(*f.delegate).readyURL(), "http://127.0.0.1:9/");
}

// The notes on dropped and URL-looking lines come in the order of the lines they are
// about, whether the output reaches the delegate whole or through the task's reader.
class NoteOrder : public testing::TestWithParam<bool> {};

TEST_P(NoteOrder, FollowsTheOutput) {
  LaunchedFixture f;
  const std::string overLong(runtime::LineFramer::kMaxLine + 1, 'x');
  const std::string output = overLong + "\nHTTP://127.0.0.1/\n" + overLong + "\n";
  if (GetParam()) {
    f.task()->output(output);
    f.fake.mainQueue.runPending();
  } else {
    f.delegate->consumeOutput(output);
  }
  const auto notes = launcherNotes(*f.delegate);
  const std::string dropped = "an output line longer than 1048576 bytes was dropped";
  ASSERT_EQ(notes.size(), 4u);
  EXPECT_EQ(notes[1], dropped);
  EXPECT_EQ(notes[2],
            "an output line looks like a URL but is not the ready line (the scheme must be "
            "http, not HTTP): HTTP://127.0.0.1/");
  EXPECT_EQ(notes[3], dropped);
}

INSTANTIATE_TEST_SUITE_P(Paths, NoteOrder, testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "ThroughTheTask" : "Whole");
});

TEST(Diagnostics, AKillAfterTheQuitGraceIsNoted) {
  LaunchedFixture f;
  auto task = f.task();
  task->timedWaitsRunOut = true;
  task->onKill = [&] { task->exit(9); };
  f.fake.application.terminate(platform::TerminationCause::Normal);
  ASSERT_TRUE(f.fake.mainQueue.runUntil([&] { return !f.fake.application.replies.empty(); }));
  const auto notes = launcherNotes(*f.delegate);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[1],
            "the runtime did not exit within 10 s of SIGTERM: its process group is killed");
}

TEST(Diagnostics, AQuitWithinTheGraceLeavesNoNote) {
  LaunchedFixture f;
  auto task = f.task();
  task->onTerminate = [&] { task->exit(143); };
  f.fake.application.terminate(platform::TerminationCause::Normal);
  ASSERT_TRUE(f.fake.mainQueue.runUntil([&] { return !f.fake.application.replies.empty(); }));
  EXPECT_EQ(launcherNotes(*f.delegate).size(), 1u);
}

}  // namespace
