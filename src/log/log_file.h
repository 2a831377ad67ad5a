#pragma once

#include <string>
#include <string_view>

namespace eventlog {

enum class AppendResult { Written, DirectoryFailed, OpenFailed, WriteFailed };

// Appends `line` to the file at the absolute path `file`, making what is missing first:
// each directory it creates gets mode 0700 and a file it creates gets mode 0600,
// whatever the umask. What already exists keeps its mode and content. The file is opened
// with O_APPEND for each line, so several processes appending never overwrite each other.
AppendResult appendLine(const std::string& file, std::string_view line);

}  // namespace eventlog
