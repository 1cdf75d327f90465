#include "platform/HostClock.h"

#include <time.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace platform {

namespace {

std::mutex overrideMutex;
std::shared_ptr<const std::function<double()>> overrideSource;
// Lets now() skip the mutex on the normal path, where it is called for every frame.
std::atomic<bool> hasOverride{false};

}  // namespace

double HostClock::now() {
    if (hasOverride.load(std::memory_order_acquire)) {
        std::shared_ptr<const std::function<double()>> source;
        {
            std::lock_guard lock(overrideMutex);
            source = overrideSource;
        }
        if (source) {
            return (*source)();
        }
    }
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void HostClock::setOverride(std::function<double()> source) {
    if (!source) {
        clearOverride();
        return;
    }
    std::lock_guard lock(overrideMutex);
    overrideSource = std::make_shared<const std::function<double()>>(std::move(source));
    hasOverride.store(true, std::memory_order_release);
}

void HostClock::clearOverride() {
    std::lock_guard lock(overrideMutex);
    overrideSource.reset();
    hasOverride.store(false, std::memory_order_release);
}

}  // namespace platform
