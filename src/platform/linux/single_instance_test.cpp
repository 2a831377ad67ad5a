// The single-instance claim with real files, sockets and forked processes.
#include "platform/single_instance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "platform/bundle.h"
#include "platform/posix/support.h"
#include "results.h"
#include "temp_dir.h"

namespace zolven::platform {

void PrintTo(const InstanceRequest& request, std::ostream* os) {
  *os << (request.kind == InstanceRequestKind::Quit ? "quit" : "reopen");
  if (request.activationToken) *os << " token=\"" << *request.activationToken << '"';
}

namespace {

using namespace std::chrono_literals;
using testsupport::failureOf;
using testsupport::TempDir;
using testsupport::writeFile;
using Outcome = InstanceClaim::Outcome;

// Bounds a hang; never paces a test.
constexpr std::chrono::milliseconds kDeadline = 20s;

InstanceRequest reopen(std::optional<std::string> token = std::nullopt) {
  return {.kind = InstanceRequestKind::Reopen, .activationToken = std::move(token)};
}
InstanceRequest quit() { return {.kind = InstanceRequestKind::Quit}; }

// --- Real files, sockets and processes ---

mode_t modeOf(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return static_cast<mode_t>(-1);
  return info.st_mode & 07777;
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// Binds a socket at `path` and closes it without removing the file, as a launcher that
// died leaves it behind.
void leaveStaleSocket(const std::string& path) {
  const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = addressOf(path);
  ASSERT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
      << std::strerror(errno);
}

// Whatever the other end writes until it closes the connection; nothing on a hang.
std::optional<std::string> readUntilClosed(int fd) {
  std::string received;
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  for (;;) {
    pollfd fds = {.fd = fd, .events = POLLIN, .revents = 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left <= 0ms || ::poll(&fds, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    // A peer that closes with our data unread resets the connection.
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return received;
    if (n < 0) return std::nullopt;
    received.append(buffer, static_cast<size_t>(n));
  }
}

// What the handler was called with, in order.
class Recorder {
 public:
  SingleInstance::RequestHandler handler() {
    return [this](const InstanceRequest& request) {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
      return accept_;
    };
  }
  // What the handler answers from now on: false as a launcher that is ending does.
  void setAccepting(bool accept) {
    std::lock_guard lock(mutex_);
    accept_ = accept;
  }
  std::vector<InstanceRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<InstanceRequest> requests_;
  bool accept_ = true;
};

// A forked child that runs `body` and exits with its result. The guard kills it, so a
// failing test leaves nothing running. Fork only while the test runs no other thread.
class Child {
 public:
  explicit Child(const std::function<int()>& body) {
    pid_ = ::fork();
    if (pid_ == 0) {
      int status = 125;
      try {
        status = body();
      } catch (...) {
      }
      ::_exit(status);
    }
    if (pid_ > 0) pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0 && pidfd_; }
  void kill() const { ::kill(pid_, SIGKILL); }

  // The exit status, 128 + the signal that ended it, or nothing while it still runs after
  // the deadline.
  std::optional<int> waitExit() {
    pollfd fds = {.fd = pidfd_.get(), .events = POLLIN, .revents = 0};
    if (::poll(&fds, 1, static_cast<int>(kDeadline.count())) != 1) return std::nullopt;
    int raw = 0;
    if (::waitpid(pid_, &raw, 0) != pid_) return std::nullopt;
    reaped_ = true;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }

 private:
  pid_t pid_ = -1;
  UniqueFd pidfd_;
  bool reaped_ = false;
};

class SingleInstanceTest : public testing::Test {
 protected:
  std::string socketPath() const {
    return options.directory + "/" + instanceKey(options.executablePath) + ".sock";
  }

  std::unique_ptr<SingleInstance> claim() {
    InstanceClaim claim = claimInstance(options);
    EXPECT_EQ(claim.outcome, Outcome::Claimed) << claim.error;
    EXPECT_TRUE(claim.error.empty());
    return std::move(claim.instance);
  }

  std::unique_ptr<SingleInstance> claimAndListen() {
    std::unique_ptr<SingleInstance> instance = claim();
    if (instance) {
      const std::optional<std::string> error = failureOf(instance->listen(recorder.handler()));
      EXPECT_EQ(error, std::nullopt);
    }
    return instance;
  }

  // A raw connection to the running launcher, for what sendInstanceRequest() never sends.
  // Until the handler has seen `n` requests, within the deadline.
  bool waitForRequests(size_t n) const {
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (recorder.requests().size() < n) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  UniqueFd connectRaw() const {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = addressOf(socketPath());
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
    return fd;
  }

  TempDir temp;
  InstanceOptions options{.directory = temp.str("zolven"),
                          .executablePath = "/opt/zolven/zolven-launcher"};
  Recorder recorder;
};

// --- The private directory ---

struct DirectoryCase {
  const char* name;
  // Prepares the temporary directory; returns the instance directory to use.
  std::function<std::string(const TempDir&)> prepare;
  bool needsRoot;
  // Empty when the claim succeeds; otherwise words that the claim and the sender both report.
  std::string refusal;
};

void PrintTo(const DirectoryCase& c, std::ostream* os) { *os << c.name; }

class InstanceDirectory : public testing::TestWithParam<DirectoryCase> {};

TEST_P(InstanceDirectory, IsPrivateOrRefused) {
  if (GetParam().needsRoot && ::geteuid() != 0) GTEST_SKIP() << "needs root to chown";
  const TempDir temp;
  const InstanceOptions options{.directory = GetParam().prepare(temp),
                                .executablePath = "/opt/zolven/zolven-launcher"};

  const InstanceClaim claim = claimInstance(options);
  if (GetParam().refusal.empty()) {
    ASSERT_EQ(claim.outcome, Outcome::Claimed) << claim.error;
    EXPECT_EQ(modeOf(options.directory), 0700u);
    const std::string lock =
        options.directory + "/" + instanceKey(options.executablePath) + ".lock";
    EXPECT_EQ(modeOf(lock) & 077, 0u);
    return;
  }
  EXPECT_EQ(claim.outcome, Outcome::Failed);
  EXPECT_EQ(claim.instance, nullptr);
  EXPECT_NE(claim.error.find(GetParam().refusal), std::string::npos) << claim.error;
  const std::optional<std::string> sent =
      failureOf(sendInstanceRequest(options, reopen("secret"), 0ms));
  ASSERT_TRUE(sent.has_value());
  EXPECT_NE(sent->find(GetParam().refusal), std::string::npos) << *sent;
  // Nothing was put where the refused path leads.
  if (std::filesystem::exists(temp.path() / "elsewhere")) {
    EXPECT_TRUE(std::filesystem::is_empty(temp.path() / "elsewhere"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstanceDirectory,
    testing::Values(DirectoryCase{"CreatedWhenMissing",
                                  [](const TempDir& t) { return t.str("zolven"); }, false, ""},
                    DirectoryCase{"OpenModeTightened",
                                  [](const TempDir& t) {
                                    std::filesystem::create_directory(t.path() / "zolven");
                                    ::chmod(t.str("zolven").c_str(), 0755);
                                    return t.str("zolven");
                                  },
                                  false, ""},
                    DirectoryCase{"SymbolicLinkRefused",
                                  [](const TempDir& t) {
                                    std::filesystem::create_directory(t.path() / "elsewhere");
                                    ::chmod(t.str("elsewhere").c_str(), 0700);
                                    std::filesystem::create_directory_symlink(
                                        t.path() / "elsewhere", t.path() / "zolven");
                                    return t.str("zolven");
                                  },
                                  false, "is a symbolic link"},
                    DirectoryCase{"FileRefused",
                                  [](const TempDir& t) {
                                    writeFile(t.path() / "zolven", "");
                                    return t.str("zolven");
                                  },
                                  false, "is not a directory"},
                    DirectoryCase{"OtherOwnerRefused",
                                  [](const TempDir& t) {
                                    std::filesystem::create_directory(t.path() / "zolven");
                                    ::chmod(t.str("zolven").c_str(), 0700);
                                    if (::chown(t.str("zolven").c_str(), 65534, 65534) != 0)
                                      return std::string();
                                    return t.str("zolven");
                                  },
                                  true, "belongs to user 65534"},
                    DirectoryCase{"MissingParentRefused",
                                  [](const TempDir& t) { return t.str("absent/zolven"); }, false,
                                  "No such file or directory"},
                    DirectoryCase{"RelativeRefused",
                                  [](const TempDir&) { return std::string("zolven"); }, false,
                                  "not an absolute path"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Claiming ---

TEST_F(SingleInstanceTest, OneClaimPerBundleUntilReleased) {
  std::unique_ptr<SingleInstance> first = claim();
  ASSERT_NE(first, nullptr);

  // A second open of the lock file, as a second launcher in this process would make it.
  InstanceClaim second = claimInstance(options);
  EXPECT_EQ(second.outcome, Outcome::AnotherRuns);
  EXPECT_EQ(second.instance, nullptr);
  EXPECT_TRUE(second.error.empty()) << second.error;

  // Another bundle has a claim of its own.
  const InstanceClaim other = claimInstance(
      {.directory = options.directory, .executablePath = "/opt/other/zolven-launcher"});
  EXPECT_EQ(other.outcome, Outcome::Claimed) << other.error;

  first.reset();
  EXPECT_NE(claim(), nullptr);
}

TEST_F(SingleInstanceTest, ForkedProcessFindsTheClaimTaken) {
  const std::unique_ptr<SingleInstance> held = claim();
  ASSERT_NE(held, nullptr);
  // The child inherits our descriptor of the lock, but its own claim opens the file anew.
  Child child([&] { return static_cast<int>(claimInstance(options).outcome); });
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.waitExit(), static_cast<int>(Outcome::AnotherRuns));
}

TEST_F(SingleInstanceTest, KilledHolderReleasesTheClaim) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd ready(fds[0]);
  UniqueFd readyWrite(fds[1]);
  Child holder([&] {
    ready.reset();
    const InstanceClaim claim = claimInstance(options);
    if (claim.outcome != Outcome::Claimed) return 1;
    if (::write(readyWrite.get(), "c", 1) != 1) return 2;
    for (;;) ::pause();
  });
  ASSERT_TRUE(holder.started());
  readyWrite.reset();

  pollfd wait = {.fd = ready.get(), .events = POLLIN, .revents = 0};
  ASSERT_EQ(::poll(&wait, 1, static_cast<int>(kDeadline.count())), 1);
  char byte = 0;
  ASSERT_EQ(::read(ready.get(), &byte, 1), 1) << "the child could not claim";
  EXPECT_EQ(claimInstance(options).outcome, Outcome::AnotherRuns);

  holder.kill();
  ASSERT_EQ(holder.waitExit(), 128 + SIGKILL);
  EXPECT_NE(claim(), nullptr);
}

// --- Requests ---

TEST_F(SingleInstanceTest, RequestsReachTheHandlerBeforeTheAnswer) {
  std::unique_ptr<SingleInstance> instance = claimAndListen();
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(modeOf(socketPath()), 0600u);

  EXPECT_EQ(failureOf(sendInstanceRequest(options, reopen("token-1"))), std::nullopt);
  EXPECT_EQ(recorder.requests(), std::vector{reopen("token-1")});
  EXPECT_EQ(failureOf(sendInstanceRequest(options, reopen())), std::nullopt);
  EXPECT_EQ(failureOf(sendInstanceRequest(options, quit())), std::nullopt);
  EXPECT_EQ(recorder.requests(), (std::vector{reopen("token-1"), reopen(), quit()}));

  instance.reset();
  EXPECT_FALSE(std::filesystem::exists(socketPath()));
}

TEST_F(SingleInstanceTest, ListensOnce) {
  const std::unique_ptr<SingleInstance> instance = claimAndListen();
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(failureOf(instance->listen(recorder.handler())), "already listening");
  EXPECT_EQ(failureOf(sendInstanceRequest(options, reopen())), std::nullopt);
  EXPECT_EQ(recorder.requests().size(), 1u);
}

TEST_F(SingleInstanceTest, SenderRefusesAnInvalidRequest) {
  const std::unique_ptr<SingleInstance> instance = claimAndListen();
  ASSERT_NE(instance, nullptr);
  for (const InstanceRequest& invalid :
       {reopen("two words"), reopen(""), reopen(std::string(257, 't')),
        InstanceRequest{.kind = InstanceRequestKind::Quit, .activationToken = "x"}}) {
    const std::optional<std::string> error = failureOf(sendInstanceRequest(options, invalid));
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("not a valid request"), std::string::npos) << *error;
  }
  EXPECT_EQ(failureOf(sendInstanceRequest(options, quit())), std::nullopt);
  EXPECT_EQ(recorder.requests(), std::vector{quit()});
}

TEST_F(SingleInstanceTest, StaleSocketIsReplaced) {
  std::unique_ptr<SingleInstance> instance = claim();
  ASSERT_NE(instance, nullptr);
  leaveStaleSocket(socketPath());
  {
    const UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = addressOf(socketPath());
    ASSERT_NE(::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    ASSERT_EQ(errno, ECONNREFUSED);
  }

  ASSERT_EQ(failureOf(instance->listen(recorder.handler())), std::nullopt);
  EXPECT_EQ(failureOf(sendInstanceRequest(options, reopen("t"))), std::nullopt);
  EXPECT_EQ(recorder.requests(), std::vector{reopen("t")});
}

// Only this user can put anything in the private directory: whatever stands at the lock
// or the socket path and is not what we use there is replaced, or single-instance would be
// off for good.
struct StrayCase {
  const char* name;
  const char* suffix;  // ".lock" or ".sock"
  std::function<void(const std::string& path)> make;
};

void PrintTo(const StrayCase& c, std::ostream* os) { *os << c.name; }

class StrayFile : public SingleInstanceTest, public testing::WithParamInterface<StrayCase> {};

TEST_P(StrayFile, IsReplaced) {
  ASSERT_EQ(::mkdir(options.directory.c_str(), 0700), 0);
  GetParam().make(options.directory + "/" + instanceKey(options.executablePath) +
                  GetParam().suffix);
  std::unique_ptr<SingleInstance> instance = claimAndListen();
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(claimInstance(options).outcome, Outcome::AnotherRuns);
  EXPECT_EQ(failureOf(sendInstanceRequest(options, reopen("t"))), std::nullopt);
  EXPECT_EQ(recorder.requests(), std::vector{reopen("t")});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StrayFile,
    testing::Values(
        StrayCase{"SymlinkAtTheLock", ".lock",
                  [](const std::string& p) { std::filesystem::create_symlink(p + ".x", p); }},
        StrayCase{"FifoAtTheLock", ".lock",
                  [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
        StrayCase{"DirectoryAtTheLock", ".lock",
                  [](const std::string& p) {
                    std::filesystem::create_directory(p);
                    writeFile(p + "/inside", "");
                  }},
        StrayCase{"EmptyDirectoryAtTheSocket", ".sock",
                  [](const std::string& p) { std::filesystem::create_directory(p); }},
        StrayCase{"DirectoryAtTheSocket", ".sock",
                  [](const std::string& p) {
                    std::filesystem::create_directory(p);
                    writeFile(p + "/inside", "");
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SingleInstanceTest, DirectoryTooDeepForASocketPathStillServes) {
  std::string deep = temp.str();
  while (deep.size() < 200) deep += "/a-rather-long-folder-name";
  std::filesystem::create_directories(deep);
  options.directory = deep + "/zolven";
  std::unique_ptr<SingleInstance> instance = claimAndListen();
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(failureOf(sendInstanceRequest(options, quit())), std::nullopt);
  EXPECT_EQ(recorder.requests(), std::vector{quit()});
}

TEST_F(SingleInstanceTest, SuccessorsSocketIsLeftAlone) {
  std::unique_ptr<SingleInstance> instance = claimAndListen();
  ASSERT_NE(instance, nullptr);
  // Another launcher that took over the path, as after the lock file was deleted.
  ASSERT_EQ(::unlink(socketPath().c_str()), 0);
  leaveStaleSocket(socketPath());
  struct stat successor {};
  ASSERT_EQ(::lstat(socketPath().c_str(), &successor), 0);

  instance.reset();
  struct stat after {};
  ASSERT_EQ(::lstat(socketPath().c_str(), &after), 0) << "the successor's socket was removed";
  EXPECT_EQ(after.st_ino, successor.st_ino);
}

TEST_F(SingleInstanceTest, SenderWaitsUntilTheLauncherListens) {
  std::unique_ptr<SingleInstance> instance = claim();
  ASSERT_NE(instance, nullptr);
  auto sent = std::async(std::launch::async, [&] {
    return failureOf(sendInstanceRequest(options, reopen("early"), kDeadline));
  });
  // A sender that gave up at the missing socket would have its answer by now.
  EXPECT_EQ(sent.wait_for(300ms), std::future_status::timeout);

  ASSERT_EQ(failureOf(instance->listen(recorder.handler())), std::nullopt);
  ASSERT_EQ(sent.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(sent.get(), std::nullopt);
  EXPECT_EQ(recorder.requests(), std::vector{reopen("early")});
}

struct NobodyCase {
  const char* name;
  enum class Setup { Nothing, ClaimedOnly, StaleSocket } setup;
};

void PrintTo(const NobodyCase& c, std::ostream* os) { *os << c.name; }

class NobodyListening : public SingleInstanceTest,
                        public testing::WithParamInterface<NobodyCase> {};

TEST_P(NobodyListening, SenderGivesUpAfterItsPatience) {
  std::unique_ptr<SingleInstance> instance;
  if (GetParam().setup != NobodyCase::Setup::Nothing) {
    instance = claim();
    ASSERT_NE(instance, nullptr);
  }
  if (GetParam().setup == NobodyCase::Setup::StaleSocket) leaveStaleSocket(socketPath());

  const auto start = std::chrono::steady_clock::now();
  const std::optional<std::string> error = failureOf(sendInstanceRequest(options, reopen(), 200ms));
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->find("no launcher answered"), std::string::npos) << *error;
  EXPECT_GE(took, 200ms);
  EXPECT_LT(took, kDeadline);
}

INSTANTIATE_TEST_SUITE_P(Cases, NobodyListening,
                         testing::Values(NobodyCase{"NoSocket", NobodyCase::Setup::Nothing},
                                         NobodyCase{"ClaimedOnly", NobodyCase::Setup::ClaimedOnly},
                                         NobodyCase{"StaleSocket", NobodyCase::Setup::StaleSocket}),
                         [](const auto& info) { return std::string(info.param.name); });

struct BadInputCase {
  const char* name;
  std::string payload;
  bool endAfterPayload;  // shut our writing side down after the payload
};

void PrintTo(const BadInputCase& c, std::ostream* os) { *os << c.name; }

class BadInput : public SingleInstanceTest, public testing::WithParamInterface<BadInputCase> {};

TEST_P(BadInput, IsDroppedAndTheNextSenderServed) {
  const std::unique_ptr<SingleInstance> instance = claimAndListen();
  ASSERT_NE(instance, nullptr);

  const UniqueFd raw = connectRaw();
  const std::string& payload = GetParam().payload;
  ASSERT_EQ(::send(raw.get(), payload.data(), payload.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(payload.size()));
  if (GetParam().endAfterPayload) {
    ASSERT_EQ(::shutdown(raw.get(), SHUT_WR), 0);
  }
  // Closed by the launcher without an answer.
  EXPECT_EQ(readUntilClosed(raw.get()), "");

  EXPECT_EQ(failureOf(sendInstanceRequest(options, reopen("next"))), std::nullopt);
  EXPECT_EQ(recorder.requests(), std::vector{reopen("next")});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadInput,
    testing::Values(BadInputCase{"LongWithoutLineFeed", std::string(10 * 1024, 'x'), false},
                    BadInputCase{"OverLongLine", "reopen " + std::string(600, 't') + "\n", false},
                    BadInputCase{"NotARequest", "hello\n", false},
                    BadInputCase{"QuitWithArgument", "quit now\n", false},
                    BadInputCase{"CarriageReturn", "reopen\r\n", false},
                    BadInputCase{"EndBeforeLineFeed", "reopen", true},
                    // The launcher stops waiting for the line after its timeout.
                    BadInputCase{"Silence", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SingleInstanceTest, HandlerMayEndTheClaim) {
  std::mutex mutex;
  std::unique_ptr<SingleInstance> instance = claim();
  ASSERT_NE(instance, nullptr);
  SingleInstance* const raw = instance.get();
  ASSERT_EQ(failureOf(raw->listen([&](const InstanceRequest&) {
              std::lock_guard lock(mutex);
              instance.reset();
              return true;
            })),
            std::nullopt);

  EXPECT_EQ(failureOf(sendInstanceRequest(options, quit())), std::nullopt);
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(instance, nullptr);
  }
  EXPECT_FALSE(std::filesystem::exists(socketPath()));
  EXPECT_NE(claim(), nullptr);
}

TEST_F(SingleInstanceTest, AnAcceptedReopenCarriesTheURLToTheSender) {
  std::unique_ptr<SingleInstance> instance = claim();
  ASSERT_NE(instance, nullptr);
  ASSERT_EQ(failureOf(instance->listen([](const InstanceRequest& request) {
              return InstanceAnswer(true, request.kind == InstanceRequestKind::Reopen
                                              ? std::optional<std::string>("http://127.0.0.1:7/x")
                                              : std::nullopt);
            })),
            std::nullopt);
  const InstanceDelivery delivery = deliverInstanceRequest(options, reopen(), kDeadline);
  EXPECT_EQ(delivery.outcome, InstanceDelivery::Outcome::Accepted) << delivery.error;
  EXPECT_EQ(delivery.url, "http://127.0.0.1:7/x");
  const InstanceClaim handedOver =
      claimOrHandOver(options, reopen(), HandOverEnd::OnceTaken, kDeadline);
  EXPECT_TRUE(handedOver.handedOver);
  EXPECT_EQ(handedOver.url, "http://127.0.0.1:7/x");
  EXPECT_EQ(deliverInstanceRequest(options, quit(), kDeadline).url, std::nullopt);
}

TEST_F(SingleInstanceTest, EndingLauncherRefusesAndTheSenderHearsSo) {
  const auto instance = claimAndListen();
  ASSERT_NE(instance, nullptr);
  recorder.setAccepting(false);
  const InstanceDelivery delivery = deliverInstanceRequest(options, reopen(), kDeadline);
  EXPECT_EQ(delivery.outcome, InstanceDelivery::Outcome::Ending) << delivery.error;
  EXPECT_NE(failureOf(sendInstanceRequest(options, quit())), std::nullopt);
  EXPECT_EQ(deliverInstanceRequest(options, reopen(), 0ms).outcome,
            InstanceDelivery::Outcome::Ending);
}

TEST_F(SingleInstanceTest, SilentSendersHoldUpNobody) {
  const auto instance = claimAndListen();
  ASSERT_NE(instance, nullptr);
  std::vector<UniqueFd> silent;
  for (int i = 0; i < 8; ++i) {
    silent.push_back(connectRaw());
    ASSERT_TRUE(silent.back());
  }
  // Each silent sender is given two seconds for its line; served one after another, they
  // would outlast the five seconds a sender waits for its answer.
  EXPECT_EQ(failureOf(sendInstanceRequest(options, reopen("after-the-silent-ones"))), std::nullopt);
  EXPECT_EQ(recorder.requests(), std::vector<InstanceRequest>{reopen("after-the-silent-ones")});
}

TEST_F(SingleInstanceTest, QuitHandOverWaitsForTheEndOfTheRunningLauncher) {
  auto instance = claimAndListen();
  ASSERT_NE(instance, nullptr);
  std::future<InstanceClaim> quitting = std::async(std::launch::async, [&] {
    return claimOrHandOver(options, quit(), HandOverEnd::WaitForTheEnd, kDeadline);
  });
  ASSERT_TRUE(waitForRequests(1));
  EXPECT_EQ(quitting.wait_for(100ms), std::future_status::timeout)
      << "returned while the launcher still held its claim";
  instance.reset();  // the launcher ends
  const InstanceClaim result = quitting.get();
  EXPECT_EQ(result.outcome, Outcome::Claimed) << result.error;
  EXPECT_TRUE(result.handedOver);
}

TEST_F(SingleInstanceTest, StartDuringTheEndTakesTheClaimOnceItIsFree) {
  auto instance = claimAndListen();
  ASSERT_NE(instance, nullptr);
  recorder.setAccepting(false);
  std::future<InstanceClaim> starting = std::async(std::launch::async, [&] {
    return claimOrHandOver(options, reopen(), HandOverEnd::OnceTaken, kDeadline);
  });
  ASSERT_TRUE(waitForRequests(1));
  instance.reset();
  const InstanceClaim result = starting.get();
  EXPECT_EQ(result.outcome, Outcome::Claimed) << result.error;
  EXPECT_FALSE(result.handedOver);
  EXPECT_NE(result.instance, nullptr);
}

TEST_F(SingleInstanceTest, HandOverGivesUpAtItsBoundWhenTheLauncherDoesNotEnd) {
  const auto instance = claimAndListen();
  ASSERT_NE(instance, nullptr);
  const InstanceClaim result = claimOrHandOver(options, quit(), HandOverEnd::WaitForTheEnd, 300ms);
  EXPECT_EQ(result.outcome, Outcome::AnotherRuns);
  EXPECT_TRUE(result.handedOver);
  EXPECT_FALSE(result.error.empty());
}

}  // namespace
}  // namespace zolven::platform
