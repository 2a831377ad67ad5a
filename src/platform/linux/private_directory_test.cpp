// The choice and the checks of the private directory, with real directories.
#include "platform/linux/private_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <ostream>

#include "platform/single_instance.h"
#include "temp_dir.h"

namespace zolven::platform {
namespace {

using testsupport::TempDir;
using testsupport::writeFile;
using Outcome = InstanceClaim::Outcome;

struct DirectoryPathCase {
  const char* name;
  Environment environment;
  std::string expected;
};

void PrintTo(const DirectoryPathCase& c, std::ostream* os) { *os << c.name; }

class InstanceDirectoryPath : public testing::TestWithParam<DirectoryPathCase> {};

TEST_P(InstanceDirectoryPath, PrefersTheRuntimeDirectory) {
  EXPECT_EQ(instanceDirectoryPath(GetParam().environment, 1000), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstanceDirectoryPath,
    testing::Values(
        DirectoryPathCase{
            "RuntimeDirectory", {{"XDG_RUNTIME_DIR", "/run/user/1000"}}, "/run/user/1000/zolven"},
        DirectoryPathCase{
            "TrailingSlash", {{"XDG_RUNTIME_DIR", "/run/user/1000/"}}, "/run/user/1000/zolven"},
        DirectoryPathCase{"Unset", {{"HOME", "/home/u"}}, "/tmp/zolven-1000"},
        DirectoryPathCase{"Empty", {{"XDG_RUNTIME_DIR", ""}}, "/tmp/zolven-1000"},
        DirectoryPathCase{"Relative", {{"XDG_RUNTIME_DIR", "run/user/1000"}}, "/tmp/zolven-1000"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every start of a user, whatever its environment, must come to the same directory.
struct ChoiceCase {
  const char* name;
  // Prepares the places below the temporary directory ("run", "tmp", "home").
  std::function<void(const TempDir&, const std::string& user)> prepare;
  // XDG_RUNTIME_DIR relative to the temporary directory; nothing: unset.
  std::optional<std::string> runtime;
  std::string expected;    // relative to the temporary directory, "USER" for the user
  std::string passedOver;  // words that the reasons must hold; empty: none given
};

void PrintTo(const ChoiceCase& c, std::ostream* os) { *os << c.name; }

class ChooseInstanceDirectory : public testing::TestWithParam<ChoiceCase> {};

TEST_P(ChooseInstanceDirectory, TakesTheFirstUsablePlace) {
  const TempDir temp;
  const uid_t user = ::geteuid();
  const std::string name = std::to_string(user);
  for (const char* place : {"run", "tmp", "home"}) {
    std::filesystem::create_directory(temp.path() / place);
    ::chmod(temp.str(place).c_str(), 0755);
  }
  GetParam().prepare(temp, name);
  Environment environment{{"HOME", "/elsewhere"}};
  if (GetParam().runtime) {
    std::string runtime = *GetParam().runtime;
    if (const auto at = runtime.find("USER"); at != std::string::npos) runtime.replace(at, 4, name);
    environment.set("XDG_RUNTIME_DIR", temp.str(runtime));
  }
  const InstancePlaces places{.runUser = temp.str("run"),
                              .temporary = temp.str("tmp"),
                              .home = temp.str("home"),
                              .host = "machine"};

  const InstanceDirectoryChoice choice = chooseInstanceDirectory(environment, user, places);
  std::string expected = GetParam().expected;
  if (const auto at = expected.find("USER"); at != std::string::npos) expected.replace(at, 4, name);
  EXPECT_EQ(choice.directory, temp.str(expected));
  std::string reasons;
  for (const std::string& reason : choice.passedOver) reasons += reason + "\n";
  if (GetParam().passedOver.empty()) {
    EXPECT_EQ(reasons, "");
  } else {
    EXPECT_NE(reasons.find(GetParam().passedOver), std::string::npos) << reasons;
  }
  // The choice is usable as it stands, and a second look comes to it again.
  EXPECT_EQ(claimInstance({.directory = choice.directory, .executablePath = "/opt/z"}).outcome,
            Outcome::Claimed);
  EXPECT_EQ(chooseInstanceDirectory(environment, user, places).directory, choice.directory);
}

const auto nothing = [](const TempDir&, const std::string&) {};
const auto privateRunUser = [](const TempDir& t, const std::string& user) {
  std::filesystem::create_directory(t.path() / "run" / user);
  ::chmod(t.str("run/" + user).c_str(), 0700);
};

INSTANTIATE_TEST_SUITE_P(
    Cases, ChooseInstanceDirectory,
    testing::Values(
        ChoiceCase{"RuntimeDirectory", privateRunUser, "run/USER", "run/USER/zolven", ""},
        ChoiceCase{"UnsetFindsRunUser", privateRunUser, std::nullopt, "run/USER/zolven", ""},
        ChoiceCase{"UnsetWithoutRunUserTakesTmp", nothing, std::nullopt, "tmp/zolven-USER", ""},
        ChoiceCase{"MissingRuntimeDirectoryFallsBackAsUnset", privateRunUser, "gone",
                   "run/USER/zolven", "No such file or directory"},
        ChoiceCase{"MissingRuntimeDirectoryWithoutRunUser", nothing, "gone", "tmp/zolven-USER",
                   "gone/zolven"},
        ChoiceCase{"RunUserOpenToOthersIsPassedOver",
                   [](const TempDir& t, const std::string& user) {
                     std::filesystem::create_directory(t.path() / "run" / user);
                     ::chmod(t.str("run/" + user).c_str(), 0755);
                   },
                   std::nullopt, "tmp/zolven-USER", "not a private directory"},
        ChoiceCase{"SymlinkInTmpIsPassedOverForTheHome",
                   [](const TempDir& t, const std::string& user) {
                     std::filesystem::create_directory(t.path() / "elsewhere");
                     std::filesystem::create_directory_symlink(
                         t.path() / "elsewhere", t.path() / "tmp" / ("zolven-" + user));
                   },
                   std::nullopt, "home/.local/state/zolven/machine", "is a symbolic link"},
        ChoiceCase{"FileInTmpIsPassedOverForTheHome",
                   [](const TempDir& t, const std::string& user) {
                     writeFile(t.path() / "tmp" / ("zolven-" + user), "");
                   },
                   std::nullopt, "home/.local/state/zolven/machine", "is not a directory"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChooseInstanceDirectoryAsRoot, TmpDirectoryOfAnotherUserIsPassedOverForTheHome) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to chown";
  const TempDir temp;
  std::filesystem::create_directories(temp.path() / "tmp" / "zolven-0");
  ASSERT_EQ(::chown(temp.str("tmp/zolven-0").c_str(), 65534, 65534), 0);
  const InstancePlaces places{.runUser = temp.str("run"),
                              .temporary = temp.str("tmp"),
                              .home = temp.str("home"),
                              .host = "machine"};
  const InstanceDirectoryChoice choice = chooseInstanceDirectory({}, 0, places);
  EXPECT_EQ(choice.directory, temp.str("home/.local/state/zolven/machine"));
  ASSERT_EQ(choice.passedOver.size(), 1u);
  EXPECT_NE(choice.passedOver[0].find("belongs to user 65534"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(temp.path() / "tmp" / "zolven-0"));
  EXPECT_EQ(std::filesystem::status(temp.path() / "home" / ".local").permissions(),
            std::filesystem::perms::owner_all);
}

}  // namespace
}  // namespace zolven::platform
