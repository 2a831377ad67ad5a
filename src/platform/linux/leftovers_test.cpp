// Finding and ending what a child left behind by the mark in its environment.
#include "platform/linux/leftovers.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

namespace zolven::platform {
namespace {

using namespace std::chrono_literals;

// A `sleep` child with `environment`; killed and reaped with the object.
class Sleeper {
 public:
  explicit Sleeper(std::vector<std::string> environment) : environment_(std::move(environment)) {
    char* argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("1000"), nullptr};
    std::vector<char*> env;
    for (std::string& entry : environment_) env.push_back(entry.data());
    env.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv, env.data()), 0);
    // Its environment is the one /proc shows only once it has exec'd.
    EXPECT_TRUE(testsupport::waitFor([&] {
      return testsupport::readFile("/proc/" + std::to_string(pid_) + "/cmdline").find("1000") !=
             std::string::npos;
    }));
  }
  ~Sleeper() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  Sleeper(const Sleeper&) = delete;
  Sleeper& operator=(const Sleeper&) = delete;

  // Ended, and not reaped yet: a zombie of this process.
  bool ended() const { return !testsupport::processRunning(pid_); }

 private:
  std::vector<std::string> environment_;
  pid_t pid_ = -1;
};

TEST(EndMarkedProcesses, EndsOnlyWhatCarriesTheWholeEntry) {
  const std::string mark = "ZOLVEN_TEST_MARK=/b/app";
  Sleeper marked({"A=1", mark, "B=2"});
  Sleeper markedAlone({mark});
  Sleeper otherValue({"ZOLVEN_TEST_MARK=/b/app2"});
  Sleeper prefixOnly({"ZOLVEN_TEST_MARK=/b"});
  Sleeper unmarked({"A=1"});

  EXPECT_EQ(endMarkedProcesses(mark, 10s), 2);
  EXPECT_TRUE(marked.ended());
  EXPECT_TRUE(markedAlone.ended());
  EXPECT_FALSE(otherValue.ended());
  EXPECT_FALSE(prefixOnly.ended());
  EXPECT_FALSE(unmarked.ended());
  EXPECT_EQ(endMarkedProcesses(mark, 10s), 0) << "an ended one was found again";
}

TEST(EndMarkedProcesses, EndsNothingWhenOurOwnEnvironmentCarriesTheMark) {
  const std::string mark = "ZOLVEN_TEST_OWN_MARK=/b/app";
  Sleeper marked({mark});
  ASSERT_EQ(::setenv("ZOLVEN_TEST_OWN_MARK", "/b/app", 1), 0);
  EXPECT_EQ(endMarkedProcesses(mark, 10s), 0);
  ::unsetenv("ZOLVEN_TEST_OWN_MARK");
  EXPECT_FALSE(marked.ended());
  EXPECT_EQ(endMarkedProcesses("no entry", 10s), 0);
}

}  // namespace
}  // namespace zolven::platform
