// The built launcher on a real Wayland compositor (weston), with no X server in its
// environment: the desktop module comes up on Qt's Wayland platform, the failure alert is
// a top-level window titled ZOLVEN with the desktop entry's app id, the keyboard dismisses
// it, and a normal run without a tray host goes on.
//
// What the launcher asks of the compositor is read from its own protocol log
// (WAYLAND_DEBUG=1, on its standard error).
#include <gtest/gtest.h>

#include <regex>

#include "launcher_bundle.h"
#include "weston.h"
#include "x_server.h"

namespace {

using namespace testsupport;

std::string tail(const std::string& text) {
  return text.size() > 6000 ? text.substr(text.size() - 6000) : text;
}

bool haveWeston() { return std::filesystem::exists("/usr/bin/weston"); }

// The launcher's requests for a top-level surface with this title and app id.
bool madeToplevel(const std::string& protocolLog, const std::string& title,
                  const std::string& appId) {
  const std::regex titleRequest(R"(-> xdg_toplevel@\d+\.set_title\(")" + title + R"("\))");
  const std::regex appIdRequest(R"(-> xdg_toplevel@\d+\.set_app_id\(")" + appId + R"("\))");
  return std::regex_search(protocolLog, titleRequest) &&
         std::regex_search(protocolLog, appIdRequest);
}

// The launcher's surface got the keyboard focus.
bool hasKeyboardFocus(const std::string& protocolLog) {
  return std::regex_search(protocolLog, std::regex(R"(wl_keyboard@\d+\.enter\()"));
}

std::map<std::string, std::optional<std::string>> waylandOnly(const Weston& weston) {
  return {{"WAYLAND_DISPLAY", weston.socket()},
          {"DISPLAY", std::nullopt},
          {"WAYLAND_DEBUG", "1"},
          {"QT_QPA_PLATFORM", std::nullopt}};
}

TEST(Wayland, AlertIsATopLevelWindowTitledZolvenWithTheEntrysAppId) {
  if (!haveWeston()) GTEST_SKIP() << "weston is installed by scripts/test";
  LauncherBundle bundle;  // no resources: the launcher goes straight to the alert
  Weston weston(bundle.dir(), Weston::Backend::Headless);
  ASSERT_FALSE(weston.socket().empty()) << readFile(bundle.dir().str("weston.err"));

  auto launcher = bundle.start(waylandOnly(weston));
  ASSERT_TRUE(waitFor([&] { return madeToplevel(bundle.launcherStderr(), "ZOLVEN", "zolven"); }))
      << bundle.launcherStderr().substr(0, 4000);
  // It is drawn: a buffer is attached to a surface and committed.
  EXPECT_TRUE(waitFor([&] {
    return std::regex_search(bundle.launcherStderr(), std::regex(R"(-> wl_surface@\d+\.attach\()"));
  }));
  // The alert holds the launcher, after its record; it is a window, not text.
  EXPECT_TRUE(launcher->running());
  EXPECT_EQ(bundle.events(), (std::vector<std::string>{"launcher.started", "launcher.failed"}));
  EXPECT_EQ(bundle.launcherStderr().find("ZOLVEN could not start."), std::string::npos);

  launcher->signal(SIGTERM);
  EXPECT_EQ(launcher->waitExit(), 1);
}

TEST(Wayland, ReturnDismissesTheAlertAndTheLauncherEndsWithOne) {
  if (!haveWeston() || !std::filesystem::exists("/usr/bin/Xvfb") ||
      !std::filesystem::exists("/usr/bin/xdotool"))
    GTEST_SKIP() << "weston, Xvfb and xdotool are installed by scripts/test";
  LauncherBundle bundle;
  // Headless weston has no seat; nested in an X server it takes that server's keyboard,
  // which xdotool can type on. The launcher itself sees only the Wayland socket.
  XServer x(bundle.dir());
  ASSERT_FALSE(x.display().empty()) << readFile(bundle.dir().str("xvfb.err"));
  Weston weston(bundle.dir(), Weston::Backend::NestedInX, x.display());
  ASSERT_FALSE(weston.socket().empty()) << readFile(bundle.dir().str("weston.err"));

  auto xdotool = [&](const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"/usr/bin/xdotool"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Process tool(argv, {"PATH=/usr/bin:/bin", "DISPLAY=" + x.display()},
                 bundle.dir().str("xdotool.out"), bundle.dir().str("xdotool.err"));
    tool.waitExit();
    return readFile(bundle.dir().str("xdotool.out"));
  };
  std::string window;
  ASSERT_TRUE(waitFor([&] {
    // (weston names its window with _NET_WM_NAME only, which xdotool's --name misses.)
    window = xdotool({"search", "--class", "^Weston Compositor$"});
    return !window.empty();
  }));
  window = window.substr(0, window.find('\n'));
  // The X focus goes to weston before the alert comes: a later change of the X focus
  // takes weston's keyboard focus from the alert.
  xdotool({"windowfocus", "--sync", window});

  auto launcher = bundle.start(waylandOnly(weston));
  ASSERT_TRUE(waitFor([&] {
    const std::string log = bundle.launcherStderr();
    return madeToplevel(log, "ZOLVEN", "zolven") && hasKeyboardFocus(log);
  })) << bundle.launcherStderr().substr(0, 4000);

  // A key pressed before the alert has taken the focus is lost, so press again until it ends.
  std::optional<int> status;
  ASSERT_TRUE(waitFor([&] {
    xdotool({"key", "Return"});
    status = launcher->waitExit(std::chrono::seconds(2));
    return status.has_value();
  })) << tail(bundle.launcherStderr())
      << readFile(bundle.dir().str("weston.err"));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(bundle.events(), (std::vector<std::string>{"launcher.started", "launcher.failed"}));
}

TEST(Wayland, NormalRunWithoutATrayHostGoesOn) {
  if (!haveWeston()) GTEST_SKIP() << "weston is installed by scripts/test";
  LauncherBundle bundle;
  bundle.addRuntime("runtime/" + kArch);
  writeFile(bundle.resources("runtime/" + kArch + "/bin/node"), R"(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid.tmp" && mv "$ZOLVEN_TEST_RECORD/pid.tmp" "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:8123/\n'
exec sleep 1000
)",
            std::filesystem::perms::owner_all);
  Weston weston(bundle.dir(), Weston::Backend::Headless);
  ASSERT_FALSE(weston.socket().empty()) << readFile(bundle.dir().str("weston.err"));

  auto launcher = bundle.start(waylandOnly(weston));
  ASSERT_TRUE(waitFor([&] { return bundle.hasEvent("browser.open.suppressed"); }))
      << bundle.launcherStderr().substr(0, 4000);
  // On the compositor, not on a fallback: the toolkit bound the compositor's globals.
  EXPECT_TRUE(waitFor([&] {
    return std::regex_search(bundle.launcherStderr(),
                             std::regex(R"(wl_registry@\d+\.global\(\d+, "wl_compositor")"));
  }));
  EXPECT_EQ(bundle.launcherStderr().find("running without a desktop UI"), std::string::npos);
  EXPECT_TRUE(launcher->running());
  EXPECT_FALSE(bundle.hasEvent("launcher.failed"));
  quitAndExpectCleanEnd(bundle, *launcher);
}

}  // namespace
