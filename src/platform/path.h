#pragma once

#include <string>
#include <string_view>

namespace zolven::platform {

// Joins two paths with exactly one "/" between them; a component may hold "/" itself
// ("a/b" adds two levels).
std::string joinPath(std::string_view base, std::string_view component);

// Whether `path` names the same file whatever the working directory.
bool isAbsolutePath(std::string_view path);

// The folder that holds the file `path` names: "." for a bare name, the root for a file
// in the root.
std::string folderOfPath(std::string_view path);

}  // namespace zolven::platform
