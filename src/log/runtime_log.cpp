#include "log/runtime_log.h"

#include <chrono>

#include "log/event_record.h"
#include "log/log_location.h"

namespace zolven::log {
namespace {

// How long the runtime's output waits for its run's header before it goes on without:
// only a launcher that never writes the header would use it up.
constexpr std::chrono::seconds kHeaderWait{5};

std::string launcherLine(std::string_view text) {
  std::string line = "[launcher] ";
  line += formatTimestamp(std::chrono::system_clock::now());
  line += ' ';
  line += text;
  // A note is one line, whatever it quotes.
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  line += '\n';
  return line;
}

}  // namespace

RuntimeLog::RuntimeLog(Options options) : options_(std::move(options)) {}

void RuntimeLog::write(const std::string& lines) {
  // A failed append loses these lines only: the log never reports its own failures.
  static_cast<void>(platform::appendLine(options_.file, lines, {.rotateAt = kRuntimeLogLimit}));
}

void RuntimeLog::beginRun(std::string_view header) {
  {
    std::lock_guard lock(mutex_);
    write(launcherLine(header));
    begun_ = true;
  }
  headerWritten_.notify_all();
}

void RuntimeLog::note(std::string_view text) {
  std::lock_guard lock(mutex_);
  write(launcherLine(text));
}

void RuntimeLog::appendOutput(std::string_view chunk) {
  // First, and outside the lock: a person at a terminal sees the runtime's words as soon
  // as it wrote them, whole lines or not.
  if (!chunk.empty() && options_.passOn) options_.passOn->write(chunk);

  std::unique_lock lock(mutex_);
  if (!begun_) headerWritten_.wait_for(lock, kHeaderWait, [this] { return begun_; });
  if (chunk.empty()) {
    if (!pending_.empty()) write(pending_ + '\n');
    pending_.clear();
    return;
  }
  // The whole lines of the chunk go out in one append; the unfinished last one waits for
  // its end (or for the bound, which splits it).
  std::string lines;
  while (!chunk.empty()) {
    const size_t feed = chunk.find('\n');
    const size_t room = kMaxLine - pending_.size();
    if (feed == std::string_view::npos && chunk.size() < room) {
      pending_.append(chunk);
      break;
    }
    const size_t take = feed == std::string_view::npos || feed >= room ? room : feed + 1;
    if (pending_.empty()) {
      lines.append(chunk.substr(0, take));
    } else {
      lines.append(pending_);
      lines.append(chunk.substr(0, take));
      pending_.clear();
    }
    if (lines.back() != '\n') lines += '\n';
    chunk.remove_prefix(take);
  }
  if (!lines.empty()) write(lines);
}

}  // namespace zolven::log
