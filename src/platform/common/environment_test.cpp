#include "platform/environment.h"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace zolven::platform {
namespace {

using Strings = std::vector<std::string>;

struct SetCase {
  const char* name;
  std::vector<Environment::Entry> before;
  const char* variable;
  const char* value;
  Strings after;
};

void PrintTo(const SetCase& c, std::ostream* os) { *os << c.name; }

class EnvironmentSet : public testing::TestWithParam<SetCase> {};

TEST_P(EnvironmentSet, ReplacesInPlaceOrAppends) {
  Environment environment(GetParam().before);
  environment.set(GetParam().variable, GetParam().value);
  EXPECT_EQ(environment.toStrings(), GetParam().after);
  EXPECT_EQ(environment.get(GetParam().variable), std::string(GetParam().value));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnvironmentSet,
    testing::Values(
        SetCase{"ReplacesFirst", {{"A", "1"}, {"B", "2"}, {"C", "3"}}, "A", "one", {"A=one", "B=2", "C=3"}},
        SetCase{"ReplacesMiddle", {{"A", "1"}, {"B", "2"}, {"C", "3"}}, "B", "two", {"A=1", "B=two", "C=3"}},
        SetCase{"ReplacesLast", {{"A", "1"}, {"B", "2"}, {"C", "3"}}, "C", "three", {"A=1", "B=2", "C=three"}},
        SetCase{"AppendsNew", {{"A", "1"}, {"B", "2"}}, "D", "4", {"A=1", "B=2", "D=4"}},
        SetCase{"AppendsToEmpty", {}, "A", "1", {"A=1"}},
        SetCase{"EmptiesAValue", {{"A", "1"}, {"B", "2"}}, "A", "", {"A=", "B=2"}},
        SetCase{"NameIsMatchedWhole", {{"AB", "1"}, {"A", "2"}}, "A", "x", {"AB=1", "A=x"}},
        SetCase{"NameIsCaseSensitive", {{"path", "1"}}, "PATH", "/bin", {"path=1", "PATH=/bin"}},
        SetCase{"ValueMayHoldEquals", {{"A", "1"}}, "A", "b=c", {"A=b=c"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Environment, GetTellsAnEmptyValueFromAMissingVariable) {
  const Environment environment({{"EMPTY", ""}, {"SET", "value"}});
  EXPECT_EQ(environment.get("EMPTY"), "");
  EXPECT_EQ(environment.get("SET"), "value");
  EXPECT_EQ(environment.get("MISSING"), std::nullopt);
  EXPECT_EQ(environment.get("SE"), std::nullopt);
}

TEST(Environment, CurrentReadsThisProcessInOrder) {
  ASSERT_EQ(::setenv("ZOLVEN_ENVIRONMENT_TEST", "a=b c", 1), 0);
  const Environment withVariable = Environment::current();
  EXPECT_EQ(withVariable.get("ZOLVEN_ENVIRONMENT_TEST"), "a=b c");
  // The same entries, in the same order, as the process's own table.
  Strings table;
  for (char** entry = environ; *entry != nullptr; ++entry) table.emplace_back(*entry);
  EXPECT_EQ(withVariable.toStrings(), table);

  ASSERT_EQ(::unsetenv("ZOLVEN_ENVIRONMENT_TEST"), 0);
  EXPECT_EQ(Environment::current().get("ZOLVEN_ENVIRONMENT_TEST"), std::nullopt);
}

}  // namespace
}  // namespace zolven::platform
