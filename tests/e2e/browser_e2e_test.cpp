// The built launcher noticing its runtime's URL and handing it to the desktop's default
// browser, which a temporary XDG configuration points at a recording fake.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <fstream>

#include "launcher_bundle.h"

namespace {

using namespace testsupport;
using Events = std::vector<std::string>;
using Env = std::map<std::string, std::optional<std::string>>;

constexpr const char* kURL = "http://127.0.0.1:4567/app?x=1";

// Noise (some of it almost a ready line), then the URL split over two writes, ended by
// CR LF; then the runtime serves until it is stopped.
const std::string kReadyNode = std::string(R"(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'starting \342\234\223\n'
printf 'see http://127.0.0.1:1/ soon\nhttps://127.0.0.1:2/\nhttp://localhost:3/\n'
printf '  http://127.0.'
printf '0.1:4567/app?x=1 \r\n'
exec sleep 1000
)");

class BrowserHandoff : public testing::Test {
 protected:
  void SetUp() override {
    bundle.addRuntime("runtime");
    bundle.addNode("runtime", kReadyNode);
    for (const char* dir :
         {"browser", "xdg/config", "xdg/data/applications", "xdg/system-data", "xdg/system-config"})
      std::filesystem::create_directories(bundle.dir().str(dir));
  }

  // Registers the fake as the default handler of http URLs, as a desktop does.
  void registerFakeBrowser() {
    writeFile(bundle.dir().str("xdg/data/applications/zolven-test-browser.desktop"),
              std::string("[Desktop Entry]\nType=Application\nName=Test Browser\nExec=") +
                  ZOLVEN_FAKE_BROWSER_PATH + " %u\nMimeType=x-scheme-handler/http;\n");
    writeFile(bundle.dir().str("xdg/config/mimeapps.list"),
              "[Default Applications]\nx-scheme-handler/http=zolven-test-browser.desktop\n");
  }

  // The launcher with browser opening on, seeing only the temporary XDG directories.
  std::unique_ptr<Process> start(const Env& extra = {}, const std::string& name = "") {
    Env env = {
        {"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", std::nullopt},
        {"XDG_CONFIG_HOME", bundle.dir().str("xdg/config")},
        {"XDG_DATA_HOME", bundle.dir().str("xdg/data")},
        {"XDG_DATA_DIRS", bundle.dir().str("xdg/system-data")},
        {"XDG_CONFIG_DIRS", bundle.dir().str("xdg/system-config")},
        {"ZOLVEN_TEST_BROWSER_RECORD", bundle.dir().str("browser")},
    };
    for (const auto& [key, value] : extra) env[key] = value;
    return bundle.start(env, name);
  }

  // What each start of the fake browser recorded, one map of lines per start.
  std::vector<std::vector<std::string>> browserStarts() const {
    std::vector<std::vector<std::string>> starts;
    for (const auto& entry : std::filesystem::directory_iterator(bundle.dir().str("browser"))) {
      if (entry.path().extension() == ".tmp") continue;
      std::vector<std::string> lines;
      std::istringstream in(readFile(entry.path()));
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      starts.push_back(lines);
    }
    return starts;
  }

  // Waits for the ready line's open to succeed; its records name `application`.
  void expectOpenedBy(const std::string& application) {
    ASSERT_TRUE(waitFor([&] { return recordsSettled("browser.open.succeeded"); }))
        << bundle.launcherStderr();
    EXPECT_EQ(bundle.events(),
              (Events{"launcher.started", "runtime.architecture.selected", "runtime.started",
                      "runtime.ready", "browser.open.requested", "browser.open.succeeded"}));
    const auto records = bundle.records();
    EXPECT_EQ(records[5]["url"], kURL);
    EXPECT_EQ(records[5]["detail"], application);
  }

  bool recordsSettled(const std::string& lastEvent) const {
    return std::filesystem::exists(bundle.logFile()) && bundle.hasEvent(lastEvent);
  }

  void quit(Process& launcher) {
    quitAndExpectCleanEnd(bundle, launcher);
    EXPECT_FALSE(bundle.hasEvent("launcher.failed"));
  }

  LauncherBundle bundle;
};

// The launcher's children that have exited but were never reaped.
std::vector<pid_t> zombieChildren(pid_t parent) {
  std::vector<pid_t> zombies;
  for (const ProcessStatus& process : allProcesses())
    if (process.parent == parent && process.state == 'Z') zombies.push_back(process.pid);
  return zombies;
}

// Whether the process has a file whose path holds `name` mapped.
bool hasMapped(pid_t pid, const std::string& name) {
  return readFile("/proc/" + std::to_string(pid) + "/maps").find(name) != std::string::npos;
}

// Whether one of the process's threads bears `name`.
bool hasThread(pid_t pid, const std::string& name) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::string comm = readFile(task.path() / "comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (comm == name) return true;
  }
  return false;
}

// How many folders the process watches through inotify.
int inotifyWatches(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  int watches = 0;
  std::error_code error;
  for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", error)) {
    std::error_code unreadable;
    if (std::filesystem::read_symlink(fd.path(), unreadable) != "anon_inode:inotify") continue;
    std::istringstream info(readFile(proc + "/fdinfo/" + fd.path().filename().string()));
    for (std::string line; std::getline(info, line);)
      if (line.rfind("inotify wd:", 0) == 0) ++watches;
  }
  return watches;
}

TEST_F(BrowserHandoff, SuppressedReadyLineIsRecordedAndPrinted) {
  registerFakeBrowser();
  auto launcher = start({{"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", "1"}});
  ASSERT_TRUE(waitFor([&] { return recordsSettled("browser.open.suppressed"); }));
  EXPECT_EQ(bundle.events(),
            (Events{"launcher.started", "runtime.architecture.selected", "runtime.started",
                    "runtime.ready", "browser.open.suppressed"}));
  const auto records = bundle.records();
  EXPECT_EQ(records[3]["url"], kURL);
  EXPECT_EQ(records[4]["url"], kURL);
  // Headless, a person in the terminal learns where the application serves.
  EXPECT_EQ(bundle.launcherStdout(), std::string(kURL) + "\n");
  quit(*launcher);
  EXPECT_TRUE(browserStarts().empty());
}

TEST_F(BrowserHandoff, SuppressedLauncherLoadsNoBrowserModule) {
  registerFakeBrowser();
  auto launcher = start({{"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", "1"}});
  ASSERT_TRUE(waitFor([&] { return recordsSettled("browser.open.suppressed"); }));
  // The browser thread starts with the first work given to it, so had the desktop been
  // asked to get ready at the runtime's start, the thread would be there by now.
  EXPECT_FALSE(hasThread(launcher->pid(), "zolven-browser"));
  EXPECT_FALSE(hasMapped(launcher->pid(), "zolven-browser.so"));
  EXPECT_FALSE(hasMapped(launcher->pid(), "libgio-2.0"));
  quit(*launcher);
}

TEST_F(BrowserHandoff, DesktopIsReadyBeforeTheURLAndADefaultChangedMeanwhileIsTheOneOpened) {
  registerFakeBrowser();
  // A second browser is installed; the user makes it the default while the runtime starts.
  writeFile(bundle.dir().str("xdg/data/applications/zolven-test-other.desktop"),
            std::string("[Desktop Entry]\nType=Application\nName=Other Browser\nExec=") +
                ZOLVEN_FAKE_BROWSER_PATH + " %u\nMimeType=x-scheme-handler/http;\n");
  // The runtime prints its URL only when the test says so.
  bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
while [ ! -e "$ZOLVEN_TEST_RECORD/go" ]; do sleep 0.01; done
printf 'http://127.0.0.1:4567/app?x=1\n'
exec sleep 1000
)sh");
  auto launcher = start();
  const pid_t pid = launcher->pid();

  // Before any URL: the module is loaded and GIO has read the desktop's settings (it
  // watches the four XDG folders it read them from, the user's own first).
  const auto ready = [&] {
    return hasMapped(pid, "zolven-browser.so") && inotifyWatches(pid) >= 4;
  };
  ASSERT_TRUE(waitFor(ready)) << "watches: " << inotifyWatches(pid) << "\n"
                              << bundle.launcherStderr();
  EXPECT_EQ(bundle.events(),
            (Events{"launcher.started", "runtime.architecture.selected", "runtime.started"}));

  // The new default, written as desktops write it: a new file put in place at once.
  writeFile(bundle.dir().str("xdg/config/mimeapps.list.new"),
            "[Default Applications]\nx-scheme-handler/http=zolven-test-other.desktop\n");
  std::filesystem::rename(bundle.dir().str("xdg/config/mimeapps.list.new"),
                          bundle.dir().str("xdg/config/mimeapps.list"));
  writeFile(bundle.record("go"), "");

  expectOpenedBy("zolven-test-other.desktop");
  ASSERT_TRUE(waitFor([&] { return browserStarts().size() == 1; }));
  EXPECT_EQ(browserStarts()[0][1], std::string("arg ") + kURL);
  quit(*launcher);
}

TEST_F(BrowserHandoff, DefaultHandlerReceivesExactlyTheURLWithACleanStart) {
  registerFakeBrowser();
  auto launcher = start();
  expectOpenedBy("zolven-test-browser.desktop");
  const auto records = bundle.records();
  EXPECT_EQ(records[4]["url"], kURL);
  EXPECT_EQ(records[4]["detail"], "runtime-ready");

  ASSERT_TRUE(waitFor([&] { return browserStarts().size() == 1; }));
  const auto browser = browserStarts()[0];
  EXPECT_EQ(browser[0], "args 1");
  EXPECT_EQ(browser[1], std::string("arg ") + kURL);
  EXPECT_EQ(browser[2], "sigblk 0000000000000000")
      << "the browser must start with no signal blocked";
  EXPECT_EQ(browser.size(), 3u) << "inherited launcher descriptors: "
                                << testing::PrintToString(browser);
  EXPECT_TRUE(waitFor([&] { return zombieChildren(launcher->pid()).empty(); }))
      << "the browser's start left a zombie";
  quit(*launcher);
}

TEST_F(BrowserHandoff, DescriptorsTheLauncherInheritedDoNotReachTheBrowser) {
  registerFakeBrowser();
  // Left open, not close-on-exec, by whoever started the launcher.
  const int inherited = ::open("/dev/null", O_RDONLY);
  ASSERT_GT(inherited, 2);
  auto launcher = start();
  ::close(inherited);
  expectOpenedBy("zolven-test-browser.desktop");
  ASSERT_TRUE(waitFor([&] { return browserStarts().size() == 1; }));
  EXPECT_EQ(browserStarts()[0].size(), 3u)
      << "descriptors reached the browser: " << testing::PrintToString(browserStarts()[0]);
  quit(*launcher);
}

TEST_F(BrowserHandoff, DesktopStartupTokenGoesToTheFirstBrowserStartOnly) {
  registerFakeBrowser();
  // Two ready lines, so the browser starts twice.
  bundle.addNode("runtime", R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
env > "$ZOLVEN_TEST_RECORD/env"
printf 'http://127.0.0.1:1/\n'
while [ "$(ls "$ZOLVEN_TEST_BROWSER_RECORD" | wc -l)" -lt 1 ]; do sleep 0.01; done
printf 'http://127.0.0.1:2/\n'
exec sleep 1000
)sh");
  // The desktop's startup id for the launcher, which shows no window of its own: the
  // browser is the window the user is waiting for, so it gets the id to take the focus.
  auto launcher = start({{"DESKTOP_STARTUP_ID", "zolven-test_TIME42"}});
  ASSERT_TRUE(waitFor([&] { return browserStarts().size() == 2; }));
  const auto has = [](const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  int withToken = 0;
  for (const auto& start : browserStarts()) {
    if (has(start, "arg http://127.0.0.1:1/")) {
      ++withToken;
      EXPECT_TRUE(has(start, "DESKTOP_STARTUP_ID zolven-test_TIME42"))
          << testing::PrintToString(start);
      EXPECT_TRUE(has(start, "XDG_ACTIVATION_TOKEN zolven-test_TIME42"));
    } else {
      EXPECT_EQ(start.size(), 3u) << "a spent token was handed on again: "
                                  << testing::PrintToString(start);
    }
  }
  EXPECT_EQ(withToken, 1);
  EXPECT_EQ(bundle.childEnvironment().count("DESKTOP_STARTUP_ID"), 0u)
      << "the runtime got the token";
  quit(*launcher);
}

TEST_F(BrowserHandoff, ReopenHandsTheLaterStartsTokenToTheBrowser) {
  registerFakeBrowser();
  auto launcher = start({{"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", "1"}});
  ASSERT_TRUE(waitFor([&] { return recordsSettled("browser.open.suppressed"); }));
  auto second = start({{"DESKTOP_STARTUP_ID", "reopen_TIME7"}}, "-2");
  EXPECT_EQ(second->waitExit(), 0);
  ASSERT_TRUE(waitFor([&] { return recordsSettled("browser.open.succeeded"); }));
  const auto records = bundle.records();
  EXPECT_EQ(records[5]["event"], "launcher.reopened");
  EXPECT_EQ(records[6]["detail"], "application-reopened");
  EXPECT_EQ(records[7]["detail"], "zolven-test-browser.desktop");
  ASSERT_TRUE(waitFor([&] { return browserStarts().size() == 1; }));
  const auto browser = browserStarts()[0];
  EXPECT_EQ(browser[1], std::string("arg ") + kURL);
  EXPECT_NE(std::find(browser.begin(), browser.end(), "DESKTOP_STARTUP_ID reopen_TIME7"),
            browser.end())
      << testing::PrintToString(browser);
  quit(*launcher);
}

TEST_F(BrowserHandoff, ShellCharactersInTheURLReachTheBrowserAsOneArgumentAndRunNothing) {
  // A valid ready URL (RFC 3986 allows these in a path) that a shell would run commands from.
  const std::string url = "http://127.0.0.1:9/a;touch$IFS" + bundle.dir().str("pwned") +
                          "&$(touch$IFS" + bundle.dir().str("pwned2") + ")'x'";
  // The runtime prints the URL from a file, so no shell of the test's own expands it.
  writeFile(bundle.dir().str("url"), url + "\n");
  bundle.addNode("runtime", "#!/bin/sh\necho $$ > \"$ZOLVEN_TEST_RECORD/pid\"\ncat '" +
                                bundle.dir().str("url") + "' '" + bundle.dir().str("url") +
                                "'\nexec sleep 1000\n");
  registerFakeBrowser();
  // The first start goes through the desktop file, the second through BROWSER.
  auto launcher = start({{"BROWSER", ZOLVEN_FAKE_BROWSER_PATH}});
  ASSERT_TRUE(waitFor([&] { return browserStarts().size() == 2; })) << bundle.launcherStderr();
  for (const auto& browser : browserStarts()) {
    EXPECT_EQ(browser[0], "args 1");
    EXPECT_EQ(browser[1], "arg " + url);
  }
  EXPECT_FALSE(std::filesystem::exists(bundle.dir().str("pwned")));
  EXPECT_FALSE(std::filesystem::exists(bundle.dir().str("pwned2")));
  quit(*launcher);
}

TEST_F(BrowserHandoff, NoHandlerIsAFailureRecordAndTheLauncherCarriesOn) {
  auto launcher = start({{"BROWSER", std::nullopt}});
  ASSERT_TRUE(waitFor([&] { return recordsSettled("browser.open.failed"); }));
  const auto records = bundle.records();
  EXPECT_EQ(records[4]["event"], "browser.open.requested");
  EXPECT_EQ(records[5]["event"], "browser.open.failed");
  EXPECT_EQ(records[5]["url"], kURL);
  // The desktop was got ready at the runtime's start and found no handler then: the open
  // finds none either and says so as ever.
  EXPECT_EQ(records[5]["detail"],
            "No application is set to open http URLs, and BROWSER is not set.");
  EXPECT_TRUE(launcher->running());
  EXPECT_TRUE(bundle.launcherStderr().find("could not start") == std::string::npos);
  quit(*launcher);
}

TEST_F(BrowserHandoff, BrowserVariableIsTheFallbackWithoutAHandler) {
  auto launcher = start({{"BROWSER", ZOLVEN_FAKE_BROWSER_PATH}});
  ASSERT_TRUE(waitFor([&] { return recordsSettled("browser.open.succeeded"); }));
  EXPECT_EQ(bundle.records()[5]["detail"], "fake_browser");
  ASSERT_TRUE(waitFor([&] { return browserStarts().size() == 1; }));
  const auto browser = browserStarts()[0];
  EXPECT_EQ(browser[0], "args 1");
  EXPECT_EQ(browser[1], std::string("arg ") + kURL);
  EXPECT_EQ(browser[2], "sigblk 0000000000000000");
  EXPECT_EQ(browser.size(), 3u) << testing::PrintToString(browser);
  quit(*launcher);
}

TEST_F(BrowserHandoff, UnstartableBrowserCommandIsAFailureRecord) {
  auto launcher = start({{"BROWSER", bundle.dir().str("no-such-browser")}});
  ASSERT_TRUE(waitFor([&] { return recordsSettled("browser.open.failed"); }));
  EXPECT_FALSE(bundle.records()[5]["detail"].get<std::string>().empty());
  quit(*launcher);
}

}  // namespace
