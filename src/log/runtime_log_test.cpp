#include "log/runtime_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "fakes.h"
#include "temp_dir.h"

namespace zolven::log {
namespace {

using testsupport::readFile;
using testsupport::TempDir;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

bool isLaunchersLine(const std::string& line, const std::string& text) {
  // "[launcher] 2026-12-10T06:04:53Z " and the text.
  return line.starts_with("[launcher] 20") && line.size() > 32 && line[31] == ' ' &&
         line.substr(32) == text;
}

struct FramingCase {
  const char* name;
  std::vector<std::string> chunks;  // the runtime's standard error, then its end
  std::string kept;                 // what the log holds after the header
};

void PrintTo(const FramingCase& c, std::ostream* os) { *os << c.name; }

class RuntimeLogFraming : public testing::TestWithParam<FramingCase> {};

TEST_P(RuntimeLogFraming, KeepsTheRuntimesLinesAsItWroteThem) {
  TempDir dir;
  RuntimeLog log({.file = dir.str("logs/runtime-x.log")});
  log.beginRun("runtime started: pid=1");
  for (const std::string& chunk : GetParam().chunks) log.appendOutput(chunk);
  log.appendOutput({});
  const std::string text = readFile(dir.str("logs/runtime-x.log"));
  const size_t header = text.find('\n') + 1;
  EXPECT_TRUE(isLaunchersLine(text.substr(0, header - 1), "runtime started: pid=1")) << text;
  EXPECT_EQ(text.substr(header), GetParam().kept);
}

const std::string kLong(RuntimeLog::kMaxLine, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, RuntimeLogFraming,
    testing::Values(FramingCase{"WholeLines", {"one\ntwo\n"}, "one\ntwo\n"},
                    FramingCase{"ALineAcrossChunks",
                                {"Error: li", "sten EADDRINUSE\n"},
                                "Error: listen EADDRINUSE\n"},
                    FramingCase{"AnUnfinishedLastLineIsEndedAtTheEnd", {"a\nb"}, "a\nb\n"},
                    FramingCase{"BytesAsWritten", {"cr\r\n\ttab \xff\n"}, "cr\r\n\ttab \xff\n"},
                    FramingCase{"NothingAtAll", {}, ""},
                    FramingCase{"AnOverLongLineIsSplit", {kLong, "yz\n"}, kLong + "\nyz\n"},
                    FramingCase{"AnOverLongLineInOneChunk", {kLong + "x\n"}, kLong + "\nx\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RuntimeLog, ANoteNeverLandsInsideALineOfTheRuntimes) {
  TempDir dir;
  const std::string file = dir.str("runtime.log");
  RuntimeLog log({.file = file});
  log.beginRun("header");
  log.appendOutput("first half");
  log.note("the quit grace ran out");
  log.appendOutput(", second half\n");
  const auto lines = linesOf(readFile(file));
  ASSERT_EQ(lines.size(), 3u) << readFile(file);
  EXPECT_TRUE(isLaunchersLine(lines[0], "header"));
  EXPECT_TRUE(isLaunchersLine(lines[1], "the quit grace ran out"));
  EXPECT_EQ(lines[2], "first half, second half");
}

TEST(RuntimeLog, ANoteIsOneLineWhateverItQuotes) {
  TempDir dir;
  RuntimeLog log({.file = dir.str("runtime.log")});
  log.note("quoted: a\nb\rc");
  EXPECT_EQ(linesOf(readFile(dir.str("runtime.log"))).size(), 1u);
}

// The runtime's first words may come on the task's thread before the launch has returned
// to write the header: they wait for it.
TEST(RuntimeLog, OutputBeforeTheHeaderComesAfterIt) {
  TempDir dir;
  RuntimeLog log({.file = dir.str("runtime.log")});
  std::thread early([&] { log.appendOutput("early words\n"); });
  log.beginRun("header");
  early.join();
  const auto lines = linesOf(readFile(dir.str("runtime.log")));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(isLaunchersLine(lines[0], "header"));
  EXPECT_EQ(lines[1], "early words");
}

// The runtime's output goes on to the stream as it comes, before the log keeps it, and
// the end is not passed on; a stream that takes little or nothing (nobody reads the
// launcher's standard error) takes nothing from the log.
TEST(RuntimeLog, PassesOnEachChunkAndKeepsEverything) {
  for (const size_t capacity : {std::string::npos, size_t{1000}, size_t{0}}) {
    SCOPED_TRACE(capacity);
    TempDir dir;
    auto stream = std::make_unique<platform::fake::FakePassOnStream>();
    stream->capacity = capacity;
    const platform::fake::FakePassOnStream& passedOn = *stream;
    RuntimeLog log({.file = dir.str("runtime.log"), .passOn = std::move(stream)});
    log.beginRun("header");
    const std::string line = std::string(99, 'e') + "\n";
    std::string chunk;
    for (int i = 0; i < 640; ++i) chunk += line;           // 64 000 bytes
    for (int i = 0; i < 20; ++i) log.appendOutput(chunk);  // 1.28 MB
    log.appendOutput({});
    const std::string text = readFile(dir.str("runtime.log"));
    EXPECT_EQ(text.substr(text.find('\n') + 1).size(), 20u * chunk.size());
    EXPECT_EQ(passedOn.writes, 20u);
    std::string all;
    for (int i = 0; i < 20; ++i) all += chunk;
    EXPECT_EQ(passedOn.taken, all.substr(0, std::min(capacity, all.size())));
  }
}

// One endless line, split in the log as it goes past the bound, is passed on as it came.
TEST(RuntimeLog, PassesOnAnEndlessLineAsItCame) {
  TempDir dir;
  auto stream = std::make_unique<platform::fake::FakePassOnStream>();
  const platform::fake::FakePassOnStream& passedOn = *stream;
  RuntimeLog log({.file = dir.str("runtime.log"), .passOn = std::move(stream)});
  log.beginRun("header");
  const std::string chunk(64000, 's');
  for (int i = 0; i < 40; ++i) log.appendOutput(chunk);  // 2.56 MB
  log.appendOutput({});
  EXPECT_EQ(passedOn.taken, std::string(40u * chunk.size(), 's'));
  const std::string text = readFile(dir.str("runtime.log"));
  EXPECT_EQ(text.substr(text.find('\n') + 1).size(), 40u * chunk.size() + 40u);  // split lines
}

}  // namespace
}  // namespace zolven::log
