// A large app: the demo runtime loading a large script before it serves, started with and
// without node's compile cache (which the demo's entry enables in the user's cache folder
// when node has it).
//
//   large_app_bench LAUNCHER RESOURCES [RUNS]
//
// RESOURCES is the resources directory of a bundle made from such an app. Each round has
// a new, empty cache folder and measures, to the URL line of the node entry script started
// directly: without the cache (NODE_DISABLE_COMPILE_CACHE=1), cold (the run that fills
// the cache) and warm (the next run); and the launcher with the warm cache to its
// "runtime.ready" record. Medians over RUNS rounds with min - max; ratios pair by pair.
#include <random>

#include "bench_support.h"

using namespace bench;

namespace {

#if defined(__aarch64__)
const std::string kArch = "arm64";
#else
const std::string kArch = "x64";
#endif

constexpr double kDeadline = 60;

void stop(pid_t pid, bool group = false) {
  kill(group ? -pid : pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// Files under a directory, however deep.
size_t fileCount(const fs::path& directory) {
  size_t count = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(directory, error), end; it != end; it.increment(error))
    if (it->is_regular_file()) ++count;
  return count;
}

struct Runtime {
  std::string node, entry, app, config, bin;
  std::vector<std::string> environment(const std::string& home, const std::string& cache,
                                       bool cacheOff) const {
    std::vector<std::string> env = {"PATH=/usr/bin:/bin:/usr/sbin:/sbin",
                                    "HOME=" + home,
                                    "XDG_CACHE_HOME=" + cache,
                                    "ZOLVEN_PACKAGED_RESOURCE_ROOT=" + app,
                                    "ZOLVEN_PACKAGED_CONFIG=" + config,
                                    "ZOLVEN_PACKAGED_BIN_DIR=" + bin,
                                    "ZOLVEN_SUPPRESS_BROWSER=1"};
    if (cacheOff) env.push_back("NODE_DISABLE_COMPILE_CACHE=1");
    return env;
  }
};

// The node entry script alone, to its URL line. Milliseconds, or nothing.
std::optional<double> nodeTime(const Runtime& runtime, const std::vector<std::string>& env) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  const double start = now();
  const pid_t pid = spawn({runtime.node, runtime.entry}, env,
                          {.out = fds[1], .directory = runtime.app, .newGroup = true});
  close(fds[1]);
  const std::optional<double> seen = waitForLine(fds[0], "http://127.0.0.1", start + kDeadline);
  stop(pid, true);
  close(fds[0]);
  if (!seen) return std::nullopt;
  return (*seen - start) * 1e3;
}

std::optional<double> launcherTime(const std::string& launcher, const std::string& resources,
                                   const std::string& cache) {
  TempBundle bundle(launcher, resources);
  LogWatch watch(bundle.logDirectory());
  std::vector<std::string> env = bundle.environment(true);
  env.push_back("XDG_CACHE_HOME=" + cache);
  const double start = now();
  const pid_t pid = spawn({bundle.str("bundle/zolven-launcher")}, env);
  const std::optional<double> seen = watch.waitFor("runtime.ready", start + kDeadline);
  stop(pid);
  if (!seen) return std::nullopt;
  return (*seen - start) * 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s LAUNCHER RESOURCES [RUNS]\n", argv[0]);
    return 2;
  }
  const std::string launcher = fs::absolute(argv[1]), resources = fs::absolute(argv[2]);
  const int runs = argc > 3 ? std::atoi(argv[3]) : 10;
  const std::string runtimeDir = resources + "/runtime/" + kArch;
  const Runtime runtime{.node = runtimeDir + "/bin/node",
                        .entry = runtimeDir + "/app/scripts/packaged-runtime.mjs",
                        .app = runtimeDir + "/app",
                        .config = resources + "/config/runtime-config.json",
                        .bin = runtimeDir + "/bin"};
  char pattern[] = "/tmp/zolven-bench-cache-XXXXXX";
  const fs::path root = mkdtemp(pattern);

  std::vector<double> off, cold, warm, viaLauncher, coldRatio, warmRatio, launcherRatio;
  size_t unwritten = 0, writtenWhenOff = 0;
  std::mt19937 shuffle(12345);
  for (int i = 0; i < runs; ++i) {
    const fs::path round = root / std::to_string(i);
    const std::string home = (round / "home").string(), cache = (round / "cache").string(),
                      offCache = (round / "off-cache").string();
    fs::create_directories(home);
    std::optional<double> o, c, w, l;
    // Without the cache before or after the cached runs, alternately at random.
    const bool offFirst = shuffle() % 2 == 0;
    if (offFirst) o = nodeTime(runtime, runtime.environment(home, offCache, true));
    c = nodeTime(runtime, runtime.environment(home, cache, false));
    if (fileCount(cache) == 0) ++unwritten;
    w = nodeTime(runtime, runtime.environment(home, cache, false));
    l = launcherTime(launcher, resources, cache);
    if (!offFirst) o = nodeTime(runtime, runtime.environment(home, offCache, true));
    if (fileCount(offCache) != 0) ++writtenWhenOff;
    fs::remove_all(round);
    if (!o) continue;
    off.push_back(*o);
    if (c) cold.push_back(*c), coldRatio.push_back(*c / *o);
    if (w) warm.push_back(*w), warmRatio.push_back(*w / *o);
    if (l) viaLauncher.push_back(*l), launcherRatio.push_back(*l / *o);
  }
  fs::remove_all(root);

  std::printf("Large app: the demo loading a large script, %d rounds, to the URL line\n", runs);
  row("node alone, without the compile cache", "ms", off);
  row("node alone, cold cache (the run that fills it)", "ms", cold);
  row("  ratio to node without the cache", "x", coldRatio);
  row("node alone, warm cache", "ms", warm);
  row("  ratio to node without the cache", "x", warmRatio);
  row("launcher, headless, warm cache, to runtime.ready", "ms", viaLauncher);
  row("  ratio to node without the cache", "x", launcherRatio);
  if (unwritten != 0)
    std::printf("note: %zu of %d cold runs wrote no compile cache\n", unwritten, runs);
  if (writtenWhenOff != 0)
    std::printf("note: %zu of %d runs without the cache wrote one anyway\n", writtenWhenOff, runs);
  std::printf("target: warm <= 0.8 x node without the cache (%s)\n",
              stats(warmRatio).median <= 0.8 ? "met" : "not met");
  return 0;
}
