#include "runtime/output_sieve.h"

#include "runtime/ready_url.h"

namespace zolven::runtime {

void OutputSieve::append(std::string_view chunk, SiftedOutput& out) {
  // The framer counts a drop before it frames the next line, so noting new drops before
  // each line keeps them in their place among the lines.
  const auto noteDrops = [&] {
    for (; dropped_ < framer_.droppedLines(); ++dropped_) out.dropped.push_back(out.lines.size());
  };
  framer_.append(chunk, [&](std::string_view line) {
    noteDrops();
    if (!isCandidateLine(line)) return;
    out.lines.append(line);
    out.lines.push_back('\n');
  });
  noteDrops();
}

}  // namespace zolven::runtime
