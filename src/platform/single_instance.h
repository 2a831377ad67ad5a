#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace zolven::platform {

// One running launcher per bundle and user.
//
// The first start of a bundle claims it with claimInstance() and, once it can act on
// requests, listens for them. A later start of the same bundle (the same real executable
// path) by the same user finds the claim taken: it hands its request to the running
// launcher with sendInstanceRequest() and ends instead of starting a second launcher.
//
// Who runs is decided by a lock that the kernel releases when its holder dies, so a
// crashed launcher never blocks the next start. Requests travel as one short text line
// over a socket that only the same user can reach.

enum class InstanceRequestKind { Reopen, Quit };

struct InstanceRequest {
  InstanceRequestKind kind = InstanceRequestKind::Reopen;
  // Reopen only: the desktop's activation token, which lets the running launcher raise
  // its window. 1 to 256 printable ASCII characters, no spaces.
  std::optional<std::string> activationToken;

  bool operator==(const InstanceRequest&) const = default;
};

// Whether `token` can travel in a reopen request: 1 to 256 printable ASCII characters, no
// spaces.
bool isActivationToken(std::string_view token);

// Parses a request line without its line feed: "reopen", "reopen TOKEN" or "quit".
// Anything else, even with a stray space or carriage return, is nothing.
std::optional<InstanceRequest> parseInstanceRequest(std::string_view line);
// The request as a line with its line feed. The text is only a valid request when
// `request` is one; sendInstanceRequest() checks that before sending.
std::string formatInstanceRequest(const InstanceRequest& request);

// What the running launcher answers a request it accepts or refuses. An accepted reopen
// may carry the runtime's ready URL, for a later start without a display to print; the
// answer line is then "ok URL" instead of "ok".
struct InstanceAnswer {
  InstanceAnswer(bool accepted) : accepted(accepted) {}  // NOLINT: a plain yes or no
  InstanceAnswer(bool accepted, std::optional<std::string> url)
      : accepted(accepted), url(std::move(url)) {}
  bool accepted;
  std::optional<std::string> url;
};

// The longest URL an answer carries, and the longest lines either side reads, line feed
// included: a request line fits easily in its bound; anything longer is not one.
inline constexpr size_t kMaxAnswerURLLength = 2048;
inline constexpr size_t kMaxAnswerLineLength = 2 + 1 + kMaxAnswerURLLength + 1;
inline constexpr size_t kMaxRequestLineLength = 512;

// Whether `url` can travel in an answer line: 1 to 2048 bytes, none of them white space
// or a control character.
bool isAnswerURL(std::string_view url);
// The answer as a line with its line feed; a URL that cannot travel is left out.
std::string formatInstanceAnswer(const InstanceAnswer& answer);
// Parses an answer line without its line feed: "ok", "ok URL" or "ending"; nothing for
// anything else.
std::optional<InstanceAnswer> parseInstanceAnswer(std::string_view line);

struct InstanceOptions {
  // Absolute; created with mode 0700 when missing. It is refused when it is a symbolic link
  // or not owned by this user, and set back to mode 0700 when it is more open.
  std::string directory;
  // The real path of the bundle's executable (symbolic links resolved).
  std::string executablePath;
  // Why better places for `directory` were passed over, for the user to read.
  std::vector<std::string> passedOver;
};

// The claim of the running launcher on its bundle. It lasts until the object is destroyed,
// or until the process ends, however it ends.
class SingleInstance {
 public:
  // Runs on a thread of the claim's own, one request at a time; the sender gets its answer
  // when the handler returns, so the handler should hand the work on and return. It
  // returns whether the request was accepted; false tells the sender that this launcher
  // is ending and takes no more requests (the sender then waits for the claim).
  using RequestHandler = std::function<InstanceAnswer(const InstanceRequest& request)>;

  // Stops listening and removes the socket, then gives up the claim. Destroy it before
  // whatever the handler uses; destroying it from inside the handler is allowed too.
  virtual ~SingleInstance() = default;

  // Starts answering requests. Until then a sender waits (see sendInstanceRequest()).
  // Fails with the reason when it cannot listen; call it once.
  virtual Result<void> listen(RequestHandler handler) = 0;
};

struct InstanceClaim {
  enum class Outcome { Claimed, AnotherRuns, Failed };

  Outcome outcome = Outcome::Failed;
  std::unique_ptr<SingleInstance> instance;  // when Claimed
  std::string error;                         // when Failed; see claimOrHandOver()
  bool handedOver = false;                   // see claimOrHandOver()
  std::optional<std::string> url;            // the ready URL the running launcher told
};

// The options of the running program: the private directory that
// chooseInstanceDirectory() picks for the effective user in this process's environment,
// and the real path of the running executable. Nothing when that path cannot be read.
std::optional<InstanceOptions> currentInstanceOptions();

// Claims the bundle for this process, unless another launcher of the same user holds it.
InstanceClaim claimInstance(const InstanceOptions& options);

struct InstanceDelivery {
  enum class Outcome {
    Accepted,      // the running launcher took the request
    Ending,        // it is ending and takes no more requests
    NotListening,  // nobody listens (yet, or any more)
    Failed,        // anything else; see `error`
  };
  Outcome outcome = Outcome::Failed;
  std::string error;
  std::optional<std::string> url;  // Accepted: the ready URL, when the launcher had one
};

// Sends `request` to the launcher that holds the claim and waits for its answer. Connecting
// is retried for up to `patience`, since the running launcher claims before it listens;
// once connected, the answer may take a few seconds.
InstanceDelivery deliverInstanceRequest(const InstanceOptions& options,
                                        const InstanceRequest& request,
                                        std::chrono::milliseconds patience);

// As deliverInstanceRequest(), succeeding only when the launcher has accepted the request;
// anything else fails with the reason.
Result<void> sendInstanceRequest(const InstanceOptions& options, const InstanceRequest& request,
                                 std::chrono::milliseconds patience = std::chrono::seconds(5));

// Where a hand-over ends: once the running launcher has taken the request (a reopen), or
// only once it has ended too (a quit).
enum class HandOverEnd { OnceTaken, WaitForTheEnd };

// A later start's way in: claims the bundle, or hands `request` to the launcher that holds
// the claim. A launcher that is starting (not listening yet) or ending (it answers so, or
// no longer listens) is waited for, for at most `bound`, and its claim taken once it is
// gone.
// - Claimed: this process runs the app (`handedOver` when the request had been taken
//   first, as a quit is).
// - AnotherRuns with `handedOver` and no error: the running launcher took the request.
//   With HandOverEnd::WaitForTheEnd (a quit), the result is Claimed once that launcher
//   has ended.
// - AnotherRuns with an error: it did not answer, or did not end within `bound`.
// - Failed: the claim cannot be made at all.
// `ending` is called once when the running launcher says it is ending. The decisions are
// the same on every system (platform/common/hand_over.h); a platform brings the claim and
// the delivery.
InstanceClaim claimOrHandOver(const InstanceOptions& options, const InstanceRequest& request,
                              HandOverEnd end, std::chrono::milliseconds bound,
                              const std::function<void()>& ending = {});

}  // namespace zolven::platform
