#include "platform/path.h"

#include <gtest/gtest.h>

namespace zolven::platform {
namespace {

TEST(JoinPath, PutsExactlyOneSlashBetween) {
  EXPECT_EQ(joinPath("/a", "b"), "/a/b");
  EXPECT_EQ(joinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(joinPath("/a", "/b"), "/a/b");
  EXPECT_EQ(joinPath("/a", "bin/node"), "/a/bin/node");
  EXPECT_EQ(joinPath("/", "b"), "/b");
}

}  // namespace
}  // namespace zolven::platform
