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

TEST(IsAbsolutePath, OnlyFromTheRoot) {
  EXPECT_TRUE(isAbsolutePath("/"));
  EXPECT_TRUE(isAbsolutePath("/home/ada"));
  EXPECT_FALSE(isAbsolutePath(""));
  EXPECT_FALSE(isAbsolutePath("home/ada"));
  EXPECT_FALSE(isAbsolutePath("./state"));
  EXPECT_FALSE(isAbsolutePath("~/state"));
}

TEST(FolderOfPath, IsWhatHoldsTheFile) {
  EXPECT_EQ(folderOfPath("/logs/launcher.log"), "/logs");
  EXPECT_EQ(folderOfPath("/a/b/c"), "/a/b");
  EXPECT_EQ(folderOfPath("/launcher.log"), "/");
  EXPECT_EQ(folderOfPath("launcher.log"), ".");
  EXPECT_EQ(folderOfPath("logs/launcher.log"), "logs");
}

}  // namespace
}  // namespace zolven::platform
