#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zolven::platform {

// The Exec value of a desktop entry, both ways: what runs this bundle's launcher is written
// with execArgument, and what an entry found in place runs is read with entryProgram.

// One argument as an Exec value holds it: quoted, with the characters reserved inside
// quotes escaped, then escaped again as the string the whole value is.
std::string execArgument(const std::string& argument);

// The arguments of an Exec value as it stands in the file, or nothing when it is not a
// valid one (an open quote, a reserved character unquoted).
std::optional<std::vector<std::string>> execArguments(const std::string& value);

// The program that the [Desktop Entry] group of an entry's text runs, past a leading
// `env NAME=VALUE...`; nothing when there is no readable Exec key.
std::optional<std::string> entryProgram(const std::string& entryText);

}  // namespace zolven::platform
