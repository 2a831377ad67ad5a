// The request line a later start sends the running launcher, and the answer line it gets
// back: the same text on every system.
#include <algorithm>

#include "platform/single_instance.h"

namespace zolven::platform {
namespace {

constexpr std::string_view kReopen = "reopen";
constexpr std::string_view kQuit = "quit";
constexpr size_t kMaxTokenLength = 256;
constexpr std::string_view kAccepted = "ok";
constexpr std::string_view kEnding = "ending";

static_assert(kMaxAnswerLineLength == kAccepted.size() + 1 + kMaxAnswerURLLength + 1);
static_assert(kMaxRequestLineLength > kReopen.size() + 1 + kMaxTokenLength + 1);

bool isTokenCharacter(char c) { return c >= 0x21 && c <= 0x7e; }

}  // namespace

bool isActivationToken(std::string_view token) {
  return !token.empty() && token.size() <= kMaxTokenLength &&
         std::all_of(token.begin(), token.end(), isTokenCharacter);
}

bool isAnswerURL(std::string_view url) {
  return !url.empty() && url.size() <= kMaxAnswerURLLength &&
         std::all_of(url.begin(), url.end(), [](char c) {
           const auto byte = static_cast<unsigned char>(c);
           return byte > 0x20 && byte != 0x7f;
         });
}

std::string formatInstanceAnswer(const InstanceAnswer& answer) {
  if (!answer.accepted) return std::string(kEnding) + "\n";
  if (answer.url && isAnswerURL(*answer.url))
    return std::string(kAccepted) + " " + *answer.url + "\n";
  return std::string(kAccepted) + "\n";
}

std::optional<InstanceAnswer> parseInstanceAnswer(std::string_view line) {
  if (line == kAccepted) return InstanceAnswer(true);
  if (line == kEnding) return InstanceAnswer(false);
  if (!line.starts_with(kAccepted) || line.size() < kAccepted.size() + 2 ||
      line[kAccepted.size()] != ' ')
    return std::nullopt;
  const std::string_view url = line.substr(kAccepted.size() + 1);
  if (!isAnswerURL(url)) return std::nullopt;
  return InstanceAnswer(true, std::string(url));
}

std::optional<InstanceRequest> parseInstanceRequest(std::string_view line) {
  if (line == kQuit) return InstanceRequest{.kind = InstanceRequestKind::Quit};
  if (line == kReopen) return InstanceRequest{.kind = InstanceRequestKind::Reopen};
  if (!line.starts_with(kReopen) || line.size() < kReopen.size() + 2 || line[kReopen.size()] != ' ')
    return std::nullopt;
  const std::string_view token = line.substr(kReopen.size() + 1);
  if (!isActivationToken(token)) return std::nullopt;
  return InstanceRequest{.kind = InstanceRequestKind::Reopen,
                         .activationToken = std::string(token)};
}

std::string formatInstanceRequest(const InstanceRequest& request) {
  std::string line(request.kind == InstanceRequestKind::Quit ? kQuit : kReopen);
  if (request.activationToken) line += ' ' + *request.activationToken;
  line += '\n';
  return line;
}

}  // namespace zolven::platform
