#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <sstream>

#include "temp_dir.h"

namespace zolven::platform {
namespace {

// How a failed append begins its error, by the step that failed.
constexpr std::string_view kDirectoryFailed = "cannot make the folder ";
constexpr std::string_view kOpenFailed = "cannot open ";

testing::AssertionResult failedAt(const Result<void>& result, std::string_view step) {
  if (result.ok()) return testing::AssertionFailure() << "the append succeeded";
  if (!result.error().message.starts_with(step))
    return testing::AssertionFailure() << "failed otherwise: " << result.error().message;
  return testing::AssertionSuccess();
}

using testsupport::readFile;
using testsupport::TempDir;

mode_t modeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(saved_); }

 private:
  mode_t saved_;
};

class AppendUnderUmask : public testing::TestWithParam<mode_t> {};

TEST_P(AppendUnderUmask, CreatesDirectoriesAt0700AndFileAt0600) {
  TempDir dir;
  const std::string file = dir.str("a/b/c/launcher.log");
  {
    ScopedUmask mask(GetParam());
    ASSERT_TRUE(appendLine(file, "one\n").ok());
  }
  EXPECT_EQ(modeOf(dir.str("a")), 0700u);
  EXPECT_EQ(modeOf(dir.str("a/b")), 0700u);
  EXPECT_EQ(modeOf(dir.str("a/b/c")), 0700u);
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(readFile(file), "one\n");
}

INSTANTIATE_TEST_SUITE_P(Masks, AppendUnderUmask, testing::Values(0000, 0022, 0077, 0777));

TEST(AppendLine, ExistingFileKeepsContentAndMode) {
  TempDir dir;
  const std::string file = dir.str("launcher.log");
  testsupport::writeFile(file, "earlier run\n");
  ::chmod(file.c_str(), 0640);
  ::chmod(dir.str().c_str(), 0755);

  ASSERT_TRUE(appendLine(file, "next\n").ok());
  EXPECT_EQ(readFile(file), "earlier run\nnext\n");
  EXPECT_EQ(modeOf(file), 0640u);
  EXPECT_EQ(modeOf(dir.str()), 0755u);
}

TEST(AppendLine, DeletedFileIsRecreatedWithTheNextLineOnly) {
  TempDir dir;
  const std::string file = dir.str("logs/launcher.log");
  ASSERT_TRUE(appendLine(file, "first\n").ok());
  std::filesystem::remove_all(dir.str("logs"));

  ASSERT_TRUE(appendLine(file, "second\n").ok());
  EXPECT_EQ(readFile(file), "second\n");
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(dir.str("logs")), 0700u);
}

TEST(AppendLine, RegularFileWhereTheDirectoryShouldBeDropsTheLine) {
  TempDir dir;
  testsupport::writeFile(dir.str("logs"), "not a directory");
  EXPECT_TRUE(failedAt(appendLine(dir.str("logs/launcher.log"), "lost\n"), kDirectoryFailed));
  EXPECT_TRUE(
      failedAt(appendLine(dir.str("logs/deeper/launcher.log"), "lost\n"), kDirectoryFailed));
  EXPECT_EQ(readFile(dir.str("logs")), "not a directory");
}

TEST(AppendLine, DirectoryWhereTheFileShouldBeDropsTheLine) {
  TempDir dir;
  std::filesystem::create_directory(dir.str("launcher.log"));
  EXPECT_TRUE(failedAt(appendLine(dir.str("launcher.log"), "lost\n"), kOpenFailed));
}

TEST(AppendLine, LineAfterAHalfLineStartsALineOfItsOwn) {
  TempDir dir;
  const std::string file = dir.str("launcher.log");
  testsupport::writeFile(file, "{\"at\":\"earlier\"}\n{\"at\":\"torn");
  ASSERT_TRUE(appendLine(file, "next\n").ok());
  ASSERT_TRUE(appendLine(file, "after\n").ok());
  EXPECT_EQ(readFile(file), "{\"at\":\"earlier\"}\n{\"at\":\"torn\nnext\nafter\n");
}

struct NotAFileCase {
  const char* name;
  // Puts something other than a regular file at `path`; may return a descriptor to keep
  // open meanwhile (a FIFO's reader), or -1.
  std::function<int(const std::string& path)> make;
};

void PrintTo(const NotAFileCase& c, std::ostream* os) { *os << c.name; }

class NotAFile : public testing::TestWithParam<NotAFileCase> {};

// Each would block the open or take the line somewhere else: the line is dropped at once.
TEST_P(NotAFile, DropsTheLineWithoutWaiting) {
  TempDir dir;
  const std::string file = dir.str("launcher.log");
  const int keep = GetParam().make(file);
  EXPECT_TRUE(failedAt(appendLine(file, "lost\n"), kOpenFailed));
  if (keep >= 0) {
    char buffer[8];
    EXPECT_LE(::read(keep, buffer, sizeof buffer), 0) << "the line reached the FIFO's reader";
    ::close(keep);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, NotAFile,
                         testing::Values(NotAFileCase{"FifoWithoutReader",
                                                      [](const std::string& path) {
                                                        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
                                                        return -1;
                                                      }},
                                         NotAFileCase{"FifoWithAReader",
                                                      [](const std::string& path) {
                                                        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
                                                        return ::open(path.c_str(),
                                                                      O_RDONLY | O_NONBLOCK);
                                                      }},
                                         NotAFileCase{"SymlinkToADevice",
                                                      [](const std::string& path) {
                                                        std::filesystem::create_symlink("/dev/null",
                                                                                        path);
                                                        return -1;
                                                      }}),
                         [](const auto& info) { return std::string(info.param.name); });

struct RotationCase {
  const char* name;
  std::string before;      // the file's content, if any
  std::string older;       // the ".1" file's content, if any
  std::string line;        // appended with rotateAt = 10
  std::string after;       // the file's content then
  std::string olderAfter;  // the ".1" file's then; "-" for none
};

void PrintTo(const RotationCase& c, std::ostream* os) { *os << c.name; }

class Rotation : public testing::TestWithParam<RotationCase> {};

TEST_P(Rotation, RenamesAFullFileAndStartsANewOne) {
  TempDir dir;
  const std::string file = dir.str("logs/x.log");
  const RotationCase& c = GetParam();
  if (!c.before.empty()) {
    testsupport::writeFile(file, c.before);
    ::chmod(file.c_str(), 0640);
  }
  if (!c.older.empty()) testsupport::writeFile(file + ".1", c.older);
  ASSERT_TRUE(appendLine(file, c.line, {.rotateAt = 10}).ok());
  EXPECT_EQ(readFile(file), c.after);
  if (c.olderAfter == "-") {
    EXPECT_FALSE(std::filesystem::exists(file + ".1"));
  } else {
    EXPECT_EQ(readFile(file + ".1"), c.olderAfter);
  }
  // A file started by the rotation is private; one that was there keeps its mode.
  EXPECT_EQ(modeOf(file), c.after == c.before + c.line && !c.before.empty() ? 0640u : 0600u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Rotation,
    testing::Values(RotationCase{"UpToTheLimitStays", "12345\n", "", "678\n", "12345\n678\n", "-"},
                    RotationCase{"PastTheLimitRotates", "12345\n", "", "6789\n", "6789\n",
                                 "12345\n"},
                    RotationCase{"AnOlderRotationIsReplaced", "12345\n", "old\n", "6789\n",
                                 "6789\n", "12345\n"},
                    RotationCase{"ALongLineInAnEmptyLogStaysWhole", "", "", "longer than ten\n",
                                 "longer than ten\n", "-"},
                    RotationCase{"ATornLineGoesWithTheOldFile", "12345\n{\"at", "", "next\n",
                                 "next\n", "12345\n{\"at"}),
    [](const auto& info) { return std::string(info.param.name); });

// The folder's lock held elsewhere (by another open of the folder, as another process
// would hold it): the append does not wait for it, and leaves the rotation to a later one.
TEST(Rotation, AHeldLockLeavesTheRotationToALaterAppend) {
  TempDir dir;
  const std::string file = dir.str("x.log");
  testsupport::writeFile(file, "12345\n");
  const int folder = ::open(dir.str().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0);
  ASSERT_EQ(::flock(folder, LOCK_EX), 0);
  ASSERT_TRUE(appendLine(file, "6789\n", {.rotateAt = 10}).ok());
  EXPECT_EQ(readFile(file), "12345\n6789\n");
  EXPECT_FALSE(std::filesystem::exists(file + ".1"));

  ::close(folder);
  ASSERT_TRUE(appendLine(file, "abc\n", {.rotateAt = 10}).ok());
  EXPECT_EQ(readFile(file), "abc\n");
  EXPECT_EQ(readFile(file + ".1"), "12345\n6789\n");
}

// Two processes (two launchers of different bundles) append to one log at once, rotating
// it on the way: every line of both is whole and present in the file or its ".1".
TEST(Rotation, TwoProcessesAppendingAtOnceLoseNoLine) {
  TempDir dir;
  const std::string file = dir.str("launcher.log");
  constexpr int kLines = 3000;
  constexpr off_t kLimit = 256 * 1024;  // the ~400 kB written rotate it once
  const auto append = [&](char writer) {
    for (int i = 0; i < kLines; ++i) {
      const std::string line =
          std::string(1, writer) + std::to_string(i) + " " + std::string(60, writer) + "\n";
      if (!appendLine(file, line, {.rotateAt = kLimit}).ok()) return false;
    }
    return true;
  };
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(append('b') ? 0 : 1);
  EXPECT_TRUE(append('a'));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const std::string all = readFile(file + ".1") + readFile(file);
  // Rotated when full. Past the limit by the lines the other process appended while this
  // one rotated: it does not wait for a rotation, so how many depends on the scheduler.
  EXPECT_GE(std::filesystem::file_size(file + ".1"), static_cast<uintmax_t>(kLimit) - 68);
  std::set<std::string> seen;
  std::istringstream lines(all);
  for (std::string line; std::getline(lines, line);) {
    ASSERT_EQ(line.size(), line.find(' ') + 61) << "a torn line: " << line;
    const char writer = line[0];
    EXPECT_EQ(line.substr(line.find(' ') + 1), std::string(60, writer)) << line;
    EXPECT_TRUE(seen.insert(line.substr(0, line.find(' '))).second) << "twice: " << line;
  }
  EXPECT_EQ(seen.size(), 2u * kLines);
}

// Several processes (launchers of several bundles) append to one log at once, their
// records crossing many page boundaries of the file, in many rounds: no line is empty,
// none is glued to another, and every record is there once.
TEST(AppendLine, SeveralProcessesAppendingAtOnceLeaveOnlyWholeLines) {
  constexpr int kWriters = 4;
  constexpr int kLines = 1500;
  constexpr int kRounds = 12;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    TempDir dir;
    const std::string file = dir.str("launcher.log");
    // Lengths from 40 to 140 bytes, so each writer's records straddle the 4 KiB
    // boundaries at ever other places.
    const auto lineOf = [](char writer, int i) {
      return std::string(1, writer) + std::to_string(i) + " " +
             std::string(40 + (i * 37 + writer) % 101, writer) + "\n";
    };
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
      const pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        const char writer = static_cast<char>('a' + w);
        for (int i = 0; i < kLines; ++i)
          if (!appendLine(file, lineOf(writer, i)).ok()) ::_exit(1);
        ::_exit(0);
      }
      children.push_back(child);
    }
    for (const pid_t child : children) {
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    std::set<std::string> seen;
    int empty = 0;
    std::istringstream lines(readFile(file));
    for (std::string line; std::getline(lines, line);) {
      if (line.empty()) {
        ++empty;
        continue;
      }
      const char writer = line[0];
      const int i = std::stoi(line.substr(1));
      EXPECT_EQ(line + "\n", lineOf(writer, i)) << "a glued or torn line";
      EXPECT_TRUE(seen.insert(line).second) << "twice: " << line;
    }
    EXPECT_EQ(empty, 0) << "empty lines";
    EXPECT_EQ(seen.size(), static_cast<size_t>(kWriters * kLines));
  }
}

}  // namespace
}  // namespace zolven::platform
