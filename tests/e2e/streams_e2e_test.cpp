// The launcher's standard output and error in a pipe that nobody reads (`| sleep 1000`):
// what it prints itself, the ready URLs and the alert, never holds it up. What does not
// fit is dropped, a line is passed on whole or not at all, the log keeps every record, and
// the launcher still quits when asked or when its runtime fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <regex>

#include "launcher_bundle.h"

namespace {

using namespace testsupport;

// Which of the launcher's streams go into the unread pipe; the other goes to its file.
enum class Unread { Output, Error, Both };  // Both: one pipe for the two, as with 2>&1

// A pipe whose read end the test holds and never reads until the launcher has ended.
class UnreadPipe {
 public:
  UnreadPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) read_ = fds[0], write_ = fds[1];
  }
  ~UnreadPipe() {
    if (read_ >= 0) ::close(read_);
    if (write_ >= 0) ::close(write_);
  }
  UnreadPipe(const UnreadPipe&) = delete;
  UnreadPipe& operator=(const UnreadPipe&) = delete;

  int writeEnd() const { return write_; }
  void closeWriteEnd() {
    ::close(write_);
    write_ = -1;
  }
  // Everything the pipe holds, once every writer has gone.
  std::string drain() const {
    std::string all;
    char buffer[65536];
    for (ssize_t n; (n = ::read(read_, buffer, sizeof buffer)) > 0;) all.append(buffer, n);
    return all;
  }

 private:
  int read_ = -1;
  int write_ = -1;
};

// Starts the bundle's launcher with `which` of its streams into `pipe`.
std::unique_ptr<Process> startInto(const LauncherBundle& bundle, UnreadPipe& pipe, Unread which) {
  const std::string program = bundle.executable();
  const std::string outFile = bundle.dir().str("stdout");
  const std::string errFile = bundle.dir().str("stderr");
  const std::vector<std::string> environment = bundle.environment();
  std::vector<char*> env;
  for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  const pid_t child = ::fork();
  if (child == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int file = ::open(which == Unread::Output ? errFile.c_str() : outFile.c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(in, 0);
    ::dup2(which == Unread::Error ? file : pipe.writeEnd(), 1);
    ::dup2(which == Unread::Output ? file : pipe.writeEnd(), 2);
    ::execve(program.c_str(), argv, env.data());
    ::_exit(127);
  }
  pipe.closeWriteEnd();  // the launcher holds the only write end
  return std::make_unique<Process>(child);
}

// Records of `event` in the log and its rotated part, without parsing them.
long recordsOf(const LauncherBundle& bundle, const std::string& event) {
  const std::string text = readFile(bundle.logFile() + ".1") + readFile(bundle.logFile());
  const std::string member = "\"event\":\"" + event + "\"";
  long n = 0;
  for (size_t at = text.find(member); at != std::string::npos; at = text.find(member, at + 1)) ++n;
  return n;
}

enum class Ending { QuitSignal, QuitCommand, RuntimeFailure };

struct StreamCase {
  const char* name;
  Unread unread;
  const char* runtime;
  // The record that shows the launcher got past its output, and how many of it.
  const char* event;
  long records;
  Ending ending;
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

const char* kFiveThousandReadyLines = R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
i=1; while [ $i -le 5000 ]; do printf 'http://127.0.0.1:%d/\n' $i; i=$((i+1)); done
exec sleep 1000
)sh";

const char* kErrorFloodThenURL = R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
head -c 5000000 /dev/zero | tr '\0' 'e' | fold -w 99 >&2
printf 'http://127.0.0.1:5/\n'
exec sleep 1000
)sh";

const char* kErrorFloodThenExit = R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
head -c 2000000 /dev/zero | tr '\0' 'e' | fold -w 99 >&2
exit 3
)sh";

class UnreadStream : public testing::TestWithParam<StreamCase> {};

TEST_P(UnreadStream, NeverHoldsTheLauncherUp) {
  const StreamCase& c = GetParam();
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", c.runtime);
  UnreadPipe pipe;
  auto launcher = startInto(bundle, pipe, c.unread);

  EXPECT_TRUE(
      waitFor([&] { return recordsOf(bundle, c.event) == c.records; }, std::chrono::seconds(120)))
      << recordsOf(bundle, c.event) << " records of " << c.event;
  switch (c.ending) {
    case Ending::QuitSignal:
      EXPECT_TRUE(launcher->running());
      quitAndExpectCleanEnd(bundle, *launcher);
      break;
    case Ending::QuitCommand: {
      EXPECT_TRUE(launcher->running());
      Process quit({bundle.executable(), "--quit"}, bundle.environment(),
                   bundle.dir().str("quit.out"), bundle.dir().str("quit.err"));
      EXPECT_EQ(quit.waitExit(), 0) << readFile(bundle.dir().str("quit.err"));
      EXPECT_EQ(launcher->waitExit(), 0);
      break;
    }
    case Ending::RuntimeFailure: {
      EXPECT_EQ(launcher->waitExit(), 1) << "the alert's write held the launcher";
      EXPECT_EQ(bundle.events().back(), "launcher.failed");
      // Its claim went with it: nothing answers for this bundle any more.
      Process quit({bundle.executable(), "--quit"}, bundle.environment(),
                   bundle.dir().str("quit.out"), bundle.dir().str("quit.err"));
      EXPECT_EQ(quit.waitExit(), 0);
      EXPECT_EQ(readFile(bundle.dir().str("quit.out")), "ZOLVEN is not running.\n");
      break;
    }
  }
  // What reached the pipe: the runtime's error output, ready URLs, the alert.
  if (launcher->waitExit(std::chrono::seconds(5))) {
    const std::string passed = pipe.drain();
    EXPECT_FALSE(passed.empty()) << "nothing was passed on";
    // The runtime's error output is passed on as it comes, so one of its lines may have
    // been cut where the pipe filled; a line of the launcher's own is always whole.
    const std::regex whole(
        R"(e{0,99}(http://127\.0\.0\.1:\d+/|ZOLVEN could not start\.|.* See the ZOLVEN log )"
        R"(directory for diagnostics\.)?)");
    std::istringstream lines(passed);
    for (std::string line; std::getline(lines, line);)
      ASSERT_TRUE(std::regex_match(line, whole)) << "not a whole line: " << line.substr(0, 200);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnreadStream,
    testing::Values(StreamCase{"ReadyLinesEndedBySignal", Unread::Output, kFiveThousandReadyLines,
                               "browser.open.suppressed", 5000, Ending::QuitSignal},
                    StreamCase{"ReadyLinesEndedByQuitCommand", Unread::Output,
                               kFiveThousandReadyLines, "browser.open.suppressed", 5000,
                               Ending::QuitCommand},
                    StreamCase{"ErrorFloodThenURLInOnePipe", Unread::Both, kErrorFloodThenURL,
                               "browser.open.suppressed", 1, Ending::QuitSignal},
                    StreamCase{"ErrorFloodThenFailureAlert", Unread::Error, kErrorFloodThenExit,
                               "launcher.failed", 1, Ending::RuntimeFailure}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
