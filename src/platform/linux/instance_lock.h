#pragma once

#include <string>

#include "platform/posix/support.h"
#include "platform/result.h"

namespace zolven::platform {

// The lock that decides which launcher holds a bundle's claim: a file in the private
// directory, locked with flock. The kernel drops the lock when the last descriptor of its
// open file description closes, at the latest when the holder dies, so a crashed launcher
// never blocks the next start. The file stays when the claim ends: removing it would let
// a process that opened it just before lock the removed file while a third one locks a
// new one.

// Opens the lock file `name` in `directory` (a descriptor of the private directory),
// making it (mode 0600) when missing. Something other than a file at its place (a
// symbolic link, a FIFO, a directory) is a stray: it is replaced, since nobody can hold a
// claim on it. A file of another owner is refused.
Result<UniqueFd> openInstanceLock(int directory, const std::string& name);

enum class LockState { Taken, HeldElsewhere };

// Takes the lock of `lock` (from openInstanceLock()) without waiting for it.
Result<LockState> takeInstanceLock(const UniqueFd& lock);

// Clears `name` in the private directory of whatever stands there that is not ours to
// use: only this user can have put it there, by hand or by a crash. An empty directory is
// removed; one with something inside is moved aside rather than emptied.
Result<void> removeStray(int directory, const std::string& name);

}  // namespace zolven::platform
