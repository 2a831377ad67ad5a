#include "app/app_delegate.h"
#include "runtime/ready_url.h"

void AppDelegate::consumeOutput(std::string_view chunk) {
  // Each line is handled in full, browser request included, before the next is framed.
  outputBuffer.append(chunk, [this](std::string_view line) {
    const std::optional<std::string> url = supervisor::readyURL(line);
    if (!url) return;  // any other line is ignored without a trace

    openedURL = true;
    zolvenURL = *url;
    log("runtime.ready", *url);
    platform.application.announceURL(*url);

    // Read afresh at every ready line; only the exact value "1" suppresses.
    if (platform.processInfo.environment().get("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER") == "1") {
      log("browser.open.suppressed", *url);
    } else {
      openBrowser(*url, "runtime-ready");
    }
  });
}
