#include "runtime/line_framer.h"

namespace zolven::runtime {

void LineFramer::append(std::string_view chunk, const LineHandler& onLine) {
  for (size_t feed = chunk.find('\n'); feed != std::string_view::npos; feed = chunk.find('\n')) {
    const std::string_view tail = chunk.substr(0, feed);
    chunk.remove_prefix(feed + 1);
    if (discarding_) {
      discarding_ = false;  // the over-long line ends here
      continue;
    }
    if (pending_.empty()) {
      if (tail.size() <= kMaxLine) {
        onLine(tail);  // the common case: no copy
      } else {
        ++dropped_;
      }
      continue;
    }
    if (pending_.size() + tail.size() <= kMaxLine) {
      pending_.append(tail);
      onLine(pending_);
    } else {
      ++dropped_;
    }
    pending_.clear();
  }
  if (discarding_) return;
  if (pending_.size() + chunk.size() > kMaxLine) {
    pending_.clear();
    pending_.shrink_to_fit();
    discarding_ = true;
    ++dropped_;
    return;
  }
  pending_.append(chunk);
}

}  // namespace zolven::runtime
