#pragma once

// A private Wayland compositor (weston) for tests that need a real Wayland display.

#include <sys/stat.h>

#include <string>

#include "process.h"
#include "temp_dir.h"

namespace testsupport {

// weston with its own runtime folder; socket() is the absolute path of its Wayland socket,
// which WAYLAND_DISPLAY may name directly, and empty when it did not come up. Headless, it
// has no seat at all; nested in an X server (the X11 backend), it takes the keyboard of
// that server, so that xdotool can type into it. Killed with the object.
class Weston {
 public:
  enum class Backend { Headless, NestedInX };

  Weston(const TempDir& dir, Backend backend, const std::string& xDisplay = "")
      : runtimeDir_(dir.str("weston-run")),
        server_(arguments(backend), environment(dir, xDisplay), dir.str("weston.out"),
                dir.str("weston.err")) {
    const std::string socket = runtimeDir_ + "/wayland-test";
    if (waitFor([&] {
          struct stat info {};
          return ::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
        }))
      socket_ = socket;
  }

  const std::string& socket() const { return socket_; }
  pid_t pid() const { return server_.pid(); }

 private:
  static std::vector<std::string> arguments(Backend backend) {
    // The pixman renderer: weston draws nothing without it when there is no GPU.
    std::vector<std::string> argv{"/usr/bin/weston", "--socket=wayland-test", "--use-pixman",
                                  "--no-config", "--idle-time=0"};
    if (backend == Backend::Headless) {
      argv.push_back("--backend=headless-backend.so");
    } else {
      argv.insert(argv.end(), {"--backend=x11-backend.so", "--width=800", "--height=600"});
    }
    return argv;
  }
  std::vector<std::string> environment(const TempDir& dir, const std::string& xDisplay) {
    std::filesystem::create_directories(runtimeDir_);
    std::filesystem::permissions(runtimeDir_, std::filesystem::perms::owner_all);
    std::vector<std::string> env{"PATH=/usr/bin:/bin", "HOME=" + dir.str("home"),
                                 "XDG_RUNTIME_DIR=" + runtimeDir_};
    if (!xDisplay.empty()) env.push_back("DISPLAY=" + xDisplay);
    return env;
  }

  std::string runtimeDir_;
  Process server_;
  std::string socket_;
};

}  // namespace testsupport
