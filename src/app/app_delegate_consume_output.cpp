#include "app/app_delegate.h"
#include "runtime/ready_url.h"

namespace zolven::app {

namespace {
// How much of a line a note quotes.
constexpr size_t kQuoted = 200;
}  // namespace

void AppDelegate::consumeOutput(std::string_view chunk) {
  // The framer counts a drop before it frames the next line: notes on drops are written
  // before that line is handled, so that all notes follow the output's order.
  size_t noted = outputBuffer.droppedLines();
  const auto noteDrops = [&] {
    for (; noted < outputBuffer.droppedLines(); ++noted) noteDroppedLine();
  };
  // Each line is handled in full, browser request included, before the next is framed.
  outputBuffer.append(chunk, [&](std::string_view line) {
    noteDrops();
    handleOutputLine(line);
  });
  noteDrops();
}

void AppDelegate::consumeSiftedOutput(const runtime::SiftedOutput& sifted) {
  const std::string_view lines = sifted.lines;
  size_t from = 0;
  for (const size_t at : sifted.dropped) {
    consumeOutput(lines.substr(from, at - from));
    noteDroppedLine();
    from = at;
  }
  consumeOutput(lines.substr(from));
}

void AppDelegate::handleOutputLine(std::string_view line) {
  const std::optional<std::string> url = runtime::readyURL(line);
  if (!url) {
    // Any other line is ignored, but one that was surely meant as the ready line is
    // worth a word to whoever wonders why nothing opens: once per run.
    if (notedRejectedURL || !runtimeLog) return;
    if (const std::optional<std::string> reason = runtime::whyNotReady(line)) {
      notedRejectedURL = true;
      runtimeLog->note("an output line looks like a URL but is not the ready line (" + *reason +
                       "): " + std::string(line.substr(0, kQuoted)));
    }
    return;
  }

  openedURL = true;
  zolvenURL = *url;
  log("runtime.ready", *url);
  services.application.announceURL(*url);

  if (browserSuppressed()) {
    log("browser.open.suppressed", *url);
  } else {
    openBrowser(*url, "runtime-ready");
  }
}

void AppDelegate::noteDroppedLine() {
  if (runtimeLog)
    runtimeLog->note("an output line longer than " + std::to_string(runtime::LineFramer::kMaxLine) +
                     " bytes was dropped");
}

}  // namespace zolven::app
