#include "platform/bundle.h"

#include <gtest/gtest.h>

namespace zolven::platform {
namespace {

TEST(InstanceKey, IsTheFnv1a64HashInHex) {
  // The first three are the published FNV-1a test vectors.
  EXPECT_EQ(instanceKey(""), "cbf29ce484222325");
  EXPECT_EQ(instanceKey("a"), "af63dc4c8601ec8c");
  EXPECT_EQ(instanceKey("foobar"), "85944171f73967e8");
  EXPECT_EQ(instanceKey("/opt/zolven/zolven-launcher"), "c6629235c09a7f04");
  EXPECT_NE(instanceKey("/a/zolven-launcher"), instanceKey("/b/zolven-launcher"));
}

}  // namespace
}  // namespace zolven::platform
