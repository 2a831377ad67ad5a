// What the launcher costs its users, beside the runtime alone and beside simple peers.
//
//   lifecycle_bench LAUNCHER RESOURCES READY_CHILD PEERS_DIR [RUNS]
//
// RESOURCES is a bundle's resources directory with the demo runtime (node and its entry
// script). Every figure is a median over RUNS paired runs with its min - max; ratios are
// taken pair by pair.
//
// - Time to ready: from starting the launcher (headless, and under Xvfb) to its
//   "runtime.ready" record, beside the floor: the same node entry script started
//   directly, timed to its URL line; and beside a shell and a Python launcher
//   (PEERS_DIR/launch.sh, launch.py), timed to their "READY" line.
// - Time to quit: from SIGTERM to the launcher's exit, with a runtime that exits at once
//   on SIGTERM (READY_CHILD), beside that runtime's own exit time.
// - Memory and idle cost: resident size of the launcher process alone once ready and
//   settled, its peak, its growth over 10 idle seconds, and its wake-ups per second
//   (context switches of all its threads over those 10 s).
#include <functional>
#include <random>

#include "bench_support.h"

using namespace bench;

namespace {

constexpr double kDeadline = 30;

// The runtime's environment for the runs without the launcher.
std::vector<std::string> runtimeEnvironment(const DemoRuntime& runtime, const std::string& home) {
  std::vector<std::string> env = runtime.environment(home);
  env.push_back("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER=1");
  return env;
}

std::optional<double> launcherTimeToReady(const std::string& launcher, const std::string& resources,
                                          const std::string& display) {
  TempBundle bundle(launcher, resources);
  LogWatch watch(bundle.logDirectory());
  const double start = now();
  const pid_t pid = bundle.start(true, display);
  const std::optional<double> seen = watch.waitFor("runtime.ready", start + kDeadline);
  stop(pid);
  if (!seen) return std::nullopt;
  return (*seen - start) * 1e3;
}

struct QuitPair {
  double launcher, runtime;
};

std::optional<QuitPair> timeToQuit(const std::string& launcher, const std::string& readyChild) {
  QuitPair pair{};
  {
    TempBundle bundle(launcher, "", "#!/bin/sh\nexec " + readyChild + " 1 0 /dev/null\n");
    LogWatch watch(bundle.logDirectory());
    const pid_t pid = bundle.start(true);
    if (!watch.waitFor("runtime.ready", now() + kDeadline)) return std::nullopt;
    const double start = now();
    stop(pid);
    pair.launcher = (now() - start) * 1e3;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = spawn({readyChild, "1", "0", "/dev/null"}, {}, {.out = fds[1]});
  close(fds[1]);
  const bool ready = waitForLine(fds[0], "http://127.0.0.1", now() + kDeadline).has_value();
  close(fds[0]);
  const double start = now();
  stop(pid);
  pair.runtime = (now() - start) * 1e3;
  if (!ready) return std::nullopt;
  return pair;
}

struct Idle {
  double residentMiB, peakMiB, growthMiB, wakeupsPerSecond;
};

std::optional<Idle> idleFigures(const std::string& launcher, const std::string& resources,
                                const std::string& display) {
  TempBundle bundle(launcher, resources);
  LogWatch watch(bundle.logDirectory());
  const pid_t pid = bundle.start(true, display);
  if (!watch.waitFor("runtime.ready", now() + kDeadline)) {
    stop(pid);
    return std::nullopt;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));  // let start-up settle
  const long rss = statusField(pid, "VmRSS");
  const long switches = contextSwitches(pid);
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const long laterSwitches = contextSwitches(pid);
  const long laterRss = statusField(pid, "VmRSS");
  const long peak = statusField(pid, "VmHWM");
  stop(pid);
  return Idle{static_cast<double>(rss) / 1024, static_cast<double>(peak) / 1024,
              static_cast<double>(laterRss - rss) / 1024,
              static_cast<double>(laterSwitches - switches) / 10.0};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s LAUNCHER RESOURCES READY_CHILD PEERS_DIR [RUNS]\n", argv[0]);
    return 2;
  }
  const std::string launcher = fs::absolute(argv[1]), resources = fs::absolute(argv[2]),
                    readyChild = fs::absolute(argv[3]), peers = fs::absolute(argv[4]);
  const int runs = argc > 5 ? std::atoi(argv[5]) : 40;
  const DemoRuntime runtime(resources);
  const std::string home = fs::temp_directory_path();
  const std::vector<std::string> env = runtimeEnvironment(runtime, home);
  XServer x;
  const std::string python = fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "";

  std::vector<double> floor, headless, withDisplay, shell, py;
  std::vector<double> headlessRatio, displayRatio, shellRatio, pyRatio;
  // Each round measures the five in a shuffled order, so that none always runs first
  // (on colder caches) or last.
  std::mt19937 shuffle(12345);
  for (int i = 0; i < runs; ++i) {
    std::optional<double> f, h, d, s, p;
    std::vector<std::function<void()>> round = {
        [&] { f = runtime.timeToURL(env, kDeadline); },
        [&] { h = launcherTimeToReady(launcher, resources, ""); },
        [&] {
          if (!x.display().empty()) d = launcherTimeToReady(launcher, resources, x.display());
        },
        [&] {
          s = timeToLine({"/bin/sh", peers + "/launch.sh", runtime.node, runtime.entry}, env,
                         runtime.app, "READY", kDeadline);
        },
        [&] {
          if (!python.empty())
            p = timeToLine({python, peers + "/launch.py", runtime.node, runtime.entry}, env,
                           runtime.app, "READY", kDeadline);
        }};
    std::shuffle(round.begin(), round.end(), shuffle);
    for (const auto& measure : round) measure();
    if (!f) continue;
    floor.push_back(*f);
    if (h) headless.push_back(*h), headlessRatio.push_back(*h / *f);
    if (d) withDisplay.push_back(*d), displayRatio.push_back(*d / *f);
    if (s) shell.push_back(*s), shellRatio.push_back(*s / *f);
    if (p) py.push_back(*p), pyRatio.push_back(*p / *f);
  }

  std::vector<double> quitLauncher, quitRuntime, quitExtra;
  for (int i = 0; i < runs; ++i) {
    if (const auto q = timeToQuit(launcher, readyChild)) {
      quitLauncher.push_back(q->launcher);
      quitRuntime.push_back(q->runtime);
      quitExtra.push_back(q->launcher - q->runtime);
    }
  }

  std::vector<Idle> idleHeadless, idleDisplay;
  for (int i = 0; i < 2; ++i) {
    if (auto idle = idleFigures(launcher, resources, "")) idleHeadless.push_back(*idle);
    if (!x.display().empty())
      if (auto idle = idleFigures(launcher, resources, x.display())) idleDisplay.push_back(*idle);
  }

  std::printf("Time to ready: %d paired runs, median (min - max)\n", runs);
  row("floor: node entry script alone, to its URL line", "ms", floor);
  row("launcher, headless, to runtime.ready", "ms", headless);
  row("  ratio to the floor", "x", headlessRatio);
  if (!withDisplay.empty()) {
    row("launcher, with a display (Xvfb), to runtime.ready", "ms", withDisplay);
    row("  ratio to the floor", "x", displayRatio);
  }
  row("shell peer (bench/peers/launch.sh), to its READY line", "ms", shell);
  row("  ratio to the floor", "x", shellRatio);
  if (!py.empty()) {
    row("Python peer (bench/peers/launch.py), to its READY line", "ms", py);
    row("  ratio to the floor", "x", pyRatio);
  }
  std::printf("Time to quit: SIGTERM to exit, runtime that exits at once on SIGTERM\n");
  row("launcher", "ms", quitLauncher);
  row("the runtime alone", "ms", quitRuntime);
  row("launcher minus runtime, pair by pair", "ms", quitExtra);
  const auto idleRows = [](const char* mode, const std::vector<Idle>& figures) {
    std::vector<double> resident, peak, growth, wakeups;
    for (const Idle& f : figures) {
      resident.push_back(f.residentMiB), peak.push_back(f.peakMiB), growth.push_back(f.growthMiB);
      wakeups.push_back(f.wakeupsPerSecond);
    }
    std::printf("Memory and idle cost, %s (launcher process alone, %zu runs)\n", mode,
                figures.size());
    row("resident once ready", "MiB", resident);
    row("peak resident", "MiB", peak);
    row("growth over 10 idle seconds", "MiB", growth);
    row("wake-ups while idle", "/s", wakeups);
  };
  idleRows("headless", idleHeadless);
  if (!idleDisplay.empty()) idleRows("with a display", idleDisplay);
  return 0;
}
