#include "aTime.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(TimeTest, TicksAreSteadyMilliseconds) {
    const uint64_t first = aTime_GetMSTicks();
    EXPECT_NE(first, 0u);
    const auto before = std::chrono::steady_clock::now();
    aTime_MSSleep(30);
    const uint64_t second = aTime_GetMSTicks();
    const auto slept = std::chrono::steady_clock::now() - before;
    EXPECT_GE(slept, std::chrono::milliseconds(30));
    EXPECT_GE(second - first, 29u) << "ticks follow the clock to the millisecond";
    EXPECT_LT(second - first, 10000u);
}

TEST(TimeTest, ZeroSleepReturnsAtOnce) {
    const auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) aTime_MSSleep(0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
}

TEST(TimeTest, TicksNeverGoBack) {
    uint64_t previous = aTime_GetMSTicks();
    for (int i = 0; i < 10000; ++i) {
        const uint64_t now = aTime_GetMSTicks();
        ASSERT_GE(now, previous);
        previous = now;
    }
}

}  // namespace
