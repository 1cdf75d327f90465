#pragma once
// Internal: what a run loop needs to drive a Timer.
#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/Timer.h"

namespace platform {

struct Timer::State {
    using Clock = std::chrono::steady_clock;

    std::chrono::nanoseconds interval{0};
    bool repeats = false;
    Block block;
    std::atomic<bool> valid{true};

    std::chrono::steady_clock::time_point due() const {
        std::lock_guard lock(mutex);
        return dueAt;
    }
    void setDue(Clock::time_point when) {
        std::lock_guard lock(mutex);
        dueAt = when;
    }
    // Runs the block if the timer is still valid, then moves the due time on (a repeating timer
    // that fell behind skips the missed ticks) or ends a one-shot timer.
    void fire(Timer& timer);

private:
    mutable std::mutex mutex;
    Clock::time_point dueAt;
};

}  // namespace platform
