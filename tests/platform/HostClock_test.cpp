#include "platform/HostClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

using platform::HostClock;

TEST(HostClock, CountsSecondsOfTheMonotonicClock) {
    auto steadySeconds = [] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    };
    const double before = steadySeconds();
    const double clock = HostClock::now();
    const double after = steadySeconds();
    // Same base and unit as the steady clock (both CLOCK_MONOTONIC here), so it lands between.
    EXPECT_GE(clock, before - 0.001);
    EXPECT_LE(clock, after + 0.001);
}

TEST(HostClock, OverrideReplacesTheClockUntilCleared) {
    double fake = 12.5;
    HostClock::setOverride([&] { return fake; });
    EXPECT_EQ(HostClock::now(), 12.5);
    fake = 13.0;
    EXPECT_EQ(HostClock::now(), 13.0);

    HostClock::clearOverride();
    EXPECT_NE(HostClock::now(), 13.0);

    // An empty function means no override rather than a call into nothing.
    HostClock::setOverride([] { return 1.0; });
    HostClock::setOverride(nullptr);
    EXPECT_GT(HostClock::now(), 1.0);
}

TEST(HostClock, OverrideChangesWhileOtherThreadsRead) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const double value = HostClock::now();
                ASSERT_TRUE(std::isfinite(value));
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        HostClock::setOverride([i] { return static_cast<double>(i); });
        HostClock::clearOverride();
    }
    stop.store(true);
    for (auto& reader : readers) {
        reader.join();
    }
}
