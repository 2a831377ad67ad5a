#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zolven::runtime {

// The ready URL of one line of the runtime's output (without its line feed), or nothing.
//
// The line must be valid UTF-8. Trimmed at both ends of white space and newlines
// (Unicode Zs, Zl, Zp, U+0009..U+000D, U+0085), it must parse whole as a URI (RFC 3986)
// whose scheme is exactly "http" and whose host is exactly "127.0.0.1"; port, user
// information, path, query and fragment are not looked at. The result is the trimmed text.
std::optional<std::string> readyURL(std::string_view line);

// For a line that looks meant as the ready line (trimmed, it begins with "http://" or
// "https://" in any case) but is not one: why it is not, in a few words. Nothing for any
// other line, and for a ready line.
std::optional<std::string> whyNotReady(std::string_view line);

// Whether readyURL() or whyNotReady() could give anything for `line`, decided on its first
// bytes: the first byte that is not ASCII white space is 'h' or 'H' or starts a multi-byte
// character. Every line for which either gives something passes; most others do not.
bool isCandidateLine(std::string_view line);

// Removes the white space and newlines above from both ends of valid UTF-8 text.
// Nothing when the text is not valid UTF-8.
std::optional<std::string_view> trimUtf8(std::string_view text);

}  // namespace zolven::runtime
