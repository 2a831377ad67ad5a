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
  // The platform's state folder for a user whose home is /home/ada.
  EXPECT_EQ(resolveLogFile(environment, "/home/ada/.local/state", "/work/dir"),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolveLogFile,
    testing::Values(
        LocationCase{"DefaultBelowTheStateFolder",
                     {},
                     "/home/ada/.local/state/Keldrovan/ZOLVEN/launcher.log"},
        LocationCase{
            "LogRootAbsolute", {{"ZOLVEN_LOG_ROOT", "/logs/here"}}, "/logs/here/launcher.log"},
        LocationCase{
            "LogRootWinsOverTheStateFolder", {{"ZOLVEN_LOG_ROOT", "/logs"}}, "/logs/launcher.log"},
        LocationCase{"LogRootTrailingSlash", {{"ZOLVEN_LOG_ROOT", "/logs/"}}, "/logs/launcher.log"},
        LocationCase{"LogRootRelative",
                     {{"ZOLVEN_LOG_ROOT", "sub/logs"}},
                     "/work/dir/sub/logs/launcher.log"},
        LocationCase{"LogRootNoTildeExpansion",
                     {{"ZOLVEN_LOG_ROOT", "~/logs"}},
                     "/work/dir/~/logs/launcher.log"},
        LocationCase{
            "LogRootEmptyIsWorkingDirectory", {{"ZOLVEN_LOG_ROOT", ""}}, "/work/dir/launcher.log"}),
    [](const testing::TestParamInfo<LocationCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zolven::log
