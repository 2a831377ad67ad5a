#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/line_framer.h"

namespace zolven::runtime {

// What the main thread must see of some output, in the order it came: the candidate lines
// (those isCandidateLine() lets through) and the places where a line was dropped for its
// length.
struct SiftedOutput {
  std::string lines;  // the candidate lines, each ended by a line feed
  // For each line dropped for its length, how much of `lines` came before it; ascending.
  std::vector<size_t> dropped;

  bool empty() const { return lines.empty() && dropped.empty(); }
};

// Frames the runtime's output where it is read and keeps only what the main thread acts
// on, so that a runtime that logs heavily costs the main thread nothing. Framing what is
// kept once more gives the same lines, and so the same records and notes, as framing the
// whole output would; every other line is passed over on its first bytes.
//
// Memory is bounded as the framer's is: one unfinished line of at most LineFramer::kMaxLine.
class OutputSieve {
 public:
  // Frames `chunk` and adds to `out` what it completes: each candidate line and each line
  // dropped for its length, in order.
  void append(std::string_view chunk, SiftedOutput& out);

  // The bytes of the unfinished last line held now.
  const std::string& pending() const { return framer_.pending(); }

 private:
  LineFramer framer_;
  size_t dropped_ = 0;  // the framer's drops already added to an output
};

}  // namespace zolven::runtime
