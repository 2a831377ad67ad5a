// What users get: the Debian package and the tarball that scripts/package makes from a
// bundle, checked with the tools made for them (dpkg-deb, lintian, appstreamcli,
// desktop-file-validate), installed into a private root with dpkg and run from there;
// and a bundle with the official Node.js from the npm registry.
//
// The suite makes one bundle and its packages, and all its tests look at them, so it runs
// as one process (one ctest test).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "launcher_bundle.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

#if defined(__aarch64__)
const std::string kDebianArch = "arm64";
#else
const std::string kDebianArch = "amd64";
#endif

const std::string kVersion = ZOLVEN_VERSION;

struct Ran {
  std::optional<int> status;
  std::string out;
  std::string err;
  std::string all() const { return out + err; }
};

// The environment of the tools: a fixed PATH (dpkg wants the sbin folders), a private
// home, the launcher of this build for the bundle tool, and the sanitizers' settings.
std::vector<std::string> toolEnvironment(const TempDir& dir,
                                         const std::vector<std::string>& extra = {}) {
  std::vector<std::string> env{"PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
                               "HOME=" + dir.str("home"), "LC_ALL=C.UTF-8",
                               std::string("ZOLVEN_BUNDLE_BUILD=") + ZOLVEN_BUILD_DIR};
  for (const auto& [name, value] : sanitizerSettings()) env.push_back(name + "=" + value);
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

Ran run(const TempDir& dir, const std::vector<std::string>& argv,
        const std::vector<std::string>& env, std::chrono::seconds deadline = 600s) {
  static int runs = 0;
  const std::string name = dir.str("run-" + std::to_string(++runs));
  Process process(argv, env, name + ".out", name + ".err");
  Ran ran;
  ran.status = process.waitExit(deadline);
  ran.out = readFile(name + ".out");
  ran.err = readFile(name + ".err");
  return ran;
}

std::string script(const std::string& name) {
  return std::string(ZOLVEN_SOURCE_DIR) + "/scripts/" + name;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Starts the launcher at `launcher` headless with its own log and runtime folders, waits
// until the bundled runtime (node with the demo app) is ready, then quits it.
void expectRunsToReady(const TempDir& dir, const std::string& launcher, const std::string& name) {
  const std::string logs = dir.str(name + "-logs");
  const std::string runtimeDir = dir.str(name + "-run");
  fs::create_directories(logs);
  fs::create_directories(runtimeDir);
  fs::permissions(runtimeDir, fs::perms::owner_all);
  fs::create_directories(dir.str("xdg-empty"));
  std::vector<std::string> env{"PATH=/usr/bin:/bin",
                               "HOME=" + dir.str("home"),
                               "ZOLVEN_LOG_ROOT=" + logs,
                               "XDG_RUNTIME_DIR=" + runtimeDir,
                               "ZOLVEN_LAUNCHER_SUPPRESS_BROWSER=1",
                               "XDG_CONFIG_HOME=" + dir.str("xdg-empty"),
                               "XDG_DATA_HOME=" + dir.str("xdg-empty")};
  for (const auto& [name, value] : sanitizerSettings()) env.push_back(name + "=" + value);
  Process process({launcher}, env, dir.str(name + ".out"), dir.str(name + ".err"));
  const bool ready = waitFor(
      [&] { return contains(readFile(logs + "/launcher.log"), "\"event\":\"runtime.ready\""); },
      60s);
  EXPECT_TRUE(ready) << readFile(logs + "/launcher.log") << readFile(dir.str(name + ".err"));
  if (!ready) return;
  // Headless, it also prints the URL (just after the record).
  EXPECT_TRUE(
      waitFor([&] { return contains(readFile(dir.str(name + ".out")), "http://127.0.0.1:"); }));
  process.signal(SIGTERM);
  EXPECT_EQ(process.waitExit(), 0) << readFile(dir.str(name + ".err"));
  EXPECT_FALSE(contains(readFile(logs + "/launcher.log"), "launcher.failed"));
}

bool elfHasSymbolTable(const TempDir& dir, const std::string& file) {
  return contains(run(dir, {"/usr/bin/readelf", "-S", "--wide", file}, toolEnvironment(dir)).out,
                  " .symtab ");
}

// One bundle of the demo app with this machine's node, packed as both packages.
class Packages : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const TempDir& dir = *dir_;
    const Ran bundle = run(dir,
                           {script("bundle"), "--node", ZOLVEN_NODE_PATH, "--app",
                            std::string(ZOLVEN_SOURCE_DIR) + "/demo/app", "--config",
                            std::string(ZOLVEN_SOURCE_DIR) + "/demo/config/runtime-config.json",
                            "--out", dir.str("bundle")},
                           toolEnvironment(dir));
    if (bundle.status != 0) {
      setupError_ = "scripts/bundle failed: " + bundle.all();
      return;
    }
    // A quick compression: the test reads the package, the format is the same.
    const Ran package =
        run(dir, {script("package"), dir.str("bundle"), "--deb", "--tar", "--out", dir.str("out")},
            toolEnvironment(dir, {"DPKG_DEB_COMPRESSOR_TYPE=gzip", "DPKG_DEB_COMPRESSOR_LEVEL=1"}));
    if (package.status != 0) setupError_ = "scripts/package failed: " + package.all();
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(setupError_, "") << setupError_; }

  static const TempDir& dir() { return *dir_; }
  static std::string deb() {
    return dir_->str("out/zolven_" + kVersion + "_" + kDebianArch + ".deb");
  }
  static std::string tarball() {
    return dir_->str("out/zolven-" + kVersion + "-linux-" + kArch + ".tar.gz");
  }
  // The package's files, unpacked once.
  static std::string unpacked() {
    std::string to = dir_->str("unpacked");
    if (!fs::exists(to)) run(*dir_, {"/usr/bin/dpkg-deb", "-x", deb(), to}, toolEnvironment(*dir_));
    return to;
  }

 private:
  static inline TempDir* dir_ = nullptr;
  static inline std::string setupError_;
};

TEST_F(Packages, DebianPackageHasItsFieldsAndFilesInPolicyPlaces) {
  const Ran fields =
      run(dir(), {"/usr/bin/dpkg-deb", "--field", deb(), "Package", "Version", "Architecture"},
          toolEnvironment(dir()));
  EXPECT_EQ(fields.out,
            "Package: zolven\nVersion: " + kVersion + "\nArchitecture: " + kDebianArch + "\n");

  // Dependencies come from the libraries the programs and modules link.
  const std::string depends =
      run(dir(), {"/usr/bin/dpkg-deb", "--field", deb(), "Depends"}, toolEnvironment(dir())).out;
  for (const char* package :
       {"libc6 (", "libqt6widgets6 (", "libglib2.0-0 (", "liburiparser1 (", "qt6-wayland"})
    EXPECT_TRUE(contains(depends, package)) << package << " in " << depends;
  EXPECT_FALSE(contains(depends, "libopengl0")) << "the desktop module never calls OpenGL";

  const std::string contents =
      run(dir(), {"/usr/bin/dpkg-deb", "--contents", deb()}, toolEnvironment(dir())).out;
  const std::string bundle = "./usr/lib/zolven/";
  for (const std::string& path : std::vector<std::string>{
           " ./usr/bin/zolven-launcher -> ../lib/zolven/zolven-launcher\n",
           " " + bundle + "zolven-launcher\n",
           " " + bundle + "lib/zolven-desktop.so\n",
           " " + bundle + "lib/zolven-browser.so\n",
           " " + bundle + "resources/runtime/" + kArch + "/bin/node\n",
           " " + bundle + "resources/runtime/" + kArch + "/app/scripts/packaged-runtime.mjs\n",
           " " + bundle + "resources/config/runtime-config.json\n",
           " " + bundle + "share/zolven/zolven.desktop.in\n",
           " ./usr/share/applications/zolven.desktop\n",
           " ./usr/share/icons/hicolor/48x48/apps/zolven.png\n",
           " ./usr/share/icons/hicolor/scalable/apps/zolven.svg\n",
           " ./usr/share/metainfo/com.keldrovan.zolven.metainfo.xml\n",
           " ./usr/share/doc/zolven/copyright\n",
           " ./usr/share/doc/zolven/changelog.gz\n",
           " ./usr/share/man/man1/zolven-launcher.1.gz\n",
           " ./usr/share/lintian/overrides/zolven\n",
       })
    EXPECT_TRUE(contains(contents, path)) << path << " in\n" << contents;
  EXPECT_FALSE(contains(contents, " ./opt/"));
  // The bundle's own entry names the folder it was made in; the package has its own.
  EXPECT_FALSE(contains(contents, bundle + "share/applications"));
  std::istringstream lines(contents);
  for (std::string line; std::getline(lines, line);)
    EXPECT_TRUE(contains(line, " root/root ")) << line;

  // Stripped: no symbol tables in the programs and modules.
  for (const std::string& file :
       {bundle + "zolven-launcher", bundle + "lib/zolven-desktop.so",
        bundle + "lib/zolven-browser.so", bundle + "resources/runtime/" + kArch + "/bin/node"})
    EXPECT_FALSE(elfHasSymbolTable(dir(), unpacked() + "/" + file)) << file;
}

TEST_F(Packages, LintianReportsNoErrorsOrWarnings) {
  // Tags the package overrides, each with its reason, are not reported. (With
  // --show-overrides, lintian would fail on them too.)
  const Ran lintian = run(
      dir(), {"/usr/bin/lintian", "--fail-on", "error,warning", "--tag-display-limit", "0", deb()},
      toolEnvironment(dir()));
  EXPECT_EQ(lintian.status, 0) << lintian.all();
  std::istringstream lines(lintian.out);
  for (std::string line; std::getline(lines, line);)
    EXPECT_FALSE(line.rfind("E: ", 0) == 0 || line.rfind("W: ", 0) == 0) << line;
  // Every override carries a reason: a comment right above it.
  std::istringstream overrides(readFile(unpacked() + "/usr/share/lintian/overrides/zolven"));
  std::string previous;
  for (std::string line; std::getline(overrides, line); previous = line) {
    if (line.rfind("zolven: ", 0) == 0) {
      EXPECT_EQ(previous.rfind("# ", 0), 0u) << line;
    }
  }
}

TEST_F(Packages, MetadataAndDesktopEntryValidate) {
  const std::string metainfo = unpacked() + "/usr/share/metainfo/com.keldrovan.zolven.metainfo.xml";
  const Ran appstream = run(dir(), {"/usr/bin/appstreamcli", "validate", "--no-net", metainfo},
                            toolEnvironment(dir()));
  EXPECT_EQ(appstream.status, 0) << appstream.all();
  const std::string xml = readFile(metainfo);
  EXPECT_TRUE(contains(xml, "<launchable type=\"desktop-id\">zolven.desktop</launchable>"));
  EXPECT_TRUE(contains(xml, "<release version=\"" + kVersion + "\""));

  const std::string entry = unpacked() + "/usr/share/applications/zolven.desktop";
  const Ran validate =
      run(dir(), {"/usr/bin/desktop-file-validate", entry}, toolEnvironment(dir()));
  EXPECT_EQ(validate.status, 0) << validate.all();
  const std::string text = readFile(entry);
  for (const char* line :
       {"\nExec=zolven-launcher\n", "\nIcon=zolven\n", "\nStartupWMClass=zolven\n",
        "[Desktop Action quit]\nName=Quit ZOLVEN\nExec=zolven-launcher --quit\n"})
    EXPECT_TRUE(contains(text, line)) << line << " in\n" << text;
}

TEST_F(Packages, DebianPackageInstallsIntoAPrivateRootRunsAndRemovesWithoutATrace) {
  // A root of its own with an empty package database; the machine's is never touched.
  const std::string root = dir().str("root");
  fs::create_directories(root + "/var/lib/dpkg/updates");
  fs::create_directories(root + "/var/lib/dpkg/info");
  writeFile(root + "/var/lib/dpkg/status", "");
  const std::vector<std::string> dpkg{"/usr/bin/dpkg", "--root=" + root, "--force-not-root",
                                      "--log=" + dir().str("dpkg.log")};
  auto withDpkg = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), dpkg.begin(), dpkg.end());
    return run(dir(), arguments, toolEnvironment(dir()));
  };
  // Its dependencies are this machine's, not the private root's.
  const Ran install = withDpkg({"--force-depends", "--install", deb()});
  ASSERT_EQ(install.status, 0) << install.all();

  EXPECT_EQ(fs::read_symlink(root + "/usr/bin/zolven-launcher"), "../lib/zolven/zolven-launcher");
  EXPECT_TRUE(fs::is_regular_file(root + "/usr/share/applications/zolven.desktop"));
  EXPECT_TRUE(fs::is_regular_file(root + "/usr/share/icons/hicolor/256x256/apps/zolven.png"));
  const Ran status = withDpkg({"--status", "zolven"});
  EXPECT_TRUE(contains(status.out, "Status: install ok installed")) << status.all();
  // What dpkg knows it installed is what is there.
  const Ran verify = withDpkg({"--verify", "zolven"});
  EXPECT_EQ(verify.status, 0) << verify.all();
  EXPECT_EQ(verify.out, "");

  // Through the command's link: the launcher finds its bundle by its real path.
  expectRunsToReady(dir(), root + "/usr/bin/zolven-launcher", "installed");

  const Ran purge = withDpkg({"--purge", "zolven"});
  ASSERT_EQ(purge.status, 0) << purge.all();
  std::vector<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string path = entry.path().string().substr(root.size());
    if (path != "/var" && path != "/var/lib" && path.rfind("/var/lib/dpkg", 0) != 0)
      left.push_back(path);
  }
  EXPECT_EQ(left, std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(root + "/var/lib/dpkg/info/zolven.list"));
}

TEST_F(Packages, TarballRunsFromAFolderWhosePathHoldsSpacesAndQuotes) {
  const std::string place = dir().str("it's a \"place\" $HOME");
  fs::create_directories(place);
  const Ran untar =
      run(dir(), {"/bin/tar", "-xzf", tarball(), "-C", place}, toolEnvironment(dir()));
  ASSERT_EQ(untar.status, 0) << untar.all();
  const std::string folder = place + "/zolven-" + kVersion + "-linux-" + kArch;
  const std::string readme = readFile(folder + "/README");
  EXPECT_TRUE(contains(readme, "--install-desktop-entry")) << readme;
  // It names the Debian packages of the desktop's libraries it uses.
  EXPECT_TRUE(contains(readme, "sudo apt-get install ")) << readme;
  EXPECT_TRUE(contains(readme, "libqt6widgets6")) << readme;
  EXPECT_FALSE(fs::exists(folder + "/share/applications"));

  expectRunsToReady(dir(), folder + "/zolven-launcher", "unpacked");

  // Its own menu entry, pointing at this folder.
  const std::string dataHome = dir().str("tarball-data");
  const Ran entry = run(dir(), {folder + "/zolven-launcher", "--install-desktop-entry"},
                        toolEnvironment(dir(), {"XDG_DATA_HOME=" + dataHome}));
  ASSERT_EQ(entry.status, 0) << entry.all();
  const Ran validate =
      run(dir(), {"/usr/bin/desktop-file-validate", dataHome + "/applications/zolven.desktop"},
          toolEnvironment(dir()));
  EXPECT_EQ(validate.status, 0) << validate.all();
  EXPECT_TRUE(contains(readFile(dataHome + "/applications/zolven.desktop"),
                       "\nExec=\"" + dir().str("it's a \\\\\"place\\\\\" \\\\$HOME") + "/zolven-" +
                           kVersion + "-linux-" + kArch + "/zolven-launcher\"\n"));
}

TEST(PackageTool, RefusesAFolderThatIsNoBundle) {
  TempDir dir;
  writeFile(dir.str("folder/zolven-launcher"), "#!/bin/sh\n", fs::perms::owner_all);
  const Ran ran = run(dir, {script("package"), dir.str("folder"), "--out", dir.str("out")},
                      toolEnvironment(dir));
  EXPECT_EQ(ran.status, 1);
  EXPECT_TRUE(contains(ran.err, "is not a ZOLVEN bundle made by scripts/bundle")) << ran.err;
  EXPECT_TRUE(!fs::exists(dir.str("out")) || fs::is_empty(dir.str("out")));
}

// --- Node.js from the npm registry ---

std::string pinnedNodeVersion() {
  static const std::regex line("(^|\n)version ([0-9.]+)\n");
  std::smatch match;
  const std::string pin = readFile(std::string(ZOLVEN_SOURCE_DIR) + "/packaging/node-version");
  return std::regex_search(pin, match, line) ? match[2].str() : "";
}

TEST(NodeFromTheRegistry, IsSelfContainedRunsTheAppAndComesFromTheCacheTheSecondTime) {
  TempDir dir;
  const std::string version = pinnedNodeVersion();
  ASSERT_NE(version, "");
  if (!fs::exists("/usr/bin/npm")) GTEST_SKIP() << "npm is not installed (the npm package)";
  const Ran probe =
      run(dir, {"/usr/bin/npm", "view", "node-linux-" + kArch + "@" + version, "dist.integrity"},
          toolEnvironment(dir), 120s);
  if (probe.status != 0)
    GTEST_SKIP() << "the npm registry cannot be reached, so a bundle cannot take node from it: "
                 << probe.all();

  const std::string cache = "XDG_CACHE_HOME=" + dir.str("cache");
  auto bundle = [&](const std::string& out, std::vector<std::string> env) {
    env.push_back(cache);
    return run(dir,
               {script("bundle"), "--node-version", "default", "--app",
                std::string(ZOLVEN_SOURCE_DIR) + "/demo/app", "--config",
                std::string(ZOLVEN_SOURCE_DIR) + "/demo/config/runtime-config.json", "--out",
                dir.str(out)},
               toolEnvironment(dir, env));
  };
  const Ran first = bundle("first", {});
  ASSERT_EQ(first.status, 0) << first.all();
  EXPECT_TRUE(contains(first.out, "Downloading Node.js " + version)) << first.out;

  const std::string node = dir.str("first/resources/runtime/" + kArch + "/bin/node");
  const Ran ldd = run(dir, {"/usr/bin/ldd", node}, toolEnvironment(dir));
  EXPECT_EQ(ldd.status, 0) << ldd.all();
  EXPECT_FALSE(contains(ldd.out, "libnode")) << ldd.out;
  EXPECT_FALSE(contains(ldd.out, "not found")) << ldd.out;
  EXPECT_EQ(run(dir, {node, "--version"}, toolEnvironment(dir)).out, "v" + version + "\n");
  // Its licence, with those of the libraries it embeds, comes along.
  EXPECT_TRUE(contains(readFile(dir.str("first/resources/runtime/" + kArch + "/LICENSE")),
                       "Node.js is licensed for use as follows"));
  expectRunsToReady(dir, dir.str("first/zolven-launcher"), "first");

  // The second time nothing is fetched: a registry that answers nobody changes nothing.
  const std::string nowhere = "npm_config_registry=http://127.0.0.1:9/";
  const Ran second = bundle("second", {nowhere});
  ASSERT_EQ(second.status, 0) << second.all();
  EXPECT_TRUE(contains(second.out, "from the cache")) << second.out;
  EXPECT_EQ(readFile(dir.str("second/resources/runtime/" + kArch + "/bin/node")), readFile(node));

  // A cached download that no longer matches its pinned integrity is not used.
  const std::string tarball =
      dir.str("cache/zolven/node/" + version + "/node-linux-" + kArch + "-" + version + ".tgz");
  ASSERT_TRUE(fs::exists(tarball));
  std::ofstream(tarball, std::ios::app) << "tampered";
  const Ran third = bundle("third", {nowhere});
  EXPECT_EQ(third.status, 1) << third.all();
  EXPECT_TRUE(contains(third.err, "cannot fetch node-linux-" + kArch)) << third.err;
  EXPECT_FALSE(fs::exists(dir.str("third/zolven-launcher")));
}

}  // namespace
