#include "runtime/ready_url.h"

#include <uriparser/Uri.h>

#include <cstdint>
#include <vector>

namespace zolven::runtime {
namespace {

bool isTrimmed(char32_t c) {
  // clang-format off
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D:  // controls that are white space
    case 0x20: case 0x85: case 0xA0: case 0x1680:
    case 0x202F: case 0x205F: case 0x3000:
    case 0x2028: case 0x2029:  // line and paragraph separators
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
  // clang-format on
}

// Decodes one UTF-8 sequence at `text[i]`; its length in `length`, nothing if invalid
// (overlong forms, surrogates and values past U+10FFFF included).
std::optional<char32_t> decode(std::string_view text, size_t i, size_t& length) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[i + k]); };
  const uint8_t lead = byte(0);
  if (lead < 0x80) {
    length = 1;
    return lead;
  }
  char32_t value;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (i + length > text.size()) return std::nullopt;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (byte(k) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return std::nullopt;
  return value;
}

std::string_view range(const UriTextRangeA& text) {
  if (text.first == nullptr || text.afterLast == nullptr) return {};
  return std::string_view(text.first, static_cast<size_t>(text.afterLast - text.first));
}

}  // namespace

std::optional<std::string_view> trimUtf8(std::string_view text) {
  // One pass decodes everything (validating the whole line) and notes where the first
  // and last characters outside the trimming set lie.
  size_t begin = text.size();
  size_t end = 0;
  for (size_t i = 0; i < text.size();) {
    size_t length = 0;
    const auto c = decode(text, i, length);
    if (!c) return std::nullopt;
    if (!isTrimmed(*c)) {
      if (begin == text.size()) begin = i;
      end = i + length;
    }
    i += length;
  }
  if (begin >= end) return std::string_view();
  return text.substr(begin, end - begin);
}

// A necessary condition, cheap enough for every line of a noisy runtime: the first byte
// that is not ASCII white space must be 'h' or start a multi-byte character (which may
// be trimmed white space). Any other first byte begins the trimmed text if the line is
// valid UTF-8, so the text cannot start with "http:"; if it is not valid, the line is
// dropped anyway. The decision is therefore the same as without this check.
bool mayBeReady(std::string_view line) {
  for (const char c : line) {
    if (c == ' ' || (c >= '\t' && c <= '\r')) continue;
    return c == 'h' || static_cast<unsigned char>(c) >= 0x80;
  }
  return false;
}

// As mayBeReady(), with either case, which is what whyNotReady() looks for.
bool isCandidateLine(std::string_view line) {
  for (const char c : line) {
    if (c == ' ' || (c >= '\t' && c <= '\r')) continue;
    return c == 'h' || c == 'H' || static_cast<unsigned char>(c) >= 0x80;
  }
  return false;
}

std::optional<std::string> readyURL(std::string_view line) {
  if (!mayBeReady(line)) return std::nullopt;
  const auto trimmed = trimUtf8(line);
  // Every ready line starts with the scheme and its colon.
  if (!trimmed || !trimmed->starts_with("http:")) return std::nullopt;

  UriUriA uri;
  const char* errorPosition = nullptr;
  // With an explicit end, a NUL byte inside the line is an error, never an early end.
  if (uriParseSingleUriExA(&uri, trimmed->data(), trimmed->data() + trimmed->size(),
                           &errorPosition) != URI_SUCCESS)
    return std::nullopt;
  const bool ready = range(uri.scheme) == "http" && range(uri.hostText) == "127.0.0.1";
  uriFreeUriMembersA(&uri);
  if (!ready) return std::nullopt;
  return std::string(*trimmed);
}

std::optional<std::string> whyNotReady(std::string_view line) {
  // Every other line is passed over on its first bytes.
  if (!isCandidateLine(line)) return std::nullopt;
  const auto trimmed = trimUtf8(line);
  if (!trimmed) return std::nullopt;
  std::string start(trimmed->substr(0, 8));
  for (char& c : start) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (!start.starts_with("http://") && !start.starts_with("https://")) return std::nullopt;

  UriUriA uri;
  const char* errorPosition = nullptr;
  if (uriParseSingleUriExA(&uri, trimmed->data(), trimmed->data() + trimmed->size(),
                           &errorPosition) != URI_SUCCESS)
    return "it is not a valid URL";
  const std::string scheme(range(uri.scheme));
  const std::string host(range(uri.hostText));
  uriFreeUriMembersA(&uri);
  if (scheme != "http") return "the scheme must be http, not " + scheme;
  if (host != "127.0.0.1") return "the host must be 127.0.0.1, not " + host;
  return std::nullopt;
}

}  // namespace zolven::runtime
