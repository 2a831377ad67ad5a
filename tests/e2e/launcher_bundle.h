#pragma once

// A temporary launcher bundle around a copy of the built launcher, with a shell script
// standing in for node, and helpers to run it headless and read its log.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "json_lines.h"
#include "process.h"
#include "temp_dir.h"

namespace testsupport {

#if defined(__aarch64__)
inline const std::string kArch = "arm64";
#else
inline const std::string kArch = "x64";
#endif

// Records what the runtime was given, then behaves as the test asks. The runtime's
// PATH is the launcher's fixed one, so everything it runs comes from /usr/bin or /bin.
inline const char* kRecordingNode = R"(#!/bin/sh
out="$ZOLVEN_TEST_RECORD"
printf '%s\n' "$#" "$@" > "$out/args.tmp" && mv "$out/args.tmp" "$out/args"
pwd > "$out/cwd"
env > "$out/env"
echo $$ > "$out/pid.tmp" && mv "$out/pid.tmp" "$out/pid"
exec sleep 1000
)";

class LauncherBundle {
 public:
  LauncherBundle() {
    std::filesystem::create_directories(root());
    std::filesystem::copy_file(ZOLVEN_LAUNCHER_PATH, executable());
    std::filesystem::create_directories(dir_.str("bundle/lib"));
    std::filesystem::copy_file(ZOLVEN_DESKTOP_MODULE_PATH,
                               dir_.str("bundle/lib/zolven-desktop.so"));
    std::filesystem::copy_file(ZOLVEN_BROWSER_MODULE_PATH,
                               dir_.str("bundle/lib/zolven-browser.so"));
    std::filesystem::copy_file(ZOLVEN_SUPERVISOR_PATH, dir_.str("bundle/lib/zolven-supervisor"));
    std::filesystem::create_directories(dir_.str("record"));
    std::filesystem::create_directories(dir_.str("logs"));
    // The per-user runtime directory, private to this test, holds the single-instance files.
    std::filesystem::create_directories(dir_.str("run"));
    std::filesystem::permissions(dir_.str("run"), std::filesystem::perms::owner_all);
    std::filesystem::create_directories(dir_.str("xdg-empty"));
  }

  std::string root() const { return dir_.str("bundle"); }
  std::string executable() const { return dir_.str("bundle/zolven-launcher"); }
  std::string resources(const std::string& relative = "") const {
    return relative.empty() ? dir_.str("bundle/resources")
                            : dir_.str("bundle/resources/" + relative);
  }
  std::string record(const std::string& name) const { return dir_.str("record/" + name); }
  std::string logFile() const { return dir_.str("logs/launcher.log"); }
  const TempDir& dir() const { return dir_; }

  // runtime: "runtime/<arch>" or "runtime".
  void addNode(const std::string& runtime, const std::string& script = kRecordingNode,
               std::filesystem::perms mode = std::filesystem::perms::owner_all) {
    writeFile(resources(runtime + "/bin/node"), script, mode);
  }
  void addEntryScript(const std::string& runtime) {
    writeFile(resources(runtime + "/app/scripts/packaged-runtime.mjs"), "// entry\n");
  }
  void addConfig() { writeFile(resources("config/runtime-config.json"), "{}\n"); }
  void addRuntime(const std::string& runtime) {
    addNode(runtime);
    addEntryScript(runtime);
    addConfig();
  }

  // The launcher's environment: a small fixed one, headless, logging into the bundle's
  // temp dir, plus what the test adds (a value of std::nullopt removes a variable).
  std::vector<std::string> environment(
      const std::map<std::string, std::optional<std::string>>& extra = {}) const {
    std::map<std::string, std::optional<std::string>> env = {
        {"PATH", "/usr/local/bin:/usr/bin:/bin"},
        {"HOME", dir_.str("home")},
        {"ZOLVEN_LOG_ROOT", dir_.str("logs")},
        {"ZOLVEN_TEST_RECORD", dir_.str("record")},
        {"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", "1"},
        {"XDG_RUNTIME_DIR", dir_.str("run")},
        // No desktop settings: no browser of this machine is ever started by a test.
        {"XDG_CONFIG_HOME", dir_.str("xdg-empty")},
        {"XDG_DATA_HOME", dir_.str("xdg-empty")},
        {"XDG_CONFIG_DIRS", dir_.str("xdg-empty")},
        {"XDG_DATA_DIRS", dir_.str("xdg-empty")},
    };
    for (const auto& [name, value] : sanitizerSettings()) env[name] = value;
    for (const auto& [key, value] : extra) env[key] = value;
    std::vector<std::string> out;
    for (const auto& [key, value] : env)
      if (value) out.push_back(key + "=" + *value);
    return out;
  }

  // `name` tells apart the output files of several starts of the same bundle.
  std::unique_ptr<Process> start(
      const std::map<std::string, std::optional<std::string>>& extra = {},
      const std::string& name = "") const {
    return std::make_unique<Process>(std::vector<std::string>{executable()}, environment(extra),
                                     dir_.str("stdout" + name), dir_.str("stderr" + name));
  }

  std::string launcherStdout(const std::string& name = "") const {
    return readFile(dir_.str("stdout" + name));
  }
  std::string launcherStderr(const std::string& name = "") const {
    return readFile(dir_.str("stderr" + name));
  }

  std::vector<nlohmann::json> records(const std::string& file = "") const {
    return readJsonLines(file.empty() ? logFile() : file);
  }
  std::vector<std::string> events(const std::string& file = "") const {
    return eventsOf(records(file));
  }
  // How many records of `event` the log holds, without parsing it: for polling a long log.
  // Quotes inside a record's strings are escaped, so only an "event" member matches.
  long eventCount(const std::string& event) const {
    const std::string text = readFile(logFile());
    const std::string member = "\"event\":\"" + event + "\"";
    long n = 0;
    for (size_t at = text.find(member); at != std::string::npos; at = text.find(member, at + 1))
      ++n;
    return n;
  }
  bool hasEvent(const std::string& event) const {
    for (const auto& e : events())
      if (e == event) return true;
    return false;
  }

  // The environment the runtime recorded, as NAME -> value.
  std::map<std::string, std::string> childEnvironment() const {
    std::map<std::string, std::string> env;
    std::istringstream lines(readFile(record("env")));
    for (std::string line; std::getline(lines, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return env;
  }
  pid_t childPid() const { return static_cast<pid_t>(std::stol(readFile(record("pid")))); }
  bool childStarted() const { return std::filesystem::exists(record("pid")); }

 private:
  TempDir dir_;
};

// Stops a launcher whose runtime is running (SIGTERM, as a quit) and checks that both are
// gone: the launcher ended with 0 and reaped its runtime.
inline void quitAndExpectCleanEnd(const LauncherBundle& bundle, Process& launcher) {
  const pid_t child = bundle.childPid();
  launcher.signal(SIGTERM);
  EXPECT_EQ(launcher.waitExit(), 0);
  EXPECT_TRUE(waitFor([&] { return !processExists(child); })) << "runtime left behind";
}

}  // namespace testsupport
