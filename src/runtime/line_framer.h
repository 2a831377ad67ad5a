#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace zolven::runtime {

// Cuts a byte stream into lines at line feeds. Each byte is searched once, so the work is
// linear in the bytes received. An unfinished line is held up to kMaxLine bytes; a line
// that grows past that can never be a ready line, so its bytes are dropped up to its line
// feed and framing resumes after it. Memory therefore stays bounded whatever the input.
class LineFramer {
 public:
  static constexpr size_t kMaxLine = 1024 * 1024;
  using LineHandler = std::function<void(std::string_view line)>;

  // Calls `onLine` with each line the chunk completes (without its line feed), in order.
  void append(std::string_view chunk, const LineHandler& onLine);

  // The bytes of the unfinished last line held now.
  const std::string& pending() const { return pending_; }
  // How many lines have been dropped for their length, counted as each passes the bound.
  size_t droppedLines() const { return dropped_; }

 private:
  std::string pending_;
  bool discarding_ = false;  // inside an over-long line, until its line feed
  size_t dropped_ = 0;
};

}  // namespace zolven::runtime
