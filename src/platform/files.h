#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace zolven::platform {

// Appends `line` to the file at the absolute path `file`, making what is missing first:
// each directory it creates gets mode 0700 and a file it creates gets mode 0600,
// whatever the umask. What already exists keeps its mode and content. The file is opened
// with O_APPEND for each line, so several processes appending never overwrite each other.
//
// Only a regular file is written; anything else at that path (a FIFO, a device, a
// directory) fails the append, and the open never waits. The line goes out in one write,
// never retried: when the disk is full or the file-size limit is reached, half of it may
// stay behind, and the next append then starts with a line feed of its own, so that the
// half stays one unreadable line and no later line is glued onto it. An append of another
// process still under way is not taken for such a half, so appends of several processes
// at once leave no empty line either.
//
// With `rotateAt` set, a line that would take a non-empty file past that many bytes first
// renames the file to "<file>.1" (replacing an older one) and starts a new file (another
// process appending at that moment may take it past the limit by its line). Several
// processes may append and rotate at once: one rotation at a time (a lock on the folder,
// taken only to rotate, and never waited for: while another process holds it, the line
// is appended to the full file and a later line rotates it), and a file that two quick
// rotations removed after its open (its link count, from the fstat every append makes,
// is 0) is left for the current one, so no line is lost or split.
//
// The error says which step failed: "cannot make the folder ...", "cannot open ..." (also
// for anything but a regular file) or "cannot write ...".
struct AppendOptions {
  std::int64_t rotateAt = 0;  // 0: the file grows without bound
};
Result<void> appendLine(const std::string& file, std::string_view line,
                        const AppendOptions& options = {});

// Whether anything (a file, a directory, anything else) is at `path`; a symbolic link
// counts by what it leads to.
bool fileExists(const std::string& path);

// A stream that this process was given to write to (its standard error), written without
// ever waiting: each write takes what the stream takes at once (all of it for a regular
// file) and drops the rest, so a reader that is full, closed or slow never holds the
// writer up. The stream's own settings are never changed: they are shared with whoever
// gave it to this process.
class PassOnStream {
 public:
  virtual ~PassOnStream() = default;
  virtual void write(std::string_view data) = 0;
  // Writes `lines` (ending in a line feed) whole or not at all: when the stream cannot
  // take all of it at once, none of it goes, so a reader never finds half a line of ours.
  // Returns whether it went.
  virtual bool writeWhole(std::string_view lines) = 0;
};

// This process's standard output and standard error as PassOnStreams.
std::unique_ptr<PassOnStream> standardOutputStream();
std::unique_ptr<PassOnStream> standardErrorStream();

}  // namespace zolven::platform
