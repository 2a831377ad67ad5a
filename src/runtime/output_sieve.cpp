#include "runtime/output_sieve.h"

#include <cstring>

#include "runtime/ready_url.h"

namespace zolven::runtime {

void OutputSieve::append(std::string_view chunk, SiftedOutput& out) {
  // The framer counts a drop before it frames the next line, so noting new drops before
  // each line keeps them in their place among the lines.
  const auto noteDrops = [&] {
    for (; dropped_ < framer_.droppedLines(); ++dropped_) out.dropped.push_back(out.lines.size());
  };
  const auto keep = [&](std::string_view line) {
    out.lines.append(line);
    out.lines.push_back('\n');
  };
  const auto frame = [&](std::string_view part) {
    framer_.append(part, [&](std::string_view line) {
      noteDrops();
      if (isCandidateLine(line)) keep(line);
    });
    noteDrops();
  };

  // Up to the first line feed, the framer finishes what it holds; after it, the framer
  // holds nothing, so the whole lines that follow are sifted here, where most are passed
  // over on their first byte, and only the unfinished last one goes to the framer.
  const char* feed = static_cast<const char*>(std::memchr(chunk.data(), '\n', chunk.size()));
  if (feed == nullptr) {
    frame(chunk);
    return;
  }
  size_t begin = static_cast<size_t>(feed - chunk.data()) + 1;
  frame(chunk.substr(0, begin));
  const char* const end = chunk.data() + chunk.size();
  while (begin < chunk.size()) {
    const char* start = chunk.data() + begin;
    feed = static_cast<const char*>(std::memchr(start, '\n', static_cast<size_t>(end - start)));
    if (feed == nullptr) break;
    const std::string_view line(start, static_cast<size_t>(feed - start));
    begin += line.size() + 1;
    if (line.size() > LineFramer::kMaxLine) {
      out.dropped.push_back(out.lines.size());
      continue;
    }
    // A printable ASCII first byte other than 'h' and 'H' settles it: the common case.
    const auto first = line.empty() ? 0 : static_cast<unsigned char>(line.front());
    if (first > ' ' && first < 0x80 && first != 'h' && first != 'H') continue;
    if (isCandidateLine(line)) keep(line);
  }
  frame(chunk.substr(begin));
}

}  // namespace zolven::runtime
