// What a user waits for: the page, and what the launcher puts between a click and the
// runtime.
//
//   page_bench LAUNCHER RESOURCES STAND_IN_BROWSER STAND_IN_RUNTIME PEERS_DIR [RUNS]
//
// RESOURCES is a bundle's resources directory with the demo runtime (node and its entry
// script). Every figure is a median over RUNS paired runs with its min - max; ratios and
// differences are taken pair by pair.
//
// - Time to browser: from starting the launcher (headless, and under Xvfb) to the start of
//   the desktop's default browser: STAND_IN_BROWSER, registered for http URLs through a
//   private XDG data and configuration home, notes the monotonic time of its start. Beside
//   it in each round: the floor (the node entry script started directly, to its URL line),
//   `gio open URL` alone to the browser's start (what the desktop itself costs), and the
//   shell peer PEERS_DIR/open.sh (`node entry | { read -r url; gio open "$url"; }`) to the
//   browser's start.
// - Launch overhead: from starting the launcher to the start of its runtime, which is
//   STAND_IN_RUNTIME (it notes the monotonic time of its start, prints its URL line and
//   serves), against starting that program directly; and `zolven-launcher --version`
//   against `/bin/true`, start to exit.
#include <functional>
#include <random>

#include "bench_support.h"

using namespace bench;

namespace {

constexpr double kDeadline = 30;
constexpr const char* kURL = "http://127.0.0.1:43123/";

// Replaces or adds NAME=value in an environment.
void setVariable(std::vector<std::string>& env, const std::string& name, const std::string& value) {
  const std::string prefix = name + "=";
  std::erase_if(env, [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
  env.push_back(prefix + value);
}

// A directory into which stand-ins write their start times (see stamp.h), watched for
// the complete files.
class StampDirectory {
 public:
  StampDirectory() : fd_(inotify_init1(IN_CLOEXEC)) {
    char pattern[] = "/tmp/zolven-bench-stamps-XXXXXX";
    path_ = mkdtemp(pattern);
    inotify_add_watch(fd_, path_.c_str(), IN_MOVED_TO);
  }
  ~StampDirectory() {
    close(fd_);
    fs::remove_all(path_);
  }
  StampDirectory(const StampDirectory&) = delete;
  StampDirectory& operator=(const StampDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // Forgets earlier stamps, before a new measurement.
  void clear() {
    for (const auto& entry : fs::directory_iterator(path_)) fs::remove(entry.path());
    char events[4096];
    pollfd p{fd_, POLLIN, 0};
    while (poll(&p, 1, 0) > 0) (void)!read(fd_, events, sizeof events);
  }

  // The monotonic time (seconds) noted in the stamp NAME, once it is there, or nothing at
  // the deadline.
  std::optional<double> waitFor(const std::string& name, double deadline) {
    const std::string path = file(name);
    while (true) {
      if (fs::exists(path)) {
        const long long ns = std::atoll(readFile(path).c_str());
        if (ns > 0) return static_cast<double>(ns) / 1e9;
      }
      const double left = deadline - now();
      if (left <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(std::min(left, 0.5) * 1000) + 1) > 0) {
        char events[4096];
        (void)!read(fd_, events, sizeof events);
      }
    }
  }

 private:
  int fd_;
  std::string path_;
};

// A private XDG data and configuration home in which STAND_IN_BROWSER is the default
// handler of http URLs, as a desktop registers a browser: a desktop entry and
// mimeapps.list. The browser writes its stamp "browser" into `stamps`.
class BrowserDesktop {
 public:
  BrowserDesktop(const std::string& browser, const StampDirectory& stamps) {
    char pattern[] = "/tmp/zolven-bench-desktop-XXXXXX";
    root_ = mkdtemp(pattern);
    writeFile(root_ / "data/applications/zolven-bench-browser.desktop",
              "[Desktop Entry]\nType=Application\nName=Bench Browser\nExec=" + browser + " " +
                  stamps.path() + " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n");
    writeFile(root_ / "config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/http=zolven-bench-browser.desktop\n"
              "x-scheme-handler/https=zolven-bench-browser.desktop\n");
    fs::create_directories(root_ / "system");
  }
  ~BrowserDesktop() { fs::remove_all(root_); }
  BrowserDesktop(const BrowserDesktop&) = delete;
  BrowserDesktop& operator=(const BrowserDesktop&) = delete;

  // `env` with this desktop's XDG directories and nothing of the machine's.
  std::vector<std::string> apply(std::vector<std::string> env) const {
    setVariable(env, "XDG_DATA_HOME", (root_ / "data").string());
    setVariable(env, "XDG_CONFIG_HOME", (root_ / "config").string());
    setVariable(env, "XDG_DATA_DIRS", (root_ / "system").string());
    setVariable(env, "XDG_CONFIG_DIRS", (root_ / "system").string());
    return env;
  }

 private:
  fs::path root_;
};

// Starts a program (in a process group of its own, stopped whole afterwards) and times it
// to the browser's start. Milliseconds, or nothing.
std::optional<double> timeToBrowser(StampDirectory& stamps, const std::vector<std::string>& argv,
                                    const std::vector<std::string>& env,
                                    const std::string& directory = "") {
  stamps.clear();
  const double start = now();
  const pid_t pid = spawn(argv, env, {.directory = directory, .newGroup = true});
  const std::optional<double> started = stamps.waitFor("browser", start + kDeadline);
  stop(pid, true);
  if (!started) return std::nullopt;
  return (*started - start) * 1e3;
}

struct BrowserTimes {
  double browser;         // start to the browser's start
  double readyToBrowser;  // the runtime.ready record seen to the browser's start
};

// The launcher, browser opening on, to the browser's start, and the part of it after the
// launcher's ready record. The launcher leads no process group of its own: it is stopped
// alone, as a user's quit would, and stops its runtime.
std::optional<BrowserTimes> launcherTimeToBrowser(StampDirectory& stamps,
                                                  const BrowserDesktop& desktop,
                                                  const std::string& launcher,
                                                  const std::string& resources,
                                                  const std::string& display) {
  TempBundle bundle(launcher, resources);
  LogWatch watch(bundle.logDirectory());
  stamps.clear();
  const std::vector<std::string> env = desktop.apply(bundle.environment(false, display));
  const double start = now();
  const pid_t pid = spawn({bundle.str("bundle/zolven-launcher")}, env);
  // The record comes before the open, and the browser's stamp stays where it is, so the
  // two are waited for one after the other.
  const std::optional<double> ready = watch.waitFor("runtime.ready", start + kDeadline);
  const std::optional<double> started = stamps.waitFor("browser", start + kDeadline);
  stop(pid);
  if (!ready || !started) return std::nullopt;
  return BrowserTimes{(*started - start) * 1e3, (*started - *ready) * 1e3};
}

// A resources directory whose runtime is the stand-in runtime.
class StandInResources {
 public:
  explicit StandInResources(const std::string& standInRuntime) {
    char pattern[] = "/tmp/zolven-bench-resources-XXXXXX";
    root_ = mkdtemp(pattern);
    const fs::path runtime = root_ / "runtime" / kArch;
    fs::create_directories(runtime / "bin");
    fs::copy_file(standInRuntime, runtime / "bin/node");
    writeFile(runtime / "app/scripts/packaged-runtime.mjs", "");
    writeFile(root_ / "config/runtime-config.json", "{}");
  }
  ~StandInResources() { fs::remove_all(root_); }
  StandInResources(const StandInResources&) = delete;
  StandInResources& operator=(const StandInResources&) = delete;
  std::string str() const { return root_.string(); }
  std::string node() const { return (root_ / "runtime" / kArch / "bin/node").string(); }

 private:
  fs::path root_;
};

// From starting PROGRAM to the start of the stand-in runtime it starts (or is).
// Milliseconds, or nothing. `ready` waits for the launcher's ready record before it is
// stopped, so that no stop lands in the middle of its start.
std::optional<double> timeToRuntime(StampDirectory& stamps, const std::vector<std::string>& argv,
                                    std::vector<std::string> env, LogWatch* ready) {
  stamps.clear();
  setVariable(env, "ZOLVEN_BENCH_STAMP", stamps.file("runtime"));
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  const double start = now();
  // Its standard output in a pipe, as the launcher gives the runtime.
  const pid_t pid = spawn(argv, env, {.out = fds[1]});
  close(fds[1]);
  const std::optional<double> started = stamps.waitFor("runtime", start + kDeadline);
  if (ready != nullptr) (void)ready->waitFor("runtime.ready", now() + kDeadline);
  stop(pid);
  close(fds[0]);
  if (!started) return std::nullopt;
  return (*started - start) * 1e3;
}

// Start to exit of a short command. Milliseconds.
double timeToExit(const std::vector<std::string>& argv) {
  const double start = now();
  const pid_t pid = spawn(argv, {"PATH=/usr/bin:/bin"});
  waitpid(pid, nullptr, 0);
  return (now() - start) * 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(
        stderr, "usage: %s LAUNCHER RESOURCES STAND_IN_BROWSER STAND_IN_RUNTIME PEERS_DIR [RUNS]\n",
        argv[0]);
    return 2;
  }
  const std::string launcher = fs::absolute(argv[1]), resources = fs::absolute(argv[2]),
                    browser = fs::absolute(argv[3]), standInRuntime = fs::absolute(argv[4]),
                    peers = fs::absolute(argv[5]);
  const int runs = argc > 6 ? std::atoi(argv[6]) : 40;
  const DemoRuntime runtime(resources);
  const std::string home = fs::temp_directory_path();
  StampDirectory stamps;
  const BrowserDesktop desktop(browser, stamps);
  const std::vector<std::string> runtimeEnv = runtime.environment(home);
  std::vector<std::string> peerEnv = desktop.apply(runtimeEnv);
  // A runtime directory of their own for the peers, as the launcher's bundle has.
  const TempBundle peerDirectories(launcher, resources);
  setVariable(peerEnv, "XDG_RUNTIME_DIR", peerDirectories.str("run"));
  XServer x;

  // Time to browser. Each round measures the five in a shuffled order, so that none always
  // runs first (on colder caches) or last.
  std::vector<double> floor, headless, withDisplay, gioAlone, shell, headlessAfterReady,
      displayAfterReady;
  std::vector<double> headlessOver, displayOver, shellOver, headlessToShell, displayRatio,
      headlessRatio, shellRatio;
  std::mt19937 shuffle(12345);
  for (int i = 0; i < runs; ++i) {
    std::optional<double> f, g, s;
    std::optional<BrowserTimes> h, d;
    std::vector<std::function<void()>> round = {
        [&] { f = runtime.timeToURL(runtimeEnv, kDeadline); },
        [&] { h = launcherTimeToBrowser(stamps, desktop, launcher, resources, ""); },
        [&] {
          if (!x.display().empty())
            d = launcherTimeToBrowser(stamps, desktop, launcher, resources, x.display());
        },
        [&] {
          g = timeToBrowser(stamps, {"/usr/bin/gio", "open", kURL}, peerEnv);
        },
        [&] {
          s = timeToBrowser(stamps, {"/bin/sh", peers + "/open.sh", runtime.node, runtime.entry},
                            peerEnv, runtime.app);
        }};
    std::shuffle(round.begin(), round.end(), shuffle);
    for (const auto& measure : round) measure();
    if (g) gioAlone.push_back(*g);
    if (!f) continue;
    floor.push_back(*f);
    if (h) {
      headless.push_back(h->browser), headlessAfterReady.push_back(h->readyToBrowser);
      headlessOver.push_back(h->browser - *f), headlessRatio.push_back(h->browser / *f);
    }
    if (d) {
      withDisplay.push_back(d->browser), displayAfterReady.push_back(d->readyToBrowser);
      displayOver.push_back(d->browser - *f), displayRatio.push_back(d->browser / *f);
    }
    if (s) shell.push_back(*s), shellOver.push_back(*s - *f), shellRatio.push_back(*s / *f);
    if (h && s) headlessToShell.push_back(h->browser - *s);
  }

  // Launch overhead: one bundle for all rounds (the launcher has ended before the next).
  const StandInResources standIn(standInRuntime);
  TempBundle bundle(launcher, standIn.str());
  LogWatch watch(bundle.logDirectory());
  std::vector<double> viaLauncher, direct, overhead, version, binTrue, versionOver;
  for (int i = 0; i < runs; ++i) {
    std::optional<double> l, r;
    std::vector<std::function<void()>> round = {
        [&] {
          l = timeToRuntime(stamps, {bundle.str("bundle/zolven-launcher")},
                            bundle.environment(true), &watch);
        },
        [&] { r = timeToRuntime(stamps, {standIn.node()}, bundle.environment(true), nullptr); }};
    std::shuffle(round.begin(), round.end(), shuffle);
    for (const auto& measure : round) measure();
    if (l && r) viaLauncher.push_back(*l), direct.push_back(*r), overhead.push_back(*l - *r);
    const double v = timeToExit({bundle.str("bundle/zolven-launcher"), "--version"});
    const double t = timeToExit({"/bin/true"});
    version.push_back(v), binTrue.push_back(t), versionOver.push_back(v - t);
  }

  std::printf(
      "Time to browser: %d paired runs, median (min - max); the browser is a compiled\n"
      "stand-in registered as the desktop's default, timed to its start\n",
      runs);
  row("floor: node entry script alone, to its URL line", "ms", floor);
  row("launcher, headless, to the browser", "ms", headless);
  row("  minus the floor", "ms", headlessOver);
  row("  ratio to the floor", "x", headlessRatio);
  row("  minus the shell peer", "ms", headlessToShell);
  row("  of it, runtime.ready record -> the browser", "ms", headlessAfterReady);
  if (!withDisplay.empty()) {
    row("launcher, with a display (Xvfb), to the browser", "ms", withDisplay);
    row("  minus the floor", "ms", displayOver);
    row("  ratio to the floor", "x", displayRatio);
    row("  of it, runtime.ready record -> the browser", "ms", displayAfterReady);
  }
  row("gio open URL alone, to the browser", "ms", gioAlone);
  row("shell peer (bench/peers/open.sh), to the browser", "ms", shell);
  row("  minus the floor", "ms", shellOver);
  row("  ratio to the floor", "x", shellRatio);
  const auto median = [](const std::vector<double>& v) { return stats(v).median; };
  std::printf("targets: headless <= floor + 10 ms (%s), below the shell peer (%s)",
              median(headlessOver) <= 10 ? "met" : "not met",
              median(headlessToShell) < 0 ? "met" : "not met");
  if (!withDisplay.empty())
    std::printf("; with a display <= floor + 20 ms (%s)",
                median(displayOver) <= 20 ? "met" : "not met");
  std::printf("\n");

  std::printf("Launch overhead: %d paired runs; start to the stand-in runtime's start\n", runs);
  row("launcher -> supervisor -> the runtime", "ms", viaLauncher);
  row("the runtime started directly", "ms", direct);
  row("  launcher's overhead, pair by pair", "ms", overhead);
  row("zolven-launcher --version, start to exit", "ms", version);
  row("/bin/true, start to exit", "ms", binTrue);
  row("  --version minus /bin/true, pair by pair", "ms", versionOver);
  std::printf("target: launch overhead <= 2 ms at the median (%s)\n",
              median(overhead) <= 2 ? "met" : "not met");
  return 0;
}
