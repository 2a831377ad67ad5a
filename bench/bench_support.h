#pragma once

// What the benchmark programs share: spawning, timing, statistics, /proc readings and
// temporary launcher bundles.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace bench {

namespace fs = std::filesystem;

inline double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Stats {
  double median, min, max;
};

inline Stats stats(std::vector<double> values) {
  if (values.empty()) return {0, 0, 0};
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return {median, values.front(), values.back()};
}

inline void row(const std::string& name, const std::string& unit,
                const std::vector<double>& values) {
  const Stats s = stats(values);
  std::printf("%-52s %10.2f  (%.2f - %.2f) %s\n", name.c_str(), s.median, s.min, s.max,
              unit.c_str());
}

struct SpawnOptions {
  int in = -1;            // standard input, else /dev/null
  int out = -1;           // standard output, else /dev/null (standard error always is)
  std::string directory;  // working directory, else ours
  bool newGroup = false;  // lead a process group of its own, to be signalled whole
};

// Starts argv[0] (an absolute path) with exactly `env`.
inline pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const SpawnOptions& options = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.in >= 0)
    posix_spawn_file_actions_adddup2(&actions, options.in, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (options.out >= 0)
    posix_spawn_file_actions_adddup2(&actions, options.out, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (!options.directory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, options.directory.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (options.newGroup) {
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  }
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, &attributes, args.data(), envp.data()) != 0) {
    std::perror(argv[0].c_str());
    std::exit(1);
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// A field of /proc/<pid>/status in kB (VmRSS, VmHWM, ...), or -1.
inline long statusField(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  return -1;
}

// Context switches of all the process's threads so far: each is a wake-up after a sleep
// (voluntary) or a preemption.
inline long contextSwitches(pid_t pid) {
  long total = 0;
  const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& task : fs::directory_iterator(tasks, error)) {
    std::ifstream in(task.path() / "status");
    for (std::string line; std::getline(in, line);)
      if (line.find("ctxt_switches:") != std::string::npos)
        total += std::atol(line.c_str() + line.find(':') + 1);
  }
  return total;
}

// The process's own CPU seconds (all its threads, not its children), read while it is a
// zombie not yet reaped.
inline double ownCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

inline void writeFile(const fs::path& path, const std::string& content, bool executable = false) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << content;
  if (executable) fs::permissions(path, fs::perms::owner_all);
}

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Waits for a line of `fd` that holds `needle`; the time it was read, or nothing at the
// deadline or end of file.
inline std::optional<double> waitForLine(int fd, const std::string& needle, double deadline) {
  std::string text;
  char buffer[4096];
  while (now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    text.append(buffer, static_cast<size_t>(n));
    const size_t found = text.find(needle);
    if (found != std::string::npos && text.find('\n', found) != std::string::npos) return now();
  }
  return std::nullopt;
}

// Ends a program that spawn() started: SIGTERM to it, or to its process group, and a wait.
inline void stop(pid_t pid, bool group = false) {
  kill(group ? -pid : pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// Starts a program in a process group of its own with its standard output in a pipe and
// times it to a line holding `needle`; the group is stopped afterwards. Milliseconds, or
// nothing by `deadline` seconds.
inline std::optional<double> timeToLine(const std::vector<std::string>& argv,
                                        const std::vector<std::string>& env,
                                        const std::string& directory, const std::string& needle,
                                        double deadline) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  const double start = now();
  const pid_t pid = spawn(argv, env, {.out = fds[1], .directory = directory, .newGroup = true});
  close(fds[1]);
  const std::optional<double> seen = waitForLine(fds[0], needle, start + deadline);
  stop(pid, true);
  close(fds[0]);
  if (!seen) return std::nullopt;
  return (*seen - start) * 1e3;
}

#if defined(__aarch64__)
inline const std::string kArch = "arm64";
#else
inline const std::string kArch = "x64";
#endif

// The demo runtime in a bundle's resources directory, to be started without the launcher.
struct DemoRuntime {
  explicit DemoRuntime(const std::string& resources)
      : node(resources + "/runtime/" + kArch + "/bin/node"),
        entry(resources + "/runtime/" + kArch + "/app/scripts/packaged-runtime.mjs"),
        app(resources + "/runtime/" + kArch + "/app"),
        config(resources + "/config/runtime-config.json"),
        bin(resources + "/runtime/" + kArch + "/bin") {}

  std::string node, entry, app, config, bin;

  // The environment it gets from the launcher, and no browser opened.
  std::vector<std::string> environment(const std::string& home) const {
    return {"PATH=/usr/bin:/bin:/usr/sbin:/sbin",   "HOME=" + home,
            "ZOLVEN_PACKAGED_RESOURCE_ROOT=" + app, "ZOLVEN_PACKAGED_CONFIG=" + config,
            "ZOLVEN_PACKAGED_BIN_DIR=" + bin,       "ZOLVEN_SUPPRESS_BROWSER=1"};
  }

  // Its own start, to its URL line. Milliseconds, or nothing by `deadline` seconds.
  std::optional<double> timeToURL(const std::vector<std::string>& env, double deadline) const {
    return timeToLine({node, entry}, env, app, "http://127.0.0.1", deadline);
  }
};

// Watches a log directory and notes when a record of `event` is appended to its file.
class LogWatch {
 public:
  explicit LogWatch(const std::string& directory)
      : directory_(directory), fd_(inotify_init1(IN_CLOEXEC)) {
    inotify_add_watch(fd_, directory.c_str(), IN_MODIFY | IN_CREATE);
  }
  ~LogWatch() { close(fd_); }

  std::optional<double> waitFor(const std::string& event, double deadline) {
    const std::string needle = "\"event\":\"" + event + "\"";
    while (now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char events[4096];
      (void)!read(fd_, events, sizeof events);
      const double seen = now();
      if (readFile(directory_ + "/launcher.log").find(needle) != std::string::npos) return seen;
    }
    return std::nullopt;
  }

 private:
  std::string directory_;
  int fd_;
};

// A temporary copy of a bundle (the launcher binary, its resources linked in), with a
// private log directory, home and runtime directory.
class TempBundle {
 public:
  // `resources`: an existing resources directory to link, or empty to make one with
  // `nodeScript` as the runtime.
  TempBundle(const std::string& launcher, const std::string& resources,
             const std::string& nodeScript = "") {
    char pattern[] = "/tmp/zolven-bench-XXXXXX";
    root_ = mkdtemp(pattern);
    fs::create_directories(root_ / "bundle");
    fs::copy_file(launcher, root_ / "bundle/zolven-launcher");
    for (const char* name : {"zolven-desktop.so", "zolven-browser.so", "zolven-supervisor"}) {
      const fs::path module = fs::path(launcher).parent_path() / "lib" / name;
      if (!fs::exists(module)) continue;
      fs::create_directories(root_ / "bundle/lib");
      fs::copy_file(module, root_ / "bundle/lib" / name);
    }
    if (!resources.empty()) {
      fs::create_directory_symlink(resources, root_ / "bundle/resources");
    } else {
      writeFile(root_ / "bundle/resources/runtime/bin/node", nodeScript, true);
      writeFile(root_ / "bundle/resources/runtime/app/scripts/packaged-runtime.mjs", "");
      writeFile(root_ / "bundle/resources/config/runtime-config.json", "{}");
    }
    for (const char* dir : {"logs", "home", "xdg", "run"}) fs::create_directories(root_ / dir);
    fs::permissions(root_ / "run", fs::perms::owner_all);
  }
  ~TempBundle() { fs::remove_all(root_); }
  TempBundle(const TempBundle&) = delete;
  TempBundle& operator=(const TempBundle&) = delete;

  std::vector<std::string> environment(bool suppress, const std::string& display = "") const {
    std::vector<std::string> env = {
        "PATH=/usr/bin:/bin", "HOME=" + str("home"), "ZOLVEN_LOG_ROOT=" + str("logs"),
        "XDG_RUNTIME_DIR=" + str("run"),
        // No browser anywhere: every open fails at once, without starting anything.
        "XDG_CONFIG_HOME=" + str("xdg"), "XDG_DATA_HOME=" + str("xdg"),
        "XDG_DATA_DIRS=" + str("xdg"), "XDG_CONFIG_DIRS=" + str("xdg")};
    if (suppress) env.push_back("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER=1");
    if (!display.empty()) env.push_back("DISPLAY=" + display);
    return env;
  }
  pid_t start(bool suppress, const std::string& display = "") const {
    return spawn({str("bundle/zolven-launcher")}, environment(suppress, display));
  }
  std::string str(const std::string& relative) const { return (root_ / relative).string(); }
  std::string logDirectory() const { return str("logs"); }
  std::string log() const { return str("logs/launcher.log"); }

 private:
  fs::path root_;
};

// An X server for the runs with a display; empty display() when Xvfb is missing.
class XServer {
 public:
  XServer() {
    int fds[2];
    if (!fs::exists("/usr/bin/Xvfb") || pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = spawn({"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-noreset", "-screen",
                  "0", "1024x768x24"},
                 {"PATH=/usr/bin:/bin"}, {.out = fds[1]});
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~XServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace bench
