// The bundle tool (scripts/bundle): what it refuses, the bundle it makes, and the desktop
// entry it installs, down to starting and quitting the launcher through that entry.
#include <gtest/gtest.h>

#include "launcher_bundle.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

// Runs scripts/bundle with the launcher of this build (no Release build of its own).
std::optional<int> runBundleTool(const TempDir& dir, const std::vector<std::string>& arguments,
                                 const std::vector<std::string>& extraEnvironment = {}) {
  std::vector<std::string> argv{std::string(ZOLVEN_SOURCE_DIR) + "/scripts/bundle"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> env{"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + dir.str("home"),
                               std::string("ZOLVEN_BUNDLE_BUILD=") + ZOLVEN_BUILD_DIR};
  env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
  Process tool(argv, env, dir.str("tool.out"), dir.str("tool.err"));
  return tool.waitExit(std::chrono::seconds(120));
}

// An app, a node and a configuration as a developer would hand them over.
struct Inputs {
  TempDir dir;
  Inputs() {
    writeFile(dir.str("in/node"), R"sh(#!/bin/sh
echo $$ > "$ZOLVEN_TEST_RECORD/pid"
printf 'http://127.0.0.1:8123/\n'
exec sleep 1000
)sh",
              fs::perms::owner_all);
    writeFile(dir.str("in/app/scripts/packaged-runtime.mjs"), "// entry\n");
    writeFile(dir.str("in/app/public/index.html"), "<p>hello</p>\n");
    writeFile(dir.str("in/config.json"), "{\"name\": \"Test\"}\n");
  }
  std::vector<std::string> arguments(const std::string& out) const {
    return {"--node",   dir.str("in/node"),        "--app", dir.str("in/app"),
            "--config", dir.str("in/config.json"), "--out", out};
  }
};

struct RefusalCase {
  const char* name;
  std::function<std::vector<std::string>(Inputs&)> prepare;
  int status;
  const char* message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, NamesTheProblemAndMakesNothing) {
  Inputs inputs;
  const std::vector<std::string> arguments = GetParam().prepare(inputs);
  EXPECT_EQ(runBundleTool(inputs.dir, arguments), GetParam().status);
  const std::string error = readFile(inputs.dir.str("tool.err"));
  EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(inputs.dir.str("out/zolven-launcher")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusal,
    testing::Values(RefusalCase{"MissingNode",
                                [](Inputs& in) {
                                  fs::remove(in.dir.str("in/node"));
                                  return in.arguments(in.dir.str("out"));
                                },
                                1, "--node"},
                    RefusalCase{"NodeNotExecutable",
                                [](Inputs& in) {
                                  fs::permissions(in.dir.str("in/node"),
                                                  fs::perms::owner_read | fs::perms::owner_write);
                                  return in.arguments(in.dir.str("out"));
                                },
                                1, "not executable"},
                    RefusalCase{"AppWithoutEntryScript",
                                [](Inputs& in) {
                                  fs::remove(in.dir.str("in/app/scripts/packaged-runtime.mjs"));
                                  return in.arguments(in.dir.str("out"));
                                },
                                1, "scripts/packaged-runtime.mjs"},
                    RefusalCase{"MissingConfig",
                                [](Inputs& in) {
                                  fs::remove(in.dir.str("in/config.json"));
                                  return in.arguments(in.dir.str("out"));
                                },
                                1, "--config"},
                    RefusalCase{"ConfigIsAFolder",
                                [](Inputs& in) {
                                  fs::remove(in.dir.str("in/config.json"));
                                  fs::create_directories(in.dir.str("in/config.json"));
                                  return in.arguments(in.dir.str("out"));
                                },
                                1, "not a regular file"},
                    RefusalCase{"OutputFolderNotEmpty",
                                [](Inputs& in) {
                                  writeFile(in.dir.str("out/keep.txt"), "mine\n");
                                  return in.arguments(in.dir.str("out"));
                                },
                                1, "not empty"},
                    RefusalCase{"BackslashInTheOutputPath",
                                [](Inputs& in) { return in.arguments(in.dir.str("out\\x")); }, 1,
                                "backslash"},
                    RefusalCase{"MissingArgument",
                                [](Inputs& in) {
                                  auto arguments = in.arguments(in.dir.str("out"));
                                  arguments.resize(6);
                                  return arguments;
                                },
                                2, "usage"},
                    RefusalCase{"NodeAndNodeVersion",
                                [](Inputs& in) {
                                  auto arguments = in.arguments(in.dir.str("out"));
                                  arguments.insert(arguments.end(), {"--node-version", "default"});
                                  return arguments;
                                },
                                2, "usage"},
                    RefusalCase{"NodeVersionThatIsNoVersion",
                                [](Inputs& in) {
                                  auto arguments = in.arguments(in.dir.str("out"));
                                  arguments[0] = "--node-version";
                                  arguments[1] = "latest; rm -rf /";
                                  return arguments;
                                },
                                1, "not a version"},
                    RefusalCase{"UnknownArgument",
                                [](Inputs& in) {
                                  auto arguments = in.arguments(in.dir.str("out"));
                                  arguments.push_back("--sign");
                                  return arguments;
                                },
                                2, "unknown argument '--sign'"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BundleTool, MakesABundleThatLaunchesAndInstallsADesktopEntryThatStartsAndQuitsIt) {
  Inputs inputs;
  // Characters a careless Exec line or shell would trip over.
  const std::string out = inputs.dir.str("My App $HOME \"v1\" 'x'");
  ASSERT_EQ(runBundleTool(inputs.dir, inputs.arguments(out)), 0)
      << readFile(inputs.dir.str("tool.err"));

  const std::string runtime = out + "/resources/runtime/" + kArch;
  for (const std::string& file :
       {out + "/zolven-launcher", out + "/lib/zolven-desktop.so", out + "/lib/zolven-browser.so",
        out + "/lib/zolven-supervisor", runtime + "/bin/node",
        runtime + "/app/scripts/packaged-runtime.mjs", runtime + "/app/public/index.html",
        out + "/resources/config/runtime-config.json", out + "/share/applications/zolven.desktop",
        out + "/share/icons/hicolor/scalable/apps/zolven.svg",
        out + "/share/icons/hicolor/48x48/apps/zolven.png",
        out + "/share/icons/hicolor/256x256/apps/zolven.png"})
    EXPECT_TRUE(fs::is_regular_file(file)) << file;
  EXPECT_EQ(readFile(out + "/resources/config/runtime-config.json"), "{\"name\": \"Test\"}\n");

  // Install the entry into a private data home, as a user would.
  const std::string dataHome = inputs.dir.str("data");
  ASSERT_EQ(runBundleTool(inputs.dir, {"--install", out}, {"XDG_DATA_HOME=" + dataHome}), 0)
      << readFile(inputs.dir.str("tool.err"));
  const std::string entry = dataHome + "/applications/zolven.desktop";
  const std::string text = readFile(entry);
  for (const char* line : {"Name=ZOLVEN\n", "Terminal=false\n", "StartupNotify=true\n",
                           "Icon=zolven\n", "[Desktop Action quit]\nName=Quit ZOLVEN\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  EXPECT_TRUE(fs::exists(dataHome + "/icons/hicolor/64x64/apps/zolven.png"));
  {
    Process validate({"/usr/bin/desktop-file-validate", entry}, {"PATH=/usr/bin:/bin"},
                     inputs.dir.str("v.out"), inputs.dir.str("v.err"));
    EXPECT_EQ(validate.waitExit(), 0)
        << readFile(inputs.dir.str("v.out")) << readFile(inputs.dir.str("v.err"));
  }

  // The desktop starts the application from the entry: the Exec line reaches the bundle's
  // launcher through every odd character of its path.
  LauncherBundle paths;  // only for its private log, record and runtime directories
  std::vector<std::string> env = paths.environment();
  Process launch({"/usr/bin/gio", "launch", entry}, env, inputs.dir.str("gio.out"),
                 inputs.dir.str("gio.err"));
  EXPECT_EQ(launch.waitExit(), 0) << readFile(inputs.dir.str("gio.err"));
  ASSERT_TRUE(waitFor([&] {
    return paths.hasEvent("browser.open.suppressed") && paths.childStarted();
  })) << readFile(inputs.dir.str("gio.err"));
  const pid_t child = paths.childPid();

  // Opening it from the desktop again reopens the page instead of starting a second one.
  Process again({"/usr/bin/gio", "launch", entry}, env, inputs.dir.str("gio2.out"),
                inputs.dir.str("gio2.err"));
  EXPECT_EQ(again.waitExit(), 0) << readFile(inputs.dir.str("gio2.err"));
  ASSERT_TRUE(waitFor([&] { return paths.hasEvent("browser.open.failed"); }));
  EXPECT_TRUE(paths.hasEvent("launcher.reopened"));

  // The Quit action's command line ends it through the normal quit path.
  Process quit({out + "/zolven-launcher", "--quit"}, env, inputs.dir.str("q.out"),
               inputs.dir.str("q.err"));
  EXPECT_EQ(quit.waitExit(), 0) << readFile(inputs.dir.str("q.err"));
  EXPECT_TRUE(waitFor([&] { return paths.hasEvent("runtime.exited"); }));
  EXPECT_TRUE(waitFor([&] { return !processRunning(child); }));
  EXPECT_FALSE(paths.hasEvent("launcher.failed"));

  ASSERT_EQ(runBundleTool(inputs.dir, {"--uninstall", out}, {"XDG_DATA_HOME=" + dataHome}), 0);
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_FALSE(fs::exists(dataHome + "/icons/hicolor/64x64/apps/zolven.png"));
}

// The bundle tool takes any node, but says so when the node needs a shared libnode (as
// Debian's own nodejs does): that bundle runs only where the library is installed.
struct NodeCase {
  const char* name;
  std::function<std::string(const Inputs&)> node;
  bool warns;
};

void PrintTo(const NodeCase& c, std::ostream* os) { *os << c.name; }

class NodeLibrary : public testing::TestWithParam<NodeCase> {};

TEST_P(NodeLibrary, AWarningOnlyForASharedLibnode) {
  Inputs inputs;
  std::vector<std::string> arguments = inputs.arguments(inputs.dir.str("out"));
  arguments[1] = GetParam().node(inputs);
  ASSERT_EQ(runBundleTool(inputs.dir, arguments), 0) << readFile(inputs.dir.str("tool.err"));
  const std::string error = readFile(inputs.dir.str("tool.err"));
  EXPECT_EQ(error.find("warning: " + arguments[1] + " needs the shared library libnode.so.115") !=
                std::string::npos,
            GetParam().warns)
      << error;
  EXPECT_EQ(error.find("libnode") != std::string::npos, GetParam().warns) << error;
  EXPECT_TRUE(fs::is_regular_file(inputs.dir.str("out/resources/runtime/" + kArch + "/bin/node")));
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, NodeLibrary,
    testing::Values(NodeCase{"LinkedToLibnode",
                             [](const Inputs&) { return ZOLVEN_NODE_WITH_LIBNODE_PATH; }, true},
                    NodeCase{"ProgramWithoutLibnode",
                             [](const Inputs&) { return ZOLVEN_FAKE_BROWSER_PATH; }, false},
                    NodeCase{"Script", [](const Inputs& in) { return in.dir.str("in/node"); },
                             false}),
    [](const auto& info) { return std::string(info.param.name); });

// Two bundles share one entry name: each keeps its hands off the other's entries.
TEST(BundleTool, EntriesOfAnotherBundleAreKeptUnlessForcedAndNeverRemoved) {
  Inputs inputs;
  const std::string first = inputs.dir.str("first");
  const std::string second = inputs.dir.str("second");
  ASSERT_EQ(runBundleTool(inputs.dir, inputs.arguments(first)), 0);
  ASSERT_EQ(runBundleTool(inputs.dir, inputs.arguments(second)), 0);
  const std::string dataHome = "XDG_DATA_HOME=" + inputs.dir.str("data");
  const std::string entry = inputs.dir.str("data/applications/zolven.desktop");
  auto entryRuns = [&](const std::string& bundle) {
    return readFile(entry).find("\nExec=\"" + bundle + "/zolven-launcher\"\n") != std::string::npos;
  };

  ASSERT_EQ(runBundleTool(inputs.dir, {"--install", first}, {dataHome}), 0);
  EXPECT_TRUE(entryRuns(first));

  EXPECT_EQ(runBundleTool(inputs.dir, {"--install", second}, {dataHome}), 1);
  const std::string refusal = readFile(inputs.dir.str("tool.err"));
  EXPECT_NE(refusal.find(first + "/zolven-launcher"), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("--force"), std::string::npos) << refusal;
  EXPECT_TRUE(entryRuns(first));
  EXPECT_EQ(runBundleTool(inputs.dir, {"--uninstall", second}, {dataHome}), 1);
  EXPECT_TRUE(entryRuns(first));

  ASSERT_EQ(runBundleTool(inputs.dir, {"--install", second, "--force"}, {dataHome}), 0);
  EXPECT_TRUE(entryRuns(second));
  EXPECT_EQ(runBundleTool(inputs.dir, {"--uninstall", first}, {dataHome}), 1);
  EXPECT_TRUE(entryRuns(second));
  EXPECT_EQ(runBundleTool(inputs.dir, {"--uninstall", second}, {dataHome}), 0);
  EXPECT_FALSE(fs::exists(entry));
}

// The login entry starts the launcher quietly: the page is not opened at the ready line.
TEST(Autostart, EntryStartsTheLauncherWithoutTheBrowserAndOnlyItsBundleRemovesIt) {
  Inputs inputs;
  const std::string out = inputs.dir.str("My \"App\" $HOME");
  const std::string other = inputs.dir.str("other");
  ASSERT_EQ(runBundleTool(inputs.dir, inputs.arguments(out)), 0);
  ASSERT_EQ(runBundleTool(inputs.dir, inputs.arguments(other)), 0);

  LauncherBundle paths;  // for its private log, record and runtime directories
  const std::string configHome = inputs.dir.str("config");
  // As a session starts it: without the variable in the environment.
  const std::vector<std::string> env = paths.environment(
      {{"XDG_CONFIG_HOME", configHome}, {"ZOLVEN_LAUNCHER_SUPPRESS_BROWSER", std::nullopt}});
  auto launcher = [&](const std::string& bundle, const std::string& state) {
    Process command({bundle + "/zolven-launcher", "--autostart", state}, env,
                    inputs.dir.str("a.out"), inputs.dir.str("a.err"));
    return command.waitExit();
  };
  ASSERT_EQ(launcher(out, "on"), 0) << readFile(inputs.dir.str("a.err"));
  const std::string entry = configHome + "/autostart/zolven.desktop";
  {
    Process validate({"/usr/bin/desktop-file-validate", entry}, {"PATH=/usr/bin:/bin"},
                     inputs.dir.str("v.out"), inputs.dir.str("v.err"));
    EXPECT_EQ(validate.waitExit(), 0)
        << readFile(inputs.dir.str("v.out")) << readFile(inputs.dir.str("v.err"));
  }
  EXPECT_EQ(launcher(other, "on"), 1);
  EXPECT_EQ(launcher(other, "off"), 1);

  Process login({"/usr/bin/gio", "launch", entry}, env, inputs.dir.str("gio.out"),
                inputs.dir.str("gio.err"));
  EXPECT_EQ(login.waitExit(), 0) << readFile(inputs.dir.str("gio.err"));
  ASSERT_TRUE(waitFor([&] { return paths.hasEvent("runtime.ready") && paths.childStarted(); }))
      << readFile(inputs.dir.str("gio.err"));
  EXPECT_TRUE(waitFor([&] { return paths.hasEvent("browser.open.suppressed"); }));
  EXPECT_FALSE(paths.hasEvent("browser.open.requested"));
  const pid_t child = paths.childPid();
  Process quit({out + "/zolven-launcher", "--quit"}, env, inputs.dir.str("q.out"),
               inputs.dir.str("q.err"));
  EXPECT_EQ(quit.waitExit(), 0) << readFile(inputs.dir.str("q.err"));
  EXPECT_TRUE(waitFor([&] { return !processRunning(child); }));

  EXPECT_EQ(launcher(out, "off"), 0) << readFile(inputs.dir.str("a.err"));
  EXPECT_FALSE(fs::exists(entry));
}

}  // namespace
