// Output throughput and ready latency of the built launcher, beside `cat`.
//
//   output_bench LAUNCHER LINE_FLOOD READY_CHILD [BYTES] [RUNS]
//
// Throughput: a runtime writes BYTES of 100-byte non-ready lines; the launcher reads and
// frames them all. Beside it, in the same run, the same writer piped into
// `cat > /dev/null`. Figures: MB/s, the reader's own CPU seconds per GB, and the
// launcher's peak resident size during the flood against its idle size.
//
// Standard error: a runtime writes 200 MB of the same lines to its standard error, which
// the launcher keeps in the runtime log (rotating it every 4 MiB) and passes on to its own
// standard error (/dev/null here); beside it, the writer piped into `cat > file`. Figures:
// MB/s and the launcher's peak resident size.
//
// Ready latency: a runtime prints its URL 200 times, 20 ms apart, noting the monotonic
// time before each write; the bench notes when each "browser.open.requested" record
// reaches the log (inotify on the log directory). Figures: median, min and max.
#include <sys/resource.h>

#include "bench_support.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

struct FloodRun {
  double seconds, cpuSeconds;
  long peakKiB;
};

FloodRun launcherFlood(const std::string& launcher, const std::string& flood,
                       unsigned long long bytes) {
  TempBundle bundle(launcher, "", "#!/bin/sh\nexec " + flood + " " + std::to_string(bytes) + "\n");
  const double start = now();
  const pid_t pid = bundle.start(true);
  long peak = 0;
  for (;;) {
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (info.si_pid == pid) break;
    peak = std::max(peak, statusField(pid, "VmHWM"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const double seconds = now() - start;
  const double cpu = ownCpuSeconds(pid);
  waitpid(pid, nullptr, 0);
  return {seconds, cpu, peak};
}

FloodRun catFlood(const std::string& flood, unsigned long long bytes) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) std::exit(1);
  const double start = now();
  const pid_t writer = spawn({flood, std::to_string(bytes)}, {}, {.out = fds[1]});
  const pid_t reader = spawn({"/bin/cat"}, {}, {.in = fds[0]});
  close(fds[0]);
  close(fds[1]);
  rusage usage{};
  wait4(reader, nullptr, 0, &usage);
  waitpid(writer, nullptr, 0);
  const double seconds = now() - start;
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return {seconds, cpu, usage.ru_maxrss};
}

// The same flood on the runtime's standard error; the launcher ends after it (the runtime
// never became ready), having read it all.
FloodRun launcherErrorFlood(const std::string& launcher, const std::string& flood,
                            unsigned long long bytes) {
  TempBundle bundle(launcher, "",
                    "#!/bin/sh\nexec " + flood + " " + std::to_string(bytes) + " >&2\n");
  const double start = now();
  const pid_t pid = bundle.start(true);
  long peak = 0;
  for (;;) {
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (info.si_pid == pid) break;
    peak = std::max(peak, statusField(pid, "VmHWM"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const double seconds = now() - start;
  const double cpu = ownCpuSeconds(pid);
  waitpid(pid, nullptr, 0);
  // What the rotation kept: at most two files of about 4 MiB.
  unsigned long long kept = 0;
  for (const auto& entry : fs::directory_iterator(bundle.logDirectory()))
    if (entry.path().filename().string().starts_with("runtime-")) kept += fs::file_size(entry);
  if (kept == 0 || kept > 9ULL * 1024 * 1024)
    std::fprintf(stderr, "runtime log holds %llu bytes\n", kept);
  return {seconds, cpu, peak};
}

FloodRun catToFile(const std::string& flood, unsigned long long bytes) {
  char pattern[] = "/tmp/zolven-bench-cat-XXXXXX";
  const fs::path dir = mkdtemp(pattern);
  const int file = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int fds[2];
  if (file < 0 || pipe2(fds, O_CLOEXEC) != 0) std::exit(1);
  const double start = now();
  const pid_t writer = spawn({flood, std::to_string(bytes)}, {}, {.out = fds[1]});
  const pid_t reader = spawn({"/bin/cat"}, {}, {.in = fds[0], .out = file});
  close(fds[0]);
  close(fds[1]);
  close(file);
  rusage usage{};
  wait4(reader, nullptr, 0, &usage);
  waitpid(writer, nullptr, 0);
  const double seconds = now() - start;
  fs::remove_all(dir);
  return {seconds, 0, usage.ru_maxrss};
}

bool logHas(const std::string& path, const std::string& event) {
  std::ifstream in(path);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text.find("\"event\":\"" + event + "\"") != std::string::npos;
}

long idleResidentKiB(const std::string& launcher, const std::string& readyChild) {
  TempBundle bundle(launcher, "", "");
  writeFile(bundle.str("bundle/resources/runtime/bin/node"),
            "#!/bin/sh\nexec " + readyChild + " 1 0 " + bundle.str("times") + "\n", true);
  const pid_t pid = bundle.start(true);
  const double deadline = now() + 20;
  while (!logHas(bundle.log(), "runtime.ready") && now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::seconds(1));  // let start-up settle
  const long rss = statusField(pid, "VmRSS");
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return rss;
}

std::vector<double> readyLatencies(const std::string& launcher, const std::string& readyChild,
                                   int count) {
  TempBundle bundle(launcher, "", "");
  const std::string times = bundle.str("times");
  writeFile(bundle.str("bundle/resources/runtime/bin/node"),
            "#!/bin/sh\nexec " + readyChild + " " + std::to_string(count) + " 20 " + times + "\n",
            true);
  const int watch = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(watch, bundle.str("logs").c_str(), IN_MODIFY | IN_CREATE);
  const pid_t pid = bundle.start(false);

  std::vector<double> seen;
  std::string pending;
  off_t offset = 0;
  const double deadline = now() + 60;
  while (static_cast<int>(seen.size()) < count && now() < deadline) {
    pollfd p{watch, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    char events[4096];
    (void)!read(watch, events, sizeof events);
    const double arrived = now();
    const int fd = open(bundle.log().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char buffer[65536];
    ssize_t n;
    while ((n = pread(fd, buffer, sizeof buffer, offset)) > 0) {
      pending.append(buffer, static_cast<size_t>(n));
      offset += n;
    }
    close(fd);
    for (size_t feed; (feed = pending.find('\n')) != std::string::npos; pending.erase(0, feed + 1))
      if (pending.substr(0, feed).find("\"event\":\"browser.open.requested\"") != std::string::npos)
        seen.push_back(arrived);
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  close(watch);

  std::vector<double> latencies;
  std::ifstream in(times);
  for (size_t i = 0; i < seen.size(); ++i) {
    long long written = 0;
    if (!(in >> written)) break;
    latencies.push_back((seen[i] - static_cast<double>(written) / 1e9) * 1e3);
  }
  return latencies;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s LAUNCHER LINE_FLOOD READY_CHILD [BYTES] [RUNS]\n", argv[0]);
    return 2;
  }
  const std::string launcher = fs::absolute(argv[1]), flood = fs::absolute(argv[2]),
                    readyChild = fs::absolute(argv[3]);
  const unsigned long long bytes = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1000000000ULL;
  const int runs = argc > 5 ? std::atoi(argv[5]) : 5;

  std::vector<double> launcherRate, catRate, ratio, launcherCpu, catCpu, peak;
  for (int i = 0; i < runs; ++i) {
    const FloodRun viaCat = catFlood(flood, bytes);
    const FloodRun viaLauncher = launcherFlood(launcher, flood, bytes);
    const double gb = static_cast<double>(bytes) / 1e9;
    catRate.push_back(gb * 1e3 / viaCat.seconds);
    launcherRate.push_back(gb * 1e3 / viaLauncher.seconds);
    ratio.push_back(viaCat.seconds / viaLauncher.seconds);
    catCpu.push_back(viaCat.cpuSeconds / gb);
    launcherCpu.push_back(viaLauncher.cpuSeconds / gb);
    peak.push_back(static_cast<double>(viaLauncher.peakKiB) / 1024);
  }
  const unsigned long long errorBytes = 200000000ULL;
  std::vector<double> errorRate, catFileRate, errorRatio, errorPeak;
  for (int i = 0; i < runs; ++i) {
    const FloodRun viaCat = catToFile(flood, errorBytes);
    const FloodRun viaLauncher = launcherErrorFlood(launcher, flood, errorBytes);
    const double mb = static_cast<double>(errorBytes) / 1e6;
    catFileRate.push_back(mb / viaCat.seconds);
    errorRate.push_back(mb / viaLauncher.seconds);
    errorRatio.push_back(viaCat.seconds / viaLauncher.seconds);
    errorPeak.push_back(static_cast<double>(viaLauncher.peakKiB) / 1024);
  }
  const double idle = static_cast<double>(idleResidentKiB(launcher, readyChild)) / 1024;
  const std::vector<double> latency = readyLatencies(launcher, readyChild, 200);

  std::printf("Output throughput: %.2f GB of 100-byte lines, %d paired runs (median, min - max)\n",
              static_cast<double>(bytes) / 1e9, runs);
  row("launcher reading the runtime's output", "MB/s", launcherRate);
  row("cat > /dev/null on the same output", "MB/s", catRate);
  row("launcher rate / cat rate", "", ratio);
  row("launcher CPU (own threads)", "s/GB", launcherCpu);
  row("cat CPU", "s/GB", catCpu);
  row("launcher peak resident during the flood", "MiB", peak);
  std::printf("%-52s %10.2f  MiB\n", "launcher idle resident (ready, headless)", idle);
  std::printf("Standard error: %.0f MB of 100-byte lines into the runtime log, %d paired runs\n",
              static_cast<double>(errorBytes) / 1e6, runs);
  row("launcher keeping the runtime's standard error", "MB/s", errorRate);
  row("cat > file on the same output", "MB/s", catFileRate);
  row("launcher rate / cat rate", "", errorRatio);
  row("launcher peak resident during the flood", "MiB", errorPeak);
  if (latency.empty()) {
    std::printf("ready latency: no browser.open.requested record seen\n");
    return 1;
  }
  std::printf("Ready latency: %zu ready lines, line written -> browser.open.requested appended\n",
              latency.size());
  row("ready latency", "ms", latency);
  return 0;
}
