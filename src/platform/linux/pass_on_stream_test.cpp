#include "platform/linux/pass_on_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace zolven::platform {
namespace {

class IgnoredSigpipe {
 public:
  IgnoredSigpipe() { ::sigaction(SIGPIPE, &ignore(), &saved_); }
  ~IgnoredSigpipe() { ::sigaction(SIGPIPE, &saved_, nullptr); }

 private:
  static const struct sigaction& ignore() {
    static struct sigaction action = [] {
      struct sigaction a {};
      a.sa_handler = SIG_IGN;
      sigemptyset(&a.sa_mask);
      return a;
    }();
    return action;
  }
  struct sigaction saved_ {};
};

// A launcher's standard error that nobody reads, or that is closed, takes what fits and
// never holds the runtime up, and the descriptor's flags stay.
TEST(DescriptorStream, PassesOnWithoutWaiting) {
  IgnoredSigpipe ignored;
  for (const bool readerClosed : {false, true}) {
    SCOPED_TRACE(readerClosed ? "reader closed" : "nobody reads");
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    if (readerClosed) ::close(fds[0]);
    const int flags = ::fcntl(fds[1], F_GETFL);
    {
      DescriptorStream stream(fds[1]);
      const std::string line = std::string(99, 'e') + "\n";
      std::string chunk;
      for (int i = 0; i < 640; ++i) chunk += line;       // 64 000 bytes
      for (int i = 0; i < 20; ++i) stream.write(chunk);  // 1.28 MB, far more than the pipe
    }
    EXPECT_EQ(::fcntl(fds[1], F_GETFL), flags);
    if (!readerClosed) {
      int held = 0;
      ASSERT_EQ(::ioctl(fds[0], FIONREAD, &held), 0);
      EXPECT_GT(held, 0) << "nothing was passed on";
      ::close(fds[0]);
    }
    ::close(fds[1]);
  }
}

// A socket (the journal's stream, under systemd) is sent to without waiting.
TEST(DescriptorStream, PassesOnToASocketWithoutWaiting) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  const int flags = ::fcntl(fds[1], F_GETFL);
  {
    DescriptorStream stream(fds[1]);
    const std::string chunk(64000, 's');
    for (int i = 0; i < 40; ++i) stream.write(chunk);  // 2.56 MB, more than it buffers
  }
  EXPECT_EQ(::fcntl(fds[1], F_GETFL), flags);
  int held = 0;
  ASSERT_EQ(::ioctl(fds[0], FIONREAD, &held), 0);
  EXPECT_GT(held, 0);
  ::close(fds[0]);
  ::close(fds[1]);
}

// A regular file takes everything.
TEST(DescriptorStream, ARegularFileTakesEverything) {
  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  const std::string data(1 << 20, 'f');
  {
    DescriptorStream stream(::fileno(file));
    stream.write(data);
  }
  EXPECT_EQ(::lseek(::fileno(file), 0, SEEK_END), static_cast<off_t>(data.size()));
  std::fclose(file);
}

struct WholeCase {
  const char* name;
  enum { Held, ShortOfFull } counted;
  size_t bytes;  // in the pipe already, or short of a full pipe
  size_t size;
  bool goes;
};

void PrintTo(const WholeCase& c, std::ostream* os) { *os << c.name; }

class WriteWhole : public testing::TestWithParam<WholeCase> {};

// Lines of the launcher's own into a pipe that nobody reads: all of it or nothing, at once.
TEST_P(WriteWhole, WritesAllOrNothingWithoutWaiting) {
  const WholeCase& c = GetParam();
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const int flags = ::fcntl(fds[1], F_GETFL);
  const auto capacity = static_cast<size_t>(::fcntl(fds[1], F_GETPIPE_SZ));
  const size_t held = c.counted == WholeCase::Held ? c.bytes : capacity - c.bytes;
  ASSERT_EQ(writeWithoutWaiting(fds[1], std::string(held, 'h')), held);
  const std::string line = std::string(c.size - 1, 'w') + "\n";
  {
    DescriptorStream stream(fds[1]);
    EXPECT_EQ(stream.writeWhole(line), c.goes);
  }
  EXPECT_EQ(::fcntl(fds[1], F_GETFL), flags);
  ::close(fds[1]);
  std::string all;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) all.append(buffer, n);
  ::close(fds[0]);
  EXPECT_EQ(all, std::string(held, 'h') + (c.goes ? line : ""));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteWhole,
    testing::Values(WholeCase{"IntoRoom", WholeCase::Held, 0, 100, true},
                    WholeCase{"BehindOthers", WholeCase::Held, 1000, 100, true},
                    WholeCase{"IntoAFullPipe", WholeCase::ShortOfFull, 0, 100, false},
                    WholeCase{"LongerThanTheRoomLeft", WholeCase::ShortOfFull, 50, 100, false},
                    WholeCase{"LongIntoAnEmptyPipe", WholeCase::Held, 0, 10000, true},
                    WholeCase{"LongBehindOthers", WholeCase::Held, 100, 10000, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WriteWithoutWaiting, WritesWhatFitsAndReturns) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const int capacity = ::fcntl(fds[1], F_GETPIPE_SZ);
  const std::string data(4 * static_cast<size_t>(capacity), 'z');
  EXPECT_EQ(writeWithoutWaiting(fds[1], data), static_cast<size_t>(capacity));
  EXPECT_EQ(writeWithoutWaiting(fds[1], "more"), 0u);
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace zolven::platform
