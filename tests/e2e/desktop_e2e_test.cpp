// The built launcher on a real X display (Xvfb): the failure alert is a real window that
// stays until the user dismisses it, and pressing Return ends the launcher with status 1.
#include <gtest/gtest.h>

#include <algorithm>

#include "launcher_bundle.h"
#include "x_server.h"

namespace {

using namespace testsupport;

// Runs a short tool and returns its standard output.
std::string run(const TempDir& dir, const std::string& display,
                const std::vector<std::string>& argv) {
  Process tool(argv, {"PATH=/usr/bin:/bin", "DISPLAY=" + display}, dir.str("tool.out"),
               dir.str("tool.err"));
  tool.waitExit();
  return readFile(dir.str("tool.out"));
}

// The failure alert's window on `display`, once it is up; empty if it never came.
std::string alertWindow(const LauncherBundle& bundle, const std::string& display) {
  std::string window;
  waitFor([&] {
    window = run(bundle.dir(), display,
                 {"/usr/bin/xdotool", "search", "--onlyvisible", "--name", "^ZOLVEN$"});
    return !window.empty();
  });
  return window.substr(0, window.find('\n'));
}

// Presses Return on the alert until the launcher ends (a key pressed before Qt has taken
// the focus is lost); its exit status, or nothing if it never ended.
std::optional<int> dismissAlert(const LauncherBundle& bundle, const std::string& display,
                                const std::string& window, Process& launcher) {
  std::optional<int> status;
  waitFor([&] {
    run(bundle.dir(), display,
        {"/usr/bin/xdotool", "windowfocus", "--sync", window, "key", "Return"});
    status = launcher.waitExit(std::chrono::seconds(2));
    return status.has_value();
  });
  return status;
}

// A launcher on its own X server, showing the failure alert: the bundle has no resources,
// so the launcher goes straight to it.
class AlertOnDisplay : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists("/usr/bin/Xvfb") || !std::filesystem::exists("/usr/bin/xdotool"))
      GTEST_SKIP() << "Xvfb and xdotool are installed by scripts/test";
    x = std::make_unique<XServer>(bundle.dir());
    ASSERT_FALSE(x->display().empty()) << readFile(bundle.dir().str("xvfb.err"));
    launcher = bundle.start({{"DISPLAY", x->display()}});
    window = alertWindow(bundle, x->display());
    ASSERT_FALSE(window.empty()) << bundle.launcherStderr();
  }

  LauncherBundle bundle;
  std::unique_ptr<XServer> x;
  std::unique_ptr<Process> launcher;
  std::string window;
};

TEST_F(AlertOnDisplay, IsARealWindowAndReturnDismissesIt) {
  // The record stands before the alert, and the alert holds the launcher.
  EXPECT_EQ(bundle.events(), (std::vector<std::string>{"launcher.started", "launcher.failed"}));
  EXPECT_TRUE(launcher->running());
  EXPECT_EQ(bundle.launcherStderr().find("ZOLVEN could not start."), std::string::npos)
      << "with a display the alert is a dialog, not text";

  // A picture for a person to look at, kept beside the test's build output.
  const char* outputDir = std::getenv("ZOLVEN_TEST_OUTPUT");
  if (outputDir != nullptr && std::filesystem::exists("/usr/bin/import")) {
    run(bundle.dir(), x->display(),
        {"/usr/bin/import", "-window", "root", std::string(outputDir) + "/failure-alert.png"});
  }

  EXPECT_EQ(dismissAlert(bundle, x->display(), window, *launcher), 1);
}

TEST_F(AlertOnDisplay, StartDuringItWaitsForItAndThenStartsAnew) {
  // The launcher showing the failure ends once it is dismissed: a start made meanwhile is
  // not handed to it (it would reopen a page whose server is gone) but waits, then runs.
  auto later = bundle.start({{"DISPLAY", x->display()}}, "-later");
  ASSERT_TRUE(waitFor([&] {
    return bundle.launcherStderr("-later").find("is ending") != std::string::npos;
  })) << "the later start was not told to wait";
  EXPECT_EQ(dismissAlert(bundle, x->display(), window, *launcher), 1);
  ASSERT_TRUE(waitFor([&] {
    const auto events = bundle.events();
    return std::count(events.begin(), events.end(), "launcher.failed") == 2;
  })) << bundle.launcherStderr("-later");
  EXPECT_FALSE(bundle.hasEvent("launcher.reopened"));
  later->signal(SIGTERM);
  EXPECT_EQ(later->waitExit(), 1);
}

TEST_F(AlertOnDisplay, WindowClassIsTheDesktopEntrysId) {
  // So that a desktop shows the name and icon of zolven.desktop for the alert.
  EXPECT_EQ(run(bundle.dir(), x->display(), {"/usr/bin/xprop", "-id", window, "WM_CLASS"}),
            "WM_CLASS(STRING) = \"zolven\", \"zolven\"\n");
}

TEST_F(AlertOnDisplay, QuitCommandDuringItEndsTheLauncherAsTheQuitSignalDoes) {
  Process quit({bundle.executable(), "--quit"}, bundle.environment({{"DISPLAY", x->display()}}),
               bundle.dir().str("quit.out"), bundle.dir().str("quit.err"));
  // The alert's failure stands, and the quit has done what it was asked.
  EXPECT_EQ(launcher->waitExit(), 1);
  EXPECT_EQ(quit.waitExit(), 0) << readFile(bundle.dir().str("quit.err"));
  EXPECT_EQ(bundle.events(), (std::vector<std::string>{"launcher.started", "launcher.failed"}));
}

TEST_F(AlertOnDisplay, QuitSignalDuringItEndsTheLauncher) {
  launcher->signal(SIGTERM);
  // The alert's failure stands: the launcher ends with status 1, its record written.
  EXPECT_EQ(launcher->waitExit(), 1);
  EXPECT_EQ(bundle.events(), (std::vector<std::string>{"launcher.started", "launcher.failed"}));
}

}  // namespace

namespace {

TEST(Desktop, RuntimeEndingBeforeItsURLShowsTheAlert) {
  if (!std::filesystem::exists("/usr/bin/Xvfb") || !std::filesystem::exists("/usr/bin/xdotool"))
    GTEST_SKIP() << "Xvfb and xdotool are installed by scripts/test";
  LauncherBundle bundle;
  bundle.addRuntime("runtime");
  bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'listening soon\n'
exit 3
)sh");
  XServer x(bundle.dir());
  ASSERT_FALSE(x.display().empty()) << readFile(bundle.dir().str("xvfb.err"));
  auto launcher = bundle.start({{"DISPLAY", x.display()}});
  const std::string window = alertWindow(bundle, x.display());
  ASSERT_FALSE(window.empty()) << bundle.launcherStderr();
  EXPECT_EQ(bundle.events(),
            (std::vector<std::string>{"launcher.started", "runtime.architecture.selected",
                                      "runtime.started", "runtime.exited", "launcher.failed"}));
  EXPECT_TRUE(launcher->running());
  EXPECT_EQ(dismissAlert(bundle, x.display(), window, *launcher), 1);
}

TEST(Desktop, UnreachableDisplayFallsBackToHeadless) {
  LauncherBundle bundle;
  // A display name no server answers: the launcher must carry on without it.
  auto launcher = bundle.start({{"DISPLAY", ":9731"}, {"WAYLAND_DISPLAY", std::nullopt}});
  EXPECT_EQ(launcher->waitExit(), 1);
  EXPECT_NE(
      bundle.launcherStderr().find("ZOLVEN could not start.\nApplication resources could not be "
                                   "located. See the ZOLVEN log directory for diagnostics.\n"),
      std::string::npos)
      << bundle.launcherStderr();
  EXPECT_EQ(bundle.events(), (std::vector<std::string>{"launcher.started", "launcher.failed"}));
}

}  // namespace
