#include "BuildPath.h"

#include <gtest/gtest.h>

namespace {

TEST(BuildPath, AlwaysOneSeparatorBetweenParts) {
    EXPECT_EQ(BuildPath("a", nullptr), "a");
    EXPECT_EQ(BuildPath("/home/u", ".quillmet", nullptr), "/home/u/.quillmet");
    EXPECT_EQ(BuildPath("dir", "updater", "40F5849A", ".settings", nullptr),
              "dir/updater/40F5849A/.settings");
    // No checks: a part that already ends or begins with "/" still gets one.
    EXPECT_EQ(BuildPath("dir/", "/x", nullptr), "dir///x");
    EXPECT_EQ(BuildPath("", "x", nullptr), "/x");
}

}  // namespace
