#include "platform/DeviceMonitor.h"

#include <gtest/gtest.h>

#include <atomic>

// USB events cannot be made here; the monitor's life cycle can be checked:
// it starts where the system has udev, refuses a second start, stops cleanly
// (also when never started) and can start again.
TEST(DeviceMonitor, StartsStopsAndRestarts) {
    std::atomic<int> events{0};
    DeviceMonitor monitor;
    monitor.Stop();
    bool started = monitor.Start([&](uint32_t) { ++events; });
    if (!started)
        GTEST_SKIP() << "no udev monitor on this system";
    EXPECT_FALSE(monitor.Start([](uint32_t) {}));
    monitor.Stop();
    monitor.Stop();
    EXPECT_TRUE(monitor.Start([&](uint32_t) { ++events; }));
}
