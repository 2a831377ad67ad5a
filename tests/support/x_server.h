#pragma once

// A private X server (Xvfb) for tests that need a real display.

#include <string>

#include "process.h"
#include "temp_dir.h"

namespace testsupport {

// Xvfb on a display number it picks itself; display() is empty when it did not come up.
// The server is killed with the object.
class XServer {
 public:
  explicit XServer(const TempDir& dir)
      // -displayfd 1: the server picks a free display and prints its number when ready.
      // -noreset: by default the server resets when its last client leaves, and a client
      // that connects during the reset is refused; the readiness probe below is such a
      // last client.
      : server_({"/usr/bin/Xvfb", "-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0",
                 "800x600x24"},
                {"PATH=/usr/bin:/bin"}, dir.str("xvfb.out"), dir.str("xvfb.err")) {
    if (!waitFor([&] { return readFile(dir.str("xvfb.out")).find('\n') != std::string::npos; }))
      return;
    const std::string number = readFile(dir.str("xvfb.out"));
    const std::string display = ":" + number.substr(0, number.find('\n'));
    // Ready only once a client can actually connect.
    if (waitFor([&] {
          Process probe({"/usr/bin/xdpyinfo", "-display", display}, {"PATH=/usr/bin:/bin"},
                        dir.str("xdpyinfo.out"), dir.str("xdpyinfo.err"));
          return probe.waitExit() == 0;
        }))
      display_ = display;
  }
  const std::string& display() const { return display_; }

 private:
  Process server_;
  std::string display_;
};

}  // namespace testsupport
