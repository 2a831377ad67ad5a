#include "log/log_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "temp_dir.h"

namespace eventlog {
namespace {

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
    ASSERT_EQ(appendLine(file, "one\n"), AppendResult::Written);
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

  ASSERT_EQ(appendLine(file, "next\n"), AppendResult::Written);
  EXPECT_EQ(readFile(file), "earlier run\nnext\n");
  EXPECT_EQ(modeOf(file), 0640u);
  EXPECT_EQ(modeOf(dir.str()), 0755u);
}

TEST(AppendLine, DeletedFileIsRecreatedWithTheNextLineOnly) {
  TempDir dir;
  const std::string file = dir.str("logs/launcher.log");
  ASSERT_EQ(appendLine(file, "first\n"), AppendResult::Written);
  std::filesystem::remove_all(dir.str("logs"));

  ASSERT_EQ(appendLine(file, "second\n"), AppendResult::Written);
  EXPECT_EQ(readFile(file), "second\n");
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(dir.str("logs")), 0700u);
}

TEST(AppendLine, RegularFileWhereTheDirectoryShouldBeDropsTheLine) {
  TempDir dir;
  testsupport::writeFile(dir.str("logs"), "not a directory");
  EXPECT_EQ(appendLine(dir.str("logs/launcher.log"), "lost\n"), AppendResult::DirectoryFailed);
  EXPECT_EQ(appendLine(dir.str("logs/deeper/launcher.log"), "lost\n"),
            AppendResult::DirectoryFailed);
  EXPECT_EQ(readFile(dir.str("logs")), "not a directory");
}

TEST(AppendLine, DirectoryWhereTheFileShouldBeDropsTheLine) {
  TempDir dir;
  std::filesystem::create_directory(dir.str("launcher.log"));
  EXPECT_EQ(appendLine(dir.str("launcher.log"), "lost\n"), AppendResult::OpenFailed);
}

TEST(AppendLine, LineAfterAHalfLineStartsALineOfItsOwn) {
  TempDir dir;
  const std::string file = dir.str("launcher.log");
  testsupport::writeFile(file, "{\"at\":\"earlier\"}\n{\"at\":\"torn");
  ASSERT_EQ(appendLine(file, "next\n"), AppendResult::Written);
  ASSERT_EQ(appendLine(file, "after\n"), AppendResult::Written);
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
  EXPECT_EQ(appendLine(file, "lost\n"), AppendResult::OpenFailed);
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

}  // namespace
}  // namespace eventlog
