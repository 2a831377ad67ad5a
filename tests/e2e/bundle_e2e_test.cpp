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

}  // namespace
