#include "platform/freedesktop/exec_value.h"

#include <gtest/gtest.h>

namespace zolven::platform {
namespace {

struct ExecCase {
  std::string argument;
  std::string value;  // as the file holds it
};

class ExecArgument : public testing::TestWithParam<ExecCase> {};

TEST_P(ExecArgument, IsQuotedEscapedAndReadBackWhole) {
  EXPECT_EQ(execArgument(GetParam().argument), GetParam().value);
  EXPECT_EQ(execArguments(GetParam().value), std::vector<std::string>{GetParam().argument});
}

INSTANTIATE_TEST_SUITE_P(Paths, ExecArgument,
                         testing::Values(ExecCase{"/opt/z/zolven-launcher",
                                                  R"("/opt/z/zolven-launcher")"},
                                         ExecCase{"/a b/c", R"("/a b/c")"},
                                         ExecCase{"/my \"app\"/z", R"("/my \\"app\\"/z")"},
                                         ExecCase{"/$HOME/`id`/z", R"("/\\$HOME/\\`id\\`/z")"},
                                         ExecCase{"/back\\slash/z", R"("/back\\\\slash/z")"},
                                         ExecCase{"/it's %U/z", R"("/it's %U/z")"},
                                         ExecCase{"/line\nbreak/z", R"("/line\nbreak/z")"}));

TEST(ExecArguments, SplitsOnSpacesAndRefusesWhatTheFormatForbids) {
  using Arguments = std::optional<std::vector<std::string>>;
  EXPECT_EQ(execArguments(R"(env ZOLVEN_LAUNCHER_SUPPRESS_BROWSER=1 "/a b/zolven-launcher")"),
            (Arguments{{"env", "ZOLVEN_LAUNCHER_SUPPRESS_BROWSER=1", "/a b/zolven-launcher"}}));
  EXPECT_EQ(execArguments("zolven-launcher  --quit"), (Arguments{{"zolven-launcher", "--quit"}}));
  EXPECT_EQ(execArguments(R"(\sfirst)"), (Arguments{{"first"}}));
  EXPECT_EQ(execArguments(""), (Arguments{std::vector<std::string>{}}));
  EXPECT_EQ(execArguments(R"("/open/quote)"), std::nullopt);
  EXPECT_EQ(execArguments(R"("/a"b)"), std::nullopt);
  EXPECT_EQ(execArguments("/a$b"), std::nullopt);
}

struct ProgramCase {
  const char* name;
  std::string text;
  std::optional<std::string> program;
};

void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.name; }

class EntryProgram : public testing::TestWithParam<ProgramCase> {};

TEST_P(EntryProgram, IsTheMainGroupsExecPastEnv) {
  EXPECT_EQ(entryProgram(GetParam().text), GetParam().program);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, EntryProgram,
    testing::Values(
        ProgramCase{"Plain", "[Desktop Entry]\nName=Z\nExec=\"/b/zolven-launcher\"\n",
                    "/b/zolven-launcher"},
        ProgramCase{"ActionFirst",
                    "[Desktop Action quit]\nExec=/other --quit\n[Desktop Entry]\nExec=/b/z\n",
                    "/b/z"},
        ProgramCase{"ActionOnly", "[Desktop Entry]\nName=Z\n[Desktop Action quit]\nExec=/o\n",
                    std::nullopt},
        ProgramCase{"SpacesAroundEquals", "[Desktop Entry]\nExec = /b/z --x\n", "/b/z"},
        ProgramCase{"TryExecIsNotExec", "[Desktop Entry]\nTryExec=/t\nExec=/b/z\n", "/b/z"},
        ProgramCase{"ThroughEnv", "[Desktop Entry]\nExec=env A=1 B=2 \"/b/zolven-launcher\"\n",
                    "/b/zolven-launcher"},
        ProgramCase{"ThroughUsrBinEnv", "[Desktop Entry]\nExec=/usr/bin/env A=1 /b/z\n", "/b/z"},
        ProgramCase{"CrLf", "[Desktop Entry]\r\nExec=/b/z\r\n", "/b/z"},
        ProgramCase{"Unreadable", "[Desktop Entry]\nExec=\"/b/z\n", std::nullopt},
        ProgramCase{"NoExec", "[Desktop Entry]\nName=Z\n", std::nullopt},
        ProgramCase{"NotAnEntry", "hello\n", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zolven::platform
