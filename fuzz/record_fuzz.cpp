// The log record encoder on arbitrary member values.
//
// An input is: byte 0, the field separator; byte 1, which optional members are present
// (bit 0 the url, bit 1 the detail); then the fields at, event, url, detail (those present)
// split at the separator. The last field takes the rest, separators included; fields past
// the end of the input are empty.
//
// Properties of the encoded line:
// - it is one line: it ends with a line feed and holds no other control character;
// - it is valid UTF-8;
// - it parses as a JSON object whose members are exactly the given ones, in key order
//   ("at", "detail", "event", "url"), with the given values where bytes that are not valid
//   UTF-8 read as U+FFFD (each maximal ill-formed subsequence as one, as Unicode recommends);
// - every solidus in it is escaped as "\/".

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.h"
#include "log/event_record.h"

using namespace zolven;

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Whether `text` is well-formed UTF-8: each sequence decoded to its value, which must need
// exactly that many bytes, must not be a surrogate and must not pass U+10FFFF.
bool isValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t length;
    uint32_t value;
    if (lead < 0x80) {
      length = 1, value = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, value = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3F);
    }
    const uint32_t shortest = value < 0x80 ? 1 : value < 0x800 ? 2 : value < 0x10000 ? 3 : 4;
    if (shortest != length || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
      return false;
    }
    i += length;
  }
  return true;
}

// `text` with each maximal ill-formed subsequence replaced by one U+FFFD: a byte that
// cannot start a sequence is one; a started sequence is cut at the first byte outside the
// range allowed at its position, and that byte is read again as a start.
std::string replaceInvalidUtf8(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t needed = 0;
    uint8_t lower = 0x80;
    uint8_t upper = 0xBF;
    if (lead < 0x80) {
      out += text[i++];
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      needed = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      needed = 2;
      if (lead == 0xE0) lower = 0xA0;  // no overlong forms
      if (lead == 0xED) upper = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      needed = 3;
      if (lead == 0xF0) lower = 0x90;  // no overlong forms
      if (lead == 0xF4) upper = 0x8F;  // nothing past U+10FFFF
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    size_t end = i + 1;
    for (size_t seen = 0; seen < needed && end < text.size(); ++seen, ++end) {
      const auto next = static_cast<uint8_t>(text[end]);
      if (next < lower || next > upper) break;
      lower = 0x80;
      upper = 0xBF;
    }
    if (end - i == needed + 1) {
      out += text.substr(i, end - i);
    } else {
      out += kReplacement;
    }
    i = end;
  }
  return out;
}

struct Fields {
  std::string at;
  std::string event;
  std::optional<std::string> url;
  std::optional<std::string> detail;
};

Fields readFields(std::string_view input) {
  Fields fields;
  if (input.size() < 2) return fields;
  const char separator = input[0];
  const auto present = static_cast<uint8_t>(input[1]);
  input.remove_prefix(2);
  if (present & 1) fields.url.emplace();
  if (present & 2) fields.detail.emplace();

  std::vector<std::string*> order = {&fields.at, &fields.event};
  if (fields.url) order.push_back(&*fields.url);
  if (fields.detail) order.push_back(&*fields.detail);
  for (size_t i = 0; i < order.size() && !input.empty(); ++i) {
    const size_t end = i + 1 == order.size() ? input.size() : input.find(separator);
    *order[i] = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
  }
  return fields;
}

// Whether every solidus in the JSON text stands escaped as "\/". Outside strings there is no
// backslash and no solidus, so a backslash always begins an escape of the next character.
bool solidusesEscaped(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;  // the escaped character, a solidus included
    } else if (text[i] == '/') {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Fields fields = readFields(std::string_view(reinterpret_cast<const char*>(data), size));

  // The reference replacement must itself give valid UTF-8 and leave valid text alone.
  for (const auto& field :
       {fields.at, fields.event, fields.url.value_or(""), fields.detail.value_or("")}) {
    const std::string replaced = replaceInvalidUtf8(field);
    FUZZ_CHECK(isValidUtf8(replaced));
    if (isValidUtf8(field)) FUZZ_CHECK(replaced == field);
  }

  // With bad bytes replaced, the dump cannot throw: every record must be written.
  const auto encoded = log::encodeRecord({
      .at = fields.at,
      .event = fields.event,
      .url = fields.url ? std::optional<std::string_view>(*fields.url) : std::nullopt,
      .detail = fields.detail ? std::optional<std::string_view>(*fields.detail) : std::nullopt,
  });
  FUZZ_CHECK(encoded.has_value());
  const std::string& line = *encoded;

  FUZZ_CHECK(!line.empty() && line.back() == '\n');
  for (size_t i = 0; i + 1 < line.size(); ++i) {
    FUZZ_CHECK(static_cast<uint8_t>(line[i]) >= 0x20);
  }
  FUZZ_CHECK(isValidUtf8(line));
  FUZZ_CHECK(solidusesEscaped(line));

  // ordered_json keeps the members in the order of the text.
  const auto parsed = nlohmann::ordered_json::parse(line, nullptr, /*allow_exceptions=*/false);
  FUZZ_CHECK(!parsed.is_discarded());
  FUZZ_CHECK(parsed.is_object());

  std::vector<std::pair<std::string, std::string>> expected;
  expected.emplace_back("at", replaceInvalidUtf8(fields.at));
  if (fields.detail) expected.emplace_back("detail", replaceInvalidUtf8(*fields.detail));
  expected.emplace_back("event", replaceInvalidUtf8(fields.event));
  if (fields.url) expected.emplace_back("url", replaceInvalidUtf8(*fields.url));

  std::vector<std::pair<std::string, std::string>> members;
  for (const auto& [key, value] : parsed.items()) {
    FUZZ_CHECK(value.is_string());
    members.emplace_back(key, value.get<std::string>());
  }
  FUZZ_CHECK(members == expected);
  return 0;
}
