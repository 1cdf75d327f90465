#include "recorder/KNRecorderTimer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>
#include <vector>

#include "platform/RunLoop.h"
#include "platform/Timer.h"

namespace {

struct Registry {
    std::mutex mutex;
    std::function<double()> clock;
    std::vector<std::weak_ptr<platform::Timer>> timers;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

void remember(const std::shared_ptr<platform::Timer>& timer) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.timers, [](const auto& t) { return t.expired(); });
    r.timers.push_back(timer);
}

}  // namespace

std::shared_ptr<KNRecorderTimer> KNRecorderTimer::recorderTimer() { return std::make_shared<KNRecorderTimer>(); }

KNRecorderTimer::KNRecorderTimer() { reset(); }

KNRecorderTimer::~KNRecorderTimer() {
    // The run loop owns the platform timer: without this it would tick for the rest of the process.
    if (timer_) timer_->invalidate();
}

double KNRecorderTimer::now() {
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        if (r.clock) return r.clock();
    }
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

void KNRecorderTimer::setClockForTesting(std::function<double()> clock) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.clock = std::move(clock);
}

size_t KNRecorderTimer::liveTimersForTesting() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return static_cast<size_t>(std::ranges::count_if(r.timers, [](const auto& weak) {
        const auto timer = weak.lock();
        return timer && timer->isValid();
    }));
}

void KNRecorderTimer::start() {
    stop();
    reset();
    const double seconds = interval();
    const auto period = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
    // The run loop holds the block, which holds the ticker weakly: the ticker owns its timer, not the reverse.
    auto timer = platform::Timer::scheduledOnRunLoop(platform::RunLoop::current(), period, true,
                                                     [weak = weak_from_this()](platform::Timer&) {
                                                         if (auto self = weak.lock()) self->fireTimer();
                                                     });
    remember(timer);
    std::lock_guard lock(mutex_);
    timer_ = std::move(timer);
    isRunning_ = true;
}

void KNRecorderTimer::stop() {
    std::shared_ptr<platform::Timer> timer;
    {
        std::lock_guard lock(mutex_);
        isRunning_ = false;
        timer = std::exchange(timer_, nullptr);
    }
    if (timer) timer->invalidate();
    reset();
}

void KNRecorderTimer::reset() {
    const double time = now();
    std::lock_guard lock(mutex_);
    startTime_ = time;
    currentTime_ = time;
}

void KNRecorderTimer::changeInterval(double seconds) {
    bool running = false;
    {
        std::lock_guard lock(mutex_);
        interval_ = seconds;
        running = isRunning_;
    }
    if (!running) return;
    stop();
    start();
}

void KNRecorderTimer::fireTimer() {
    const double time = now();
    ValueChanged callback;
    double delta = 0;
    {
        std::lock_guard lock(mutex_);
        currentTime_ = time;
        delta = std::fabs(currentTime_ - startTime_);
        callback = timerValueChanged_;
    }
    if (callback) callback(delta);
}

bool KNRecorderTimer::isRunning() const {
    std::lock_guard lock(mutex_);
    return isRunning_;
}

double KNRecorderTimer::interval() const {
    std::lock_guard lock(mutex_);
    return interval_;
}

double KNRecorderTimer::deltaTime() const {
    std::lock_guard lock(mutex_);
    return std::fabs(currentTime_ - startTime_);
}

void KNRecorderTimer::setTimerValueChanged(ValueChanged callback) {
    std::lock_guard lock(mutex_);
    timerValueChanged_ = std::move(callback);
}
