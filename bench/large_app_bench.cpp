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

constexpr double kDeadline = 60;

// Files under a directory, however deep.
size_t fileCount(const fs::path& directory) {
  size_t count = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(directory, error), end; it != end; it.increment(error))
    if (it->is_regular_file()) ++count;
  return count;
}

// The runtime's environment with node's compile cache in `cache`, or turned off.
std::vector<std::string> cacheEnvironment(const DemoRuntime& runtime, const std::string& home,
                                          const std::string& cache, bool cacheOff) {
  std::vector<std::string> env = runtime.environment(home);
  env.push_back("XDG_CACHE_HOME=" + cache);
  if (cacheOff) env.push_back("NODE_DISABLE_COMPILE_CACHE=1");
  return env;
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
  const DemoRuntime runtime(resources);
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
    if (offFirst) o = runtime.timeToURL(cacheEnvironment(runtime, home, offCache, true), kDeadline);
    c = runtime.timeToURL(cacheEnvironment(runtime, home, cache, false), kDeadline);
    if (fileCount(cache) == 0) ++unwritten;
    w = runtime.timeToURL(cacheEnvironment(runtime, home, cache, false), kDeadline);
    l = launcherTime(launcher, resources, cache);
    if (!offFirst)
      o = runtime.timeToURL(cacheEnvironment(runtime, home, offCache, true), kDeadline);
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
