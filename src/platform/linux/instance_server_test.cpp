// The server on a real socket: who is heard, and who is dropped.
#include "platform/linux/instance_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <ostream>

#include "platform/posix/support.h"
#include "temp_dir.h"

namespace zolven::platform {
namespace {

using namespace std::chrono_literals;
using testsupport::TempDir;

// Bounds a hang; never paces a test.
constexpr std::chrono::milliseconds kDeadline = 20s;

// Sends a reopen over a connection of this thread's own credentials to the socket at
// `path`, and returns whatever comes back until the server closes the connection: the
// answer line, or nothing ("") when the server dropped the sender. An error or a hang is
// "failed: ..." so that it never passes for either.
std::string askToReopen(const std::string& path) {
  const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return std::string("failed: connect: ") + std::strerror(errno);
  const std::string line = "reopen\n";
  // A server that drops the sender may have closed the connection already.
  if (::send(fd.get(), line.data(), line.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(line.size()) &&
      errno != EPIPE && errno != ECONNRESET)
    return std::string("failed: send: ") + std::strerror(errno);
  std::string received;
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  for (;;) {
    pollfd fds = {.fd = fd.get(), .events = POLLIN, .revents = 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left <= 0ms || ::poll(&fds, 1, static_cast<int>(left.count())) <= 0)
      return "failed: no end";
    char buffer[256];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    // A server that closes with our line unread resets the connection.
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return received;
    if (n < 0) return std::string("failed: read: ") + std::strerror(errno);
    received.append(buffer, static_cast<size_t>(n));
  }
}

class InstanceServerTest : public testing::Test {
 protected:
  // A server in the temporary directory for the requests of `user`'s processes.
  std::unique_ptr<InstanceServer> start(uid_t user) {
    Result<std::unique_ptr<InstanceServer>> server =
        InstanceServer::start(directory.get(), socket, user, [this](const InstanceRequest&) {
          ++handled;
          return InstanceAnswer(true);
        });
    EXPECT_TRUE(server.ok()) << server.error().message;
    return server ? std::move(*server) : nullptr;
  }

  TempDir temp;
  const UniqueFd directory{::open(temp.str().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  const InstanceSocket socket = instanceSocket(temp.str(), directory.get(), "0123456789abcdef");
  std::atomic<int> handled{0};
};

struct PeerCase {
  const char* name;
  uid_t servedUserOffset;  // added to this process's user: 0 is its own
  std::string answer;      // "": dropped without one
  int handled;
};

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.name; }

class ServerPeers : public InstanceServerTest, public testing::WithParamInterface<PeerCase> {};

// The kernel tells the server who connected; the sender here is this process, whose user
// is the served one or not.
TEST_P(ServerPeers, HearsOnlyTheServedUser) {
  const auto server = start(::geteuid() + GetParam().servedUserOffset);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(askToReopen(socket.path), GetParam().answer);
  EXPECT_EQ(handled, GetParam().handled);
}

INSTANTIATE_TEST_SUITE_P(Cases, ServerPeers,
                         testing::Values(PeerCase{"ItsOwnUser", 0, "ok\n", 1},
                                         PeerCase{"AnotherUser", 1, "", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstanceServerTest, ProcessOfAnotherUserIsDroppedAndItsOwnHeard) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to send as another user";
  const auto server = start(::geteuid());
  ASSERT_NE(server, nullptr);
  // A sender running as user 65534. Credentials belong to a thread on Linux (the C
  // library only makes them the process's), so the raw calls change this thread's alone;
  // it keeps root's access to the files, so only the server's check stands in its way.
  auto other = std::async(std::launch::async, [this] {
    if (::syscall(SYS_setresuid, -1, 65534, -1) != 0)
      return std::string("cannot become user 65534: ") + std::strerror(errno);
    ::syscall(SYS_setfsuid, 0);
    if (::syscall(SYS_setfsuid, -1) != 0) return std::string("failed: setfsuid");
    return askToReopen(socket.path);
  });
  const std::string heard = other.get();
  if (heard.starts_with("cannot become")) GTEST_SKIP() << heard;
  EXPECT_EQ(heard, "");
  EXPECT_EQ(handled, 0);
  EXPECT_EQ(askToReopen(socket.path), "ok\n");
  EXPECT_EQ(handled, 1);
}

}  // namespace
}  // namespace zolven::platform
