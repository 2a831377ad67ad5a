#include "platform/linux/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/common/hand_over.h"
#include "platform/linux/bundle.h"
#include "platform/path.h"
#include "platform/posix/support.h"

namespace zolven::platform {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long one sender may take to deliver its line.
constexpr std::chrono::milliseconds kReadTimeout = 2s;
// Senders served at once; more wait in the listen queue.
constexpr size_t kMaxClients = 64;
// How long a sender waits for the answer once connected: its own line's time, plus time
// for the handler.
constexpr std::chrono::milliseconds kAnswerTimeout = 5s;
constexpr std::chrono::milliseconds kConnectRetry = 20ms;

int remainingMilliseconds(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 60'000));
}

// Takes ownership of a new descriptor, off 0..2: the launcher's children inherit whatever
// holds standard input or error, and the lock or the socket must not be it.
UniqueFd adopt(int raw) { return aboveStandardStreams(UniqueFd(raw)); }

std::string describe(std::string_view what, std::string_view path, std::string_view reason) {
  std::string text(what);
  text += ' ';
  text += path;
  text += ": ";
  text += reason;
  return text;
}

// Creates the directory when missing and opens it, refusing anything another user could
// have prepared: a symbolic link (O_NOFOLLOW), or a directory owned by someone else.
// Returns the reason for a refusal, nothing when `directory` holds it.
std::optional<std::string> openPrivateDirectory(const std::string& path, UniqueFd& directory) {
  constexpr std::string_view what = "instance directory";
  if (path.empty() || path.front() != '/') return describe(what, path, "not an absolute path");
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    return describe(what, path, systemMessage(errno));
  UniqueFd fd = adopt(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    const int error = errno;
    // With O_DIRECTORY, Linux reports a symbolic link as ENOTDIR rather than ELOOP; the
    // lstat only picks the words of the refusal.
    struct stat link {};
    if (error == ELOOP || (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)))
      return describe(what, path, "is a symbolic link");
    if (error == ENOTDIR) return describe(what, path, "is not a directory");
    return describe(what, path, systemMessage(error));
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return describe(what, path, systemMessage(errno));
  if (!S_ISDIR(info.st_mode)) return describe(what, path, "is not a directory");
  if (info.st_uid != ::geteuid())
    return describe(what, path, "belongs to user " + std::to_string(info.st_uid));
  // A directory of ours with a wider mode was left so by the user or an old umask, never
  // by another user: only the owner can change it, and the descriptor pins the directory
  // we checked. Tightening it keeps the launcher usable, where a refusal would stop it
  // until someone repaired the mode by hand.
  if ((info.st_mode & 07777) != 0700 && ::fchmod(fd.get(), 0700) != 0)
    return describe(what, path, systemMessage(errno));
  directory = std::move(fd);
  return std::nullopt;
}

// The runtime directory that the environment names: XDG_RUNTIME_DIR when it holds an
// absolute path. Relative values are ignored, as the XDG base directory rules ask.
std::optional<std::string> runtimeDirectory(const Environment& environment) {
  std::optional<std::string> runtime = environment.get("XDG_RUNTIME_DIR");
  if (runtime && !runtime->empty() && runtime->front() == '/') return runtime;
  return std::nullopt;
}

// The user's home as the password database has it: the same for every start, where $HOME
// may differ (sudo, su, service managers).
std::string homeOf(uid_t user) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 16384));
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr)
    return "";
  return found->pw_dir;
}

// mkdir -p, each directory it makes with mode 0700 (the last one is checked by
// openPrivateDirectory()). Failures show when that one is opened.
void makePrivateDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) == 0) ::chmod(prefix.c_str(), 0700);
    if (slash == std::string::npos) return;
  }
}

// The socket's path, for messages, and its address. The address reaches the file through
// the descriptor of the directory we checked, "/proc/self/fd/N/<name>": always short
// enough for a socket address, however deep the directory lies, and never a directory
// that took the checked one's place since.
void socketAddress(const InstanceOptions& options, int directory, std::string& path,
                   sockaddr_un& address) {
  const std::string name = instanceKey(options.executablePath) + ".sock";
  path = joinPath(options.directory, name);
  const std::string reachable = "/proc/self/fd/" + std::to_string(directory) + "/" + name;
  address = {};
  address.sun_family = AF_UNIX;
  static_assert(sizeof address.sun_path > 14 + 10 + 1 + 16 + 5);
  std::memcpy(address.sun_path, reachable.c_str(), reachable.size() + 1);
}

// Clears `name` in our private directory of whatever stands there that is not ours to
// use: only this user can have put it there, by hand or by a crash. An empty directory
// is removed; one with something inside is moved aside rather than emptied. Returns 0 or
// an errno.
int removeStray(int directory, const std::string& name) {
  if (::unlinkat(directory, name.c_str(), 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR) return errno;
  if (::unlinkat(directory, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return 0;
  if (errno != ENOTEMPTY && errno != EEXIST) return errno;
  const std::string aside = name + ".stray-" + std::to_string(::getpid());
  return ::renameat(directory, name.c_str(), directory, aside.c_str()) == 0 ? 0 : errno;
}

// Where a socket file is; compared before removing it, so that a launcher never removes
// a successor's socket.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> identityAt(int directory, const std::string& name) {
  struct stat info {};
  if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return FileIdentity{.device = info.st_dev, .inode = info.st_ino};
}

// Opens the lock file, making it when missing. Something other than a file at its place
// (a symbolic link, a FIFO, a directory) is a stray in our private directory: it is
// replaced, since nobody can hold a claim on it. A file of another owner is refused.
std::optional<std::string> openLock(int directory, const std::string& name, UniqueFd& lock) {
  for (int attempt = 0;; ++attempt) {
    // O_NONBLOCK: a FIFO in its place must not hang the open.
    UniqueFd fd = adopt(::openat(directory, name.c_str(),
                                 O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    struct stat info {};
    if (fd && ::fstat(fd.get(), &info) != 0) return systemMessage(errno);
    const bool stray = fd ? !S_ISREG(info.st_mode) : (errno == ELOOP || errno == EISDIR);
    if (!fd && !stray) return systemMessage(errno);
    if (!stray) {
      if (info.st_uid != ::geteuid()) return "not a file of ours";
      lock = std::move(fd);
      return std::nullopt;
    }
    if (attempt > 0) return "not a file, and it could not be replaced";
    fd.reset();
    if (const int error = removeStray(directory, name)) return systemMessage(error);
  }
}

// One sender's connection, from accept until its answer or its deadline.
struct Client {
  UniqueFd connection;  // non-blocking
  Clock::time_point deadline;
  std::string received;
};

// What the listening thread shares with the claim. The thread holds it by shared_ptr, so
// a claim destroyed from inside the handler leaves nothing dangling behind the thread.
//
// The thread serves every sender at once: a sender that connects and says nothing holds
// up nobody else, and is dropped at its own deadline.
struct Server {
  UniqueFd listener;  // non-blocking
  UniqueFd wake;      // an eventfd, written once when the claim goes away
  SingleInstance::RequestHandler handler;
  uid_t self = 0;
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
      const int timeout = next == Clock::time_point::max() ? -1 : remainingMilliseconds(next);
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
    // Anything short of a valid request from our own user is dropped without an answer.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        length != sizeof peer || !peerAllowed(peer.uid, self))
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

class LinuxSingleInstance final : public SingleInstance {
 public:
  LinuxSingleInstance(const InstanceOptions& options, UniqueFd directory, UniqueFd lock)
      : options_(options),
        socketName_(instanceKey(options.executablePath) + ".sock"),
        directory_(std::move(directory)),
        lock_(std::move(lock)) {}

  ~LinuxSingleInstance() override {
    if (server_) stopWatchingThread(thread_, server_->stopping, server_->wake.get());
    removeSocket();
    // Last: a successor may claim as soon as the lock is gone.
    lock_.reset();
  }

  Result<void> listen(RequestHandler handler) override {
    if (server_) return Error{"already listening"};
    std::string path;
    sockaddr_un address{};
    socketAddress(options_, directory_.get(), path, address);

    // We hold the lock, so a socket file there is a dead launcher's: nobody listens on it.
    // Anything else there is a stray that would keep later starts from reaching us.
    if (const int error = removeStray(directory_.get(), socketName_))
      return Error{describe("instance socket", path, systemMessage(error))};

    auto server = std::make_shared<Server>();
    server->handler = std::move(handler);
    server->self = ::geteuid();
    server->listener = adopt(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!server->listener) return Error{describe("instance socket", path, systemMessage(errno))};
    if (::bind(server->listener.get(), reinterpret_cast<const sockaddr*>(&address),
               sizeof address) != 0)
      return Error{describe("instance socket", path, systemMessage(errno))};
    bound_ = identityAt(directory_.get(), socketName_);
    // The file's mode comes from the umask. The directory already keeps other users out;
    // 0600 keeps them out should its mode ever be widened.
    if (!bound_ || ::fchmodat(directory_.get(), socketName_.c_str(), 0600, 0) != 0 ||
        ::listen(server->listener.get(), SOMAXCONN) != 0)
      return Error{failListening(path, errno)};
    server->wake = adopt(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!server->wake) return Error{failListening(path, errno)};

    try {
      // Created while every signal is blocked (see BlockedSignals).
      const BlockedSignals blocked;
      thread_ = std::thread([server] { server->run(); });
    } catch (const std::system_error& failure) {
      return Error{failListening(path, failure.code().value())};
    }
    server_ = std::move(server);
    return {};
  }

 private:
  std::string failListening(const std::string& path, int error) {
    removeSocket();
    return describe("instance socket", path, systemMessage(error));
  }

  // Removes the socket file only while it is still the one we bound: the lock file may
  // have been deleted and another launcher started with a socket of its own. The check
  // and the removal are two steps, which is as close as a path allows.
  void removeSocket() {
    if (bound_ && identityAt(directory_.get(), socketName_) == bound_)
      ::unlinkat(directory_.get(), socketName_.c_str(), 0);
    bound_.reset();
  }

  const InstanceOptions options_;
  const std::string socketName_;
  UniqueFd directory_;
  UniqueFd lock_;
  std::optional<FileIdentity> bound_;
  std::shared_ptr<Server> server_;
  std::thread thread_;
};

// Writes all of `data` to a non-blocking connection before the deadline; returns 0 or an
// errno.
int sendAll(int connection, std::string_view data, Clock::time_point deadline) {
  while (!data.empty()) {
    const ssize_t n = ::send(connection, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return errno;
    pollfd fds = {.fd = connection, .events = POLLOUT, .revents = 0};
    const int ready = ::poll(&fds, 1, remainingMilliseconds(deadline));
    if (ready == 0) return ETIMEDOUT;
    if (ready < 0 && errno != EINTR) return errno;
  }
  return 0;
}

// Connects to the socket at `address`, retrying while nobody listens there yet.
UniqueFd connectPatiently(const sockaddr_un& address, Clock::time_point deadline, int& error) {
  for (;;) {
    UniqueFd connection = adopt(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!connection) {
      error = errno;
      return {};
    }
    if (::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
        0)
      return connection;
    error = errno;
    // No socket yet, a dead launcher's socket, or a full queue: the running launcher may
    // not be listening yet.
    const bool worthRetrying =
        error == ENOENT || error == ECONNREFUSED || error == EAGAIN || error == EINTR;
    const auto now = Clock::now();
    if (!worthRetrying || now >= deadline) return {};
    std::this_thread::sleep_for(std::min<Clock::duration>(kConnectRetry, deadline - now));
  }
}

}  // namespace

std::string instanceDirectoryPath(const Environment& environment, uid_t user) {
  if (const std::optional<std::string> runtime = runtimeDirectory(environment))
    return joinPath(*runtime, "zolven");
  return "/tmp/zolven-" + std::to_string(user);
}

InstanceDirectoryChoice chooseInstanceDirectory(const Environment& environment, uid_t user,
                                                const InstancePlaces& places) {
  InstanceDirectoryChoice choice;
  const auto usable = [&](const std::string& path) {
    UniqueFd directory;
    std::optional<std::string> refusal = openPrivateDirectory(path, directory);
    if (!refusal) choice.directory = path;
    return refusal;
  };

  const std::optional<std::string> runtime = runtimeDirectory(environment);
  if (runtime) {
    auto refusal = usable(joinPath(*runtime, "zolven"));
    if (!refusal) return choice;
    choice.passedOver.push_back("XDG_RUNTIME_DIR: " + *refusal);
  }

  const std::string userRuntime = joinPath(places.runUser, std::to_string(user));
  struct stat info {};
  if (::lstat(userRuntime.c_str(), &info) == 0 && (!runtime || *runtime != userRuntime)) {
    if (S_ISDIR(info.st_mode) && info.st_uid == user && (info.st_mode & 077) == 0) {
      auto refusal = usable(joinPath(userRuntime, "zolven"));
      if (!refusal) return choice;
      choice.passedOver.push_back(*refusal);
    } else {
      choice.passedOver.push_back(
          describe("runtime directory", userRuntime,
                   "not a private directory of user " + std::to_string(user)));
    }
  }

  auto refusal = usable(joinPath(places.temporary, "zolven-" + std::to_string(user)));
  if (!refusal) return choice;
  choice.passedOver.push_back(*refusal);

  const std::string home = places.home ? *places.home : homeOf(user);
  if (!home.empty() && home.front() == '/') {
    const std::string state = joinPath(home, ".local/state/zolven");
    makePrivateDirectories(state);
    refusal = usable(joinPath(state, places.host.empty() ? "localhost" : places.host));
    if (!refusal) return choice;
    choice.passedOver.push_back(*refusal);
  }
  return choice;
}

bool peerAllowed(uid_t peer, uid_t self) { return peer == self; }

std::optional<InstanceOptions> currentInstanceOptions() {
  const std::optional<std::string> executable = executablePath();
  if (!executable) return std::nullopt;
  const uid_t user = ::geteuid();
  InstancePlaces places;
  utsname names{};
  if (::uname(&names) == 0) places.host = names.nodename;
  const Environment environment = Environment::current();
  InstanceDirectoryChoice choice = chooseInstanceDirectory(environment, user, places);
  // With no usable place, the claim fails on the one the environment names and says why.
  return InstanceOptions{.directory = choice.directory.empty()
                                          ? instanceDirectoryPath(environment, user)
                                          : choice.directory,
                         .executablePath = *executable,
                         .passedOver = std::move(choice.passedOver)};
}

InstanceClaim claimInstance(const InstanceOptions& options) {
  const auto failed = [](std::string error) {
    return InstanceClaim{.outcome = InstanceClaim::Outcome::Failed, .error = std::move(error)};
  };
  UniqueFd directory;
  if (auto error = openPrivateDirectory(options.directory, directory)) return failed(*error);

  // The lock file stays when the claim ends: removing it would let a process that opened
  // it just before lock the removed file while a third one locks a new one.
  const std::string lockName = instanceKey(options.executablePath) + ".lock";
  const std::string lockPath = joinPath(options.directory, lockName);
  UniqueFd lock;
  if (auto error = openLock(directory.get(), lockName, lock))
    return failed(describe("instance lock", lockPath, *error));

  // flock belongs to the open file description: the kernel drops it when the last
  // descriptor of it closes, at the latest when the holder dies. Close-on-exec keeps
  // children from holding it on after us.
  int result;
  do {
    result = ::flock(lock.get(), LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    if (errno == EWOULDBLOCK) return InstanceClaim{.outcome = InstanceClaim::Outcome::AnotherRuns};
    return failed(describe("instance lock", lockPath, systemMessage(errno)));
  }
  return InstanceClaim{.outcome = InstanceClaim::Outcome::Claimed,
                       .instance = std::make_unique<LinuxSingleInstance>(
                           options, std::move(directory), std::move(lock))};
}

InstanceDelivery deliverInstanceRequest(const InstanceOptions& options,
                                        const InstanceRequest& request,
                                        std::chrono::milliseconds patience) {
  const auto failed = [](std::string error) {
    return InstanceDelivery{.outcome = InstanceDelivery::Outcome::Failed,
                            .error = std::move(error)};
  };
  const std::string line = formatInstanceRequest(request);
  if (parseInstanceRequest(std::string_view(line).substr(0, line.size() - 1)) != request)
    return failed("not a valid request: " + line.substr(0, line.size() - 1));

  // The same checks as the claim: a request, with its token, goes to no other user.
  UniqueFd directory;
  if (auto error = openPrivateDirectory(options.directory, directory)) return failed(*error);
  std::string path;
  sockaddr_un address{};
  socketAddress(options, directory.get(), path, address);

  int error = 0;
  const UniqueFd connection = connectPatiently(address, Clock::now() + patience, error);
  if (!connection) {
    if (error == ENOENT || error == ECONNREFUSED || error == EAGAIN)
      return InstanceDelivery{
          .outcome = InstanceDelivery::Outcome::NotListening,
          .error = describe("no launcher answered at", path, systemMessage(error))};
    return failed(describe("no launcher answered at", path, systemMessage(error)));
  }

  const auto deadline = Clock::now() + kAnswerTimeout;
  if (const int sendError = sendAll(connection.get(), line, deadline))
    return failed(describe("sending the request to", path, systemMessage(sendError)));

  std::string answer;
  char buffer[256];
  while (answer.find('\n') == std::string::npos && answer.size() < kMaxAnswerLineLength) {
    pollfd fds = {.fd = connection.get(), .events = POLLIN, .revents = 0};
    const int ready = ::poll(&fds, 1, remainingMilliseconds(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return failed(describe("no answer from", path, "timed out"));
    if (ready < 0) return failed(describe("no answer from", path, systemMessage(errno)));
    const ssize_t n = ::recv(connection.get(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return failed(describe("no answer from", path, systemMessage(errno)));
    if (n == 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  const std::optional<InstanceAnswer> parsed =
      answer.ends_with('\n')
          ? parseInstanceAnswer(std::string_view(answer).substr(0, answer.size() - 1))
          : std::nullopt;
  if (parsed && parsed->accepted)
    return InstanceDelivery{.outcome = InstanceDelivery::Outcome::Accepted, .url = parsed->url};
  if (parsed)
    return InstanceDelivery{.outcome = InstanceDelivery::Outcome::Ending,
                            .error = describe("the launcher at", path, "is ending")};
  return failed(describe("the launcher at", path, "did not accept the request"));
}

Result<void> sendInstanceRequest(const InstanceOptions& options, const InstanceRequest& request,
                                 std::chrono::milliseconds patience) {
  InstanceDelivery delivery = deliverInstanceRequest(options, request, patience);
  if (delivery.outcome == InstanceDelivery::Outcome::Accepted) return {};
  return Error{std::move(delivery.error)};
}

InstanceClaim claimOrHandOver(const InstanceOptions& options, const InstanceRequest& request,
                              HandOverEnd end, std::chrono::milliseconds bound,
                              const std::function<void()>& ending) {
  // The claim and the request at these options, each tried once per look.
  class Claimer final : public InstanceClaimer {
   public:
    explicit Claimer(const InstanceOptions& options) : options_(options) {}
    InstanceClaim claim() override { return claimInstance(options_); }
    InstanceDelivery deliver(const InstanceRequest& request) override {
      return deliverInstanceRequest(options_, request, 0ms);
    }

   private:
    const InstanceOptions& options_;
  } claimer(options);
  SteadyHandOverClock clock;
  return claimOrHandOver(claimer, clock, request, end, bound, ending);
}

}  // namespace zolven::platform
