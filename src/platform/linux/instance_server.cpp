#include "platform/linux/instance_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <system_error>
#include <vector>

#include "platform/linux/instance_lock.h"
#include "platform/linux/instance_support.h"

namespace zolven::platform {
namespace {

using namespace std::chrono_literals;
using instance::adopt;
using instance::Clock;

// How long one sender may take to deliver its line.
constexpr std::chrono::milliseconds kReadTimeout = 2s;
// Senders served at once; more wait in the listen queue.
constexpr size_t kMaxClients = 64;

// One sender's connection, from accept until its answer or its deadline.
struct Client {
  UniqueFd connection;  // non-blocking
  Clock::time_point deadline;
  std::string received;
};

}  // namespace

// What the serving thread works on.
struct InstanceServer::Connections {
  UniqueFd listener;  // non-blocking
  UniqueFd wake;      // an eventfd, written once when the server goes away
  SingleInstance::RequestHandler handler;
  uid_t user = 0;
  std::atomic<bool> stopping{false};
  std::vector<Client> clients;

  void run() {
    // Started with every signal blocked; faults must still reach their handlers.
    unblockFaultSignals();

    std::vector<pollfd> fds;
    while (!stopping) {
      fds.clear();
      fds.push_back({.fd = wake.get(), .events = POLLIN, .revents = 0});
      // Beyond the bound, new senders wait in the listen queue for a free place.
      fds.push_back({.fd = clients.size() < kMaxClients ? listener.get() : -1,
                     .events = POLLIN,
                     .revents = 0});
      Clock::time_point next = Clock::time_point::max();
      for (const Client& client : clients) {
        fds.push_back({.fd = client.connection.get(), .events = POLLIN, .revents = 0});
        next = std::min(next, client.deadline);
      }
      const int timeout =
          next == Clock::time_point::max() ? -1 : instance::remainingMilliseconds(next);
      if (::poll(fds.data(), fds.size(), timeout) < 0) continue;  // EINTR, or a passing ENOMEM
      if (fds[0].revents != 0) return;

      // Senders first, in the order they came; then the ones past their deadline go.
      for (size_t i = 0; i < clients.size() && !stopping; ++i)
        if (fds[i + 2].revents != 0) readFrom(clients[i]);
      const auto now = Clock::now();
      std::erase_if(clients, [now](const Client& client) {
        return !client.connection || client.deadline <= now;
      });
      if (fds[1].revents != 0 && !stopping) acceptOne();
    }
  }

  void acceptOne() {
    UniqueFd connection =
        adopt(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!connection) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The connection stays queued and poll would report it at once again: give the
        // process a moment to free resources instead of spinning.
        pollfd wait = {.fd = wake.get(), .events = POLLIN, .revents = 0};
        ::poll(&wait, 1, 100);
      }
      return;
    }
    // A process of another user is dropped without an answer: the kernel tells who
    // connected, whatever the sender claims.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        length != sizeof peer || peer.uid != user)
      return;
    clients.push_back(Client{.connection = std::move(connection),
                             .deadline = Clock::now() + kReadTimeout,
                             .received = {}});
  }

  // Reads what the sender has sent; once its line is whole, answers it and lets it go.
  void readFrom(Client& client) {
    char buffer[kMaxRequestLineLength];
    const ssize_t n =
        ::recv(client.connection.get(), buffer, kMaxRequestLineLength - client.received.size(), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {  // the end before a line feed, or an error
      client.connection.reset();
      return;
    }
    client.received.append(buffer, static_cast<size_t>(n));
    // Whatever follows the line feed is not read: one line is all a sender has to say.
    const size_t end = client.received.find('\n');
    if (end == std::string::npos) {
      if (client.received.size() >= kMaxRequestLineLength) client.connection.reset();
      return;
    }
    const std::optional<InstanceRequest> request =
        parseInstanceRequest(std::string_view(client.received).substr(0, end));
    if (request && !stopping) {
      const std::string answer = formatInstanceAnswer(handler(*request));
      // A few bytes into an empty socket buffer; a sender that has gone away gets nothing.
      [[maybe_unused]] const ssize_t sent =
          ::send(client.connection.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    client.connection.reset();
  }
};

InstanceServer::InstanceServer(int directory, const InstanceSocket& socket)
    : directory_(directory), socket_(socket) {}

Result<std::unique_ptr<InstanceServer>> InstanceServer::start(
    int directory, const InstanceSocket& socket, uid_t user,
    SingleInstance::RequestHandler handler) {
  const auto failed = [&socket](int error) {
    return Error{instance::describe("instance socket", socket.path, systemMessage(error))};
  };
  // A socket file there is a dead launcher's: nobody listens on it. Anything else there is
  // a stray that would keep later starts from reaching us.
  if (Result<void> removed = removeStray(directory, socket.name); !removed)
    return Error{instance::describe("instance socket", socket.path, removed.error().message)};

  // From here on, a failure removes the socket file again (see the destructor).
  std::unique_ptr<InstanceServer> server(new InstanceServer(directory, socket));
  auto connections = std::make_shared<Connections>();
  connections->handler = std::move(handler);
  connections->user = user;
  connections->listener = adopt(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!connections->listener) return failed(errno);
  if (::bind(connections->listener.get(), reinterpret_cast<const sockaddr*>(&socket.address),
             sizeof socket.address) != 0)
    return failed(errno);
  server->bound_ = server->identity();
  // The file's mode comes from the umask. The directory already keeps other users out;
  // 0600 keeps them out should its mode ever be widened.
  if (!server->bound_ || ::fchmodat(directory, socket.name.c_str(), 0600, 0) != 0 ||
      ::listen(connections->listener.get(), SOMAXCONN) != 0)
    return failed(errno);
  connections->wake = adopt(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!connections->wake) return failed(errno);

  try {
    // Created while every signal is blocked (see BlockedSignals).
    const BlockedSignals blocked;
    server->thread_ = std::thread([connections] { connections->run(); });
  } catch (const std::system_error& failure) {
    return failed(failure.code().value());
  }
  server->connections_ = std::move(connections);
  return server;
}

InstanceServer::~InstanceServer() {
  if (connections_) stopWatchingThread(thread_, connections_->stopping, connections_->wake.get());
  // Removes the socket file only while it is still the one we bound: the lock file may
  // have been deleted and another launcher started with a socket of its own. The check
  // and the removal are two steps, which is as close as a path allows.
  if (bound_ && identity() == bound_) ::unlinkat(directory_, socket_.name.c_str(), 0);
}

std::optional<InstanceServer::FileIdentity> InstanceServer::identity() const {
  struct stat info {};
  if (::fstatat(directory_, socket_.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
    return std::nullopt;
  return FileIdentity{.device = info.st_dev, .inode = info.st_ino};
}

}  // namespace zolven::platform
