#include "platform/linux/instance_client.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <optional>
#include <string_view>
#include <thread>
#include <variant>

#include "platform/linux/instance_support.h"

namespace zolven::platform {
namespace {

using namespace std::chrono_literals;
using instance::adopt;
using instance::Clock;
using instance::describe;
using instance::remainingMilliseconds;

// How long a sender waits for the answer once connected: its own line's time, plus time
// for the handler.
constexpr std::chrono::milliseconds kAnswerTimeout = 5s;
constexpr std::chrono::milliseconds kConnectRetry = 20ms;

// Nobody listened at the socket until the deadline: no socket yet, a dead launcher's
// socket, or a full queue. The launcher is starting or ending; not an error to a sender
// that can wait for it.
struct NobodyListens {
  std::string reason;  // the system's word for the last attempt
};
using Reach = std::variant<UniqueFd, NobodyListens>;

// Connects to the socket at `address`, retrying while nobody listens there yet.
Result<Reach> connectPatiently(const sockaddr_un& address, Clock::time_point deadline) {
  for (;;) {
    UniqueFd connection = adopt(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!connection) return systemError(errno);
    if (::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
        0)
      return Reach(std::move(connection));
    const int error = errno;
    const bool nobodyListens = error == ENOENT || error == ECONNREFUSED || error == EAGAIN;
    const auto now = Clock::now();
    if (!(nobodyListens || error == EINTR) || now >= deadline) {
      if (nobodyListens) return Reach(NobodyListens{.reason = systemMessage(error)});
      return systemError(error);
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(kConnectRetry, deadline - now));
  }
}

// Writes all of `data` to a non-blocking connection before the deadline.
Result<void> sendAll(const UniqueFd& connection, std::string_view data,
                     Clock::time_point deadline) {
  while (!data.empty()) {
    const ssize_t n = ::send(connection.get(), data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return systemError(errno);
    pollfd fds = {.fd = connection.get(), .events = POLLOUT, .revents = 0};
    const int ready = ::poll(&fds, 1, remainingMilliseconds(deadline));
    if (ready == 0) return systemError(ETIMEDOUT);
    if (ready < 0 && errno != EINTR) return systemError(errno);
  }
  return {};
}

// Reads from a non-blocking connection until a line feed, the end, or the longest answer
// line, before the deadline: what came, line feed included.
Result<std::string> receiveAnswer(const UniqueFd& connection, Clock::time_point deadline) {
  std::string answer;
  char buffer[256];
  while (answer.find('\n') == std::string::npos && answer.size() < kMaxAnswerLineLength) {
    pollfd fds = {.fd = connection.get(), .events = POLLIN, .revents = 0};
    const int ready = ::poll(&fds, 1, remainingMilliseconds(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return Error{"timed out"};
    if (ready < 0) return systemError(errno);
    const ssize_t n = ::recv(connection.get(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return systemError(errno);
    if (n == 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  return answer;
}

}  // namespace

InstanceDelivery sendInstanceLine(const InstanceSocket& socket, const std::string& line,
                                  std::chrono::milliseconds patience) {
  const auto failed = [&socket](std::string_view what, std::string_view reason) {
    return InstanceDelivery{.outcome = InstanceDelivery::Outcome::Failed,
                            .error = describe(what, socket.path, reason)};
  };
  Result<Reach> reach = connectPatiently(socket.address, Clock::now() + patience);
  if (!reach) return failed("no launcher answered at", reach.error().message);
  if (const auto* nobody = std::get_if<NobodyListens>(&*reach))
    return InstanceDelivery{
        .outcome = InstanceDelivery::Outcome::NotListening,
        .error = describe("no launcher answered at", socket.path, nobody->reason)};
  const UniqueFd connection = std::get<UniqueFd>(std::move(*reach));

  const auto deadline = Clock::now() + kAnswerTimeout;
  if (const Result<void> sent = sendAll(connection, line, deadline); !sent)
    return failed("sending the request to", sent.error().message);
  const Result<std::string> answer = receiveAnswer(connection, deadline);
  if (!answer) return failed("no answer from", answer.error().message);

  const std::optional<InstanceAnswer> parsed =
      answer->ends_with('\n')
          ? parseInstanceAnswer(std::string_view(*answer).substr(0, answer->size() - 1))
          : std::nullopt;
  if (parsed && parsed->accepted)
    return InstanceDelivery{.outcome = InstanceDelivery::Outcome::Accepted, .url = parsed->url};
  if (parsed)
    return InstanceDelivery{.outcome = InstanceDelivery::Outcome::Ending,
                            .error = describe("the launcher at", socket.path, "is ending")};
  return failed("the launcher at", "did not accept the request");
}

}  // namespace zolven::platform
