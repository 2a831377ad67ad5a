// The cost of one log record, beside a bare open/append/close of the same bytes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "app/app_delegate.h"
#include "log/event_record.h"
#include "fakes.h"

using namespace zolven;
using namespace zolven::app;

namespace {

namespace fs = std::filesystem;

constexpr const char* kURL = "http://127.0.0.1:43123/";

fs::path scratch() {
  static const fs::path dir = [] {
    char pattern[] = "/tmp/zolven-log-bench-XXXXXX";
    return fs::path(mkdtemp(pattern));
  }();
  return dir;
}

// The launcher's own log call: timestamp, encoding, lock, append.
void LogRecord(benchmark::State& state) {
  platform::fake::FakePlatform fake;
  fake.processInfo.env =
      platform::Environment({{"ZOLVEN_LOG_ROOT", (scratch() / "delegate").string()}});
  auto delegate = std::make_shared<AppDelegate>(fake.services());
  for (auto _ : state) delegate->log("runtime.ready", kURL);
}
BENCHMARK(LogRecord);

// The floor: the same line appended with open, write and close, nothing else.
void BareAppend(benchmark::State& state) {
  const std::string line =
      *log::encodeRecord({.at = "2026-12-10T12:00:00Z", .event = "runtime.ready", .url = kURL});
  const std::string file = (scratch() / "bare.log").string();
  for (auto _ : state) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
    ::close(fd);
  }
}
BENCHMARK(BareAppend);

// Notes each benchmark's time per iteration so the ratio can be printed after the table.
class Reporter final : public benchmark::ConsoleReporter {
 public:
  Reporter() : ConsoleReporter(OO_None) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration)
        times[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (reporter.times.count("LogRecord") && reporter.times.count("BareAppend"))
    std::printf("log record / bare append: %.2f x\n",
                reporter.times["LogRecord"] / reporter.times["BareAppend"]);
  fs::remove_all(scratch());
  benchmark::Shutdown();
  return 0;
}
