#pragma once
// The host's monotonic clock in seconds: the time base of media timestamps. Tests may replace it.
#include <functional>

namespace platform {

class HostClock {
public:
    // Seconds since an arbitrary fixed point (CLOCK_MONOTONIC), or the override's answer.
    static double now();

    // Test hook, process-wide: every now() asks `source` until clearOverride().
    static void setOverride(std::function<double()> source);
    static void clearOverride();
};

}  // namespace platform
