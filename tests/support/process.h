#pragma once

// Running the built launcher as a real process in tests.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

// Polls `condition` until it holds or the deadline passes. The deadline is generous: it
// only bounds a hang, it never paces the test.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The sanitizers' settings of this process (name and value), for the processes a test
// starts: they report and stop the same way as the test itself.
inline std::vector<std::pair<std::string, std::string>> sanitizerSettings() {
  std::vector<std::pair<std::string, std::string>> out;
  for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
    if (const char* value = std::getenv(name)) out.emplace_back(name, value);
  return out;
}

inline bool processExists(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

// One line of the process table, as /proc/<pid>/stat gives it.
struct ProcessStatus {
  pid_t pid = 0;
  char state = 0;  // 'Z' for a zombie
  pid_t parent = 0;
  pid_t group = 0;
};

// Every process of the machine that could be read.
inline std::vector<ProcessStatus> allProcesses() {
  std::vector<ProcessStatus> processes;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // pid (comm) state ppid pgrp ...; comm may hold spaces, so read after its parenthesis.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    ProcessStatus status{.pid = std::stoi(name)};
    rest >> status.state >> status.parent >> status.group;
    processes.push_back(status);
  }
  return processes;
}

// Exists and has not ended: a zombie that nobody has reaped yet (an orphan waiting for
// its new parent) counts as ended.
inline bool processRunning(pid_t pid) {
  if (!processExists(pid)) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}

// A child process with its standard output and error in files; killed (SIGKILL) when
// the object goes away, so a failing test leaves nothing running.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
          const std::string& stdoutPath, const std::string& stderrPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  // Takes over a child this process started otherwise (fork and exec); it is reaped and,
  // when still running at the end, killed like any other.
  explicit Process(pid_t started) : pid_(started) {}
  ~Process() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int number) const { ::kill(pid_, number); }

  // The exit status (or 128 + signal), or nothing if it still runs after the deadline.
  std::optional<int> waitExit(std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    if (status_) return status_;
    waitFor(
        [&] {
          int raw = 0;
          if (::waitpid(pid_, &raw, WNOHANG) == pid_) status_ = statusOf(raw);
          return status_.has_value();
        },
        deadline);
    return status_;
  }
  bool running() {
    int raw = 0;
    if (status_) return false;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
      status_ = statusOf(raw);
      return false;
    }
    return true;
  }

 private:
  static int statusOf(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace testsupport
