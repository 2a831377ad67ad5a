#include "platform/environment.h"

#include <stdlib.h>

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Environment, SetReplacesInPlaceAndAppendsNew) {
  Environment env({{"A", "1"}, {"B", "2"}, {"C", "3"}});
  env.set("B", "two");
  env.set("D", "4");
  EXPECT_EQ(env.toStrings(), (std::vector<std::string>{"A=1", "B=two", "C=3", "D=4"}));
  EXPECT_EQ(env.get("B"), "two");
  EXPECT_EQ(env.get("missing"), std::nullopt);
}

TEST(Environment, EmptyValueIsPresent) {
  const Environment env(std::vector<Environment::Entry>{{"EMPTY", ""}});
  EXPECT_EQ(env.get("EMPTY"), "");
}

TEST(Environment, CurrentReadsThisProcess) {
  ::setenv("ZOLVEN_ENVIRONMENT_TEST", "a=b c", 1);
  EXPECT_EQ(Environment::current().get("ZOLVEN_ENVIRONMENT_TEST"), "a=b c");
  ::unsetenv("ZOLVEN_ENVIRONMENT_TEST");
  EXPECT_EQ(Environment::current().get("ZOLVEN_ENVIRONMENT_TEST"), std::nullopt);
}

}  // namespace
}  // namespace platform
