// The decisions of a later start, on a scripted claim and a clock that moves only when the
// hand-over pauses.
#include "platform/common/hand_over.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace zolven::platform {
namespace {

using namespace std::chrono_literals;
using Claim = InstanceClaim::Outcome;
using Delivery = InstanceDelivery::Outcome;

// A claim that runs no launcher: its only job is to be handed back.
class HeldClaim final : public SingleInstance {
 public:
  Result<void> listen(RequestHandler) override { return {}; }
};

// Answers each look at the claim and each delivery from its script, in turn; past the end
// of a script, its last entry again.
class ScriptedClaimer final : public InstanceClaimer {
 public:
  ScriptedClaimer(std::vector<Claim> claims, std::vector<InstanceDelivery> deliveries)
      : claims_(std::move(claims)), deliveries_(std::move(deliveries)) {}

  InstanceClaim claim() override {
    const Claim outcome = claims_.at(std::min(claimCount, claims_.size() - 1));
    ++claimCount;
    InstanceClaim claim{.outcome = outcome};
    if (outcome == Claim::Claimed) claim.instance = std::make_unique<HeldClaim>();
    if (outcome == Claim::Failed) claim.error = "cannot claim";
    return claim;
  }
  InstanceDelivery deliver(const InstanceRequest& request) override {
    delivered.push_back(request);
    return deliveries_.at(std::min(delivered.size() - 1, deliveries_.size() - 1));
  }

  size_t claimCount = 0;
  std::vector<InstanceRequest> delivered;

 private:
  std::vector<Claim> claims_;
  std::vector<InstanceDelivery> deliveries_;
};

class FakeClock final : public HandOverClock {
 public:
  std::chrono::steady_clock::time_point now() override { return now_; }
  void pause(std::chrono::milliseconds duration) override {
    EXPECT_GT(duration, 0ms);
    now_ += duration;
  }
  std::chrono::steady_clock::duration elapsed() const { return now_ - start_; }

 private:
  const std::chrono::steady_clock::time_point start_{std::chrono::hours(1)};
  std::chrono::steady_clock::time_point now_ = start_;
};

InstanceDelivery accepted(std::optional<std::string> url = std::nullopt) {
  return {.outcome = Delivery::Accepted, .url = std::move(url)};
}
InstanceDelivery ending() { return {.outcome = Delivery::Ending, .error = "it is ending"}; }
InstanceDelivery notListening() {
  return {.outcome = Delivery::NotListening, .error = "nobody listens"};
}
InstanceDelivery failed() { return {.outcome = Delivery::Failed, .error = "no answer"}; }

struct HandOverCase {
  const char* name;
  HandOverEnd end;
  std::vector<Claim> claims;
  std::vector<InstanceDelivery> deliveries;
  // What comes of it.
  Claim outcome;
  bool handedOver = false;
  std::string error;
  std::optional<std::string> url = std::nullopt;
  size_t deliveryCount = 0;  // kAtEveryLook: one at each look at the claim
  int endingCalls = 0;
  bool waitedTheWholeBound = false;
};

void PrintTo(const HandOverCase& c, std::ostream* os) { *os << c.name; }

constexpr auto kBound = 15s;
constexpr size_t kAtEveryLook = static_cast<size_t>(-1);
constexpr auto kReopen = HandOverEnd::OnceTaken;
constexpr auto kQuit = HandOverEnd::WaitForTheEnd;
constexpr auto kTaken = Claim::AnotherRuns;

class ClaimOrHandOver : public testing::TestWithParam<HandOverCase> {};

TEST_P(ClaimOrHandOver, Decides) {
  const HandOverCase& c = GetParam();
  ScriptedClaimer claimer(c.claims, c.deliveries);
  FakeClock clock;
  int endingCalls = 0;
  const InstanceRequest request{
      .kind = c.end == kQuit ? InstanceRequestKind::Quit : InstanceRequestKind::Reopen,
      .activationToken = std::nullopt};

  const InstanceClaim result =
      claimOrHandOver(claimer, clock, request, c.end, kBound, [&] { ++endingCalls; });

  EXPECT_EQ(result.outcome, c.outcome);
  EXPECT_EQ(result.instance != nullptr, c.outcome == Claim::Claimed);
  EXPECT_EQ(result.handedOver, c.handedOver);
  EXPECT_EQ(result.error, c.error);
  EXPECT_EQ(result.url, c.url);
  if (c.deliveryCount == kAtEveryLook) {
    EXPECT_EQ(claimer.delivered.size(), claimer.claimCount);
  } else {
    EXPECT_EQ(claimer.delivered.size(), c.deliveryCount);
  }
  for (const InstanceRequest& sent : claimer.delivered) EXPECT_EQ(sent, request);
  EXPECT_EQ(endingCalls, c.endingCalls);
  if (c.waitedTheWholeBound) {
    EXPECT_GE(clock.elapsed(), kBound);
    EXPECT_LT(clock.elapsed(), kBound + 2 * kHandOverRetry);
  } else {
    EXPECT_LT(clock.elapsed(), kBound);
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, ClaimOrHandOver,
    testing::Values(
        HandOverCase{.name = "FreeClaimIsTaken", .end = kReopen,
                     .claims = {Claim::Claimed}, .deliveries = {},
                     .outcome = Claim::Claimed},
        HandOverCase{.name = "ClaimThatCannotBeMadeFails", .end = kReopen,
                     .claims = {Claim::Failed}, .deliveries = {},
                     .outcome = Claim::Failed, .error = "cannot claim"},
        HandOverCase{.name = "ReopenTakenEndsAtOnce", .end = kReopen,
                     .claims = {kTaken}, .deliveries = {accepted()},
                     .outcome = kTaken, .handedOver = true, .deliveryCount = 1},
        HandOverCase{.name = "ReopenTakenCarriesTheURL", .end = kReopen,
                     .claims = {kTaken}, .deliveries = {accepted("http://h/")},
                     .outcome = kTaken, .handedOver = true, .url = "http://h/",
                     .deliveryCount = 1},
        HandOverCase{.name = "StartingLauncherIsWaitedFor", .end = kReopen,
                     .claims = {kTaken}, .deliveries = {notListening(), notListening(), accepted()},
                     .outcome = kTaken, .handedOver = true, .deliveryCount = 3},
        HandOverCase{.name = "QuitTakenWaitsForTheEnd", .end = kQuit,
                     .claims = {kTaken, kTaken, kTaken, Claim::Claimed}, .deliveries = {accepted()},
                     .outcome = Claim::Claimed, .handedOver = true, .deliveryCount = 1},
        HandOverCase{.name = "QuitTakenButNoEndGivesUpAtTheBound", .end = kQuit,
                     .claims = {kTaken}, .deliveries = {accepted()},
                     .outcome = kTaken, .handedOver = true, .error = "it has not ended after 15 s",
                     .deliveryCount = 1, .waitedTheWholeBound = true},
        HandOverCase{.name = "ReopenToAnEndingLauncherTakesTheClaimOnceFree", .end = kReopen,
                     .claims = {kTaken, kTaken, kTaken, Claim::Claimed},
                     .deliveries = {ending(), ending(), notListening()},
                     .outcome = Claim::Claimed, .deliveryCount = 3, .endingCalls = 1},
        HandOverCase{.name = "QuitToAnEndingLauncherHasWhatItAskedOnceItEnds", .end = kQuit,
                     .claims = {kTaken, kTaken, Claim::Claimed}, .deliveries = {ending()},
                     .outcome = Claim::Claimed, .handedOver = true, .deliveryCount = 1,
                     .endingCalls = 1},
        HandOverCase{.name = "EndingLauncherThatStaysGivesUpAtTheBound", .end = kReopen,
                     .claims = {kTaken}, .deliveries = {ending()},
                     .outcome = kTaken, .error = "it is ending", .deliveryCount = kAtEveryLook,
                     .endingCalls = 1, .waitedTheWholeBound = true},
        HandOverCase{.name = "NobodyListeningUntilTheBound", .end = kReopen,
                     .claims = {kTaken}, .deliveries = {notListening()},
                     .outcome = kTaken, .error = "nobody listens", .deliveryCount = kAtEveryLook,
                     .waitedTheWholeBound = true},
        HandOverCase{.name = "FailedDeliveryTakesTheClaimWhenItCameFree", .end = kReopen,
                     .claims = {kTaken, Claim::Claimed}, .deliveries = {failed()},
                     .outcome = Claim::Claimed, .deliveryCount = 1},
        HandOverCase{.name = "FailedDeliveryToALauncherThatStaysIsTold", .end = kReopen,
                     .claims = {kTaken}, .deliveries = {failed()},
                     .outcome = kTaken, .error = "no answer", .deliveryCount = 1}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(ClaimOrHandOverWithoutEndingCallback, StillWaitsForAnEndingLauncher) {
  ScriptedClaimer claimer({kTaken, kTaken, Claim::Claimed}, {ending()});
  FakeClock clock;
  const InstanceClaim result = claimOrHandOver(claimer, clock, InstanceRequest{}, kReopen, kBound);
  EXPECT_EQ(result.outcome, Claim::Claimed);
  EXPECT_FALSE(result.handedOver);
}

}  // namespace
}  // namespace zolven::platform
