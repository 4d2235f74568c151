#include "Tick.h"

#include <gtest/gtest.h>

TEST(Tick, AdvancesAcrossASleep) {
    uint32_t before = GetTickCount();
    Sleep(30);
    uint32_t elapsed = GetTickCount() - before; // unsigned: safe across a wrap
    EXPECT_GE(elapsed, 30u);
}

TEST(Tick, LocalTimeIsACalendarDate) {
    std::tm now = LocalTime();
    EXPECT_GE(now.tm_year + 1900, 2020);
    EXPECT_GE(now.tm_mon, 0);
    EXPECT_LE(now.tm_mon, 11);
    EXPECT_GE(now.tm_mday, 1);
}
