// Children handed to the reaper: reaped as they end, left alone while they run.
#include "platform/linux/child_reaper.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "process.h"

namespace zolven::platform {
namespace {

pid_t startChild(const char* program, const char* argument) {
  char* argv[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
  char* env[] = {nullptr};
  pid_t pid = -1;
  EXPECT_EQ(::posix_spawn(&pid, program, nullptr, nullptr, argv, env), 0);
  return pid;
}

// The state letter of a process in /proc (Z for a zombie), or nothing once it is gone.
std::string stateOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return "";
  const std::string::size_type close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? "" : line.substr(close + 2, 1);
}

TEST(ChildReaper, ReapsEachChildAsItEnds) {
  ChildReaper reaper;
  const pid_t first = startChild("/bin/sleep", "0.2");
  const pid_t second = startChild("/bin/true", nullptr);
  reaper.adopt(first);
  reaper.adopt(second);
  EXPECT_TRUE(testsupport::waitFor([&] { return stateOf(second).empty(); }))
      << "state " << stateOf(second);
  EXPECT_TRUE(testsupport::waitFor([&] { return stateOf(first).empty(); }))
      << "state " << stateOf(first);
  // Reaped by the reaper, so nothing is left for anyone else.
  EXPECT_EQ(::waitpid(first, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  // A child adopted after the others are gone is watched as well.
  const pid_t later = startChild("/bin/true", nullptr);
  reaper.adopt(later);
  EXPECT_TRUE(testsupport::waitFor([&] { return stateOf(later).empty(); }));
}

TEST(ChildReaper, LeavesARunningChildRunningWhenDestroyed) {
  const pid_t child = startChild("/bin/sleep", "30");
  {
    ChildReaper reaper;
    reaper.adopt(child);
  }
  const std::string state = stateOf(child);
  EXPECT_TRUE(state == "S" || state == "R") << "state " << state;
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
}

}  // namespace
}  // namespace zolven::platform
