#include <gtest/gtest.h>

#include "Platform/Linux/Runtime/BusName.h"

namespace vorsel::linux_platform {
namespace {

TEST(BusName, MakesAValidWellKnownNameFromAnyServiceName) {
    EXPECT_EQ(busName(".com.ordwyn.app.guard"), "com.ordwyn.app.guard");
    EXPECT_EQ(busName("TEAM1.com.ordwyn.app.guard"), "TEAM1.com.ordwyn.app.guard");
    EXPECT_EQ(busName("7XK2.com.ordwyn.app.guard"), "_7XK2.com.ordwyn.app.guard");
    EXPECT_EQ(busName("a..b...c."), "a.b.c");
    EXPECT_EQ(busName("my team.app+x.gu\xc3\xa4rd"), "my_team.app_x.gu__rd");
    EXPECT_EQ(busName("x-y.z_9"), "x-y.z_9");
}

}  // namespace
}  // namespace vorsel::linux_platform
