#pragma once

#include <chrono>
#include <string_view>

namespace zolven::platform {

// Ends for good every process of this user whose environment, as it was started, holds the
// entry `mark` ("NAME=value"), this process excepted; then the ones that show up while
// those are ended (their children, say), until none is left or `bound` has passed. Waits
// until each one it ended is gone, within the bound. Returns how many it ended.
//
// This finds what a child left behind where its parent is gone and it left the child's
// process group: the entry comes down to whatever the child starts with its environment.
// When this process's own environment holds the entry, nothing tells the child's
// processes from ours, and nothing is ended.
int endMarkedProcesses(std::string_view mark, std::chrono::milliseconds bound);

}  // namespace zolven::platform
