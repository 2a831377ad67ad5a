#include "log/log_location.h"

#include <gtest/gtest.h>

namespace zolven::log {
namespace {

struct LocationCase {
  const char* name;
  std::vector<platform::Environment::Entry> environment;
  const char* expected;
};

class ResolveLogFile : public testing::TestWithParam<LocationCase> {};

TEST_P(ResolveLogFile, ChoosesTheDirectory) {
  const platform::Environment environment(GetParam().environment);
  EXPECT_EQ(resolveLogFile(environment, "/home/ada", "/work/dir"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolveLogFile,
    testing::Values(
        LocationCase{"DefaultUnderLocalState", {},
                     "/home/ada/.local/state/Keldrovan/ZOLVEN/launcher.log"},
        LocationCase{"XdgStateHome", {{"XDG_STATE_HOME", "/state"}},
                     "/state/Keldrovan/ZOLVEN/launcher.log"},
        LocationCase{"XdgStateHomeEmpty", {{"XDG_STATE_HOME", ""}},
                     "/home/ada/.local/state/Keldrovan/ZOLVEN/launcher.log"},
        LocationCase{"XdgStateHomeRelativeIgnored", {{"XDG_STATE_HOME", "rel/state"}},
                     "/home/ada/.local/state/Keldrovan/ZOLVEN/launcher.log"},
        LocationCase{"LogRootAbsolute", {{"ZOLVEN_LOG_ROOT", "/logs/here"}},
                     "/logs/here/launcher.log"},
        LocationCase{"LogRootWinsOverXdg",
                     {{"XDG_STATE_HOME", "/state"}, {"ZOLVEN_LOG_ROOT", "/logs"}},
                     "/logs/launcher.log"},
        LocationCase{"LogRootTrailingSlash", {{"ZOLVEN_LOG_ROOT", "/logs/"}},
                     "/logs/launcher.log"},
        LocationCase{"LogRootRelative", {{"ZOLVEN_LOG_ROOT", "sub/logs"}},
                     "/work/dir/sub/logs/launcher.log"},
        LocationCase{"LogRootNoTildeExpansion", {{"ZOLVEN_LOG_ROOT", "~/logs"}},
                     "/work/dir/~/logs/launcher.log"},
        LocationCase{"LogRootEmptyIsWorkingDirectory", {{"ZOLVEN_LOG_ROOT", ""}},
                     "/work/dir/launcher.log"}),
    [](const testing::TestParamInfo<LocationCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zolven::log
