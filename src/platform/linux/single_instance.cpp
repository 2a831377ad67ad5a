// The single-instance claim on Linux, made of its pieces: the private directory, the lock,
// the socket server and its client. The decisions of a later start are the portable ones
// (platform/common/hand_over.h).
#include "platform/single_instance.h"

#include <sys/utsname.h>
#include <unistd.h>

#include "platform/common/hand_over.h"
#include "platform/linux/bundle.h"
#include "platform/linux/instance_client.h"
#include "platform/linux/instance_lock.h"
#include "platform/linux/instance_server.h"
#include "platform/linux/instance_socket.h"
#include "platform/linux/instance_support.h"
#include "platform/linux/private_directory.h"
#include "platform/path.h"

namespace zolven::platform {
namespace {

using namespace std::chrono_literals;

class LinuxSingleInstance final : public SingleInstance {
 public:
  LinuxSingleInstance(const InstanceOptions& options, UniqueFd directory, UniqueFd lock)
      : options_(options), directory_(std::move(directory)), lock_(std::move(lock)) {}

  ~LinuxSingleInstance() override {
    server_.reset();
    // Last: a successor may claim as soon as the lock is gone.
    lock_.reset();
  }

  Result<void> listen(RequestHandler handler) override {
    if (server_) return Error{"already listening"};
    // We hold the lock, so nobody else listens at the socket.
    Result<std::unique_ptr<InstanceServer>> server = InstanceServer::start(
        directory_.get(),
        instanceSocket(options_.directory, directory_.get(), instanceKey(options_.executablePath)),
        ::geteuid(), std::move(handler));
    if (!server) return server.error();
    server_ = std::move(*server);
    return {};
  }

 private:
  const InstanceOptions options_;
  UniqueFd directory_;  // the server's socket lies in it
  UniqueFd lock_;
  std::unique_ptr<InstanceServer> server_;
};

}  // namespace

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
  Result<UniqueFd> directory = openPrivateDirectory(options.directory);
  if (!directory) return failed(directory.error().message);

  const std::string lockName = instanceKey(options.executablePath) + ".lock";
  const auto lockFailed = [&](const Error& error) {
    return failed(
        instance::describe("instance lock", joinPath(options.directory, lockName), error.message));
  };
  Result<UniqueFd> lock = openInstanceLock(directory->get(), lockName);
  if (!lock) return lockFailed(lock.error());
  const Result<LockState> taken = takeInstanceLock(*lock);
  if (!taken) return lockFailed(taken.error());
  if (*taken == LockState::HeldElsewhere)
    return InstanceClaim{.outcome = InstanceClaim::Outcome::AnotherRuns};
  return InstanceClaim{.outcome = InstanceClaim::Outcome::Claimed,
                       .instance = std::make_unique<LinuxSingleInstance>(
                           options, std::move(*directory), std::move(*lock))};
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
  const Result<UniqueFd> directory = openPrivateDirectory(options.directory);
  if (!directory) return failed(directory.error().message);
  return sendInstanceLine(
      instanceSocket(options.directory, directory->get(), instanceKey(options.executablePath)),
      line, patience);
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
