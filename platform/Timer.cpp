#include "platform/Timer.h"

#include <algorithm>

#include "platform/RunLoop.h"
#include "platform/TimerState.h"

namespace platform {

namespace {

std::shared_ptr<Timer::State> makeState(std::chrono::nanoseconds interval, bool repeats, Timer::Block block) {
    auto state = std::make_shared<Timer::State>();
    // Far enough never to come, near enough that due times can't overflow the clock.
    interval = std::min(interval, std::chrono::nanoseconds(std::chrono::hours(24 * 365 * 100)));
    // A repeating timer of no interval would spin.
    state->interval = repeats ? std::max(interval, std::chrono::nanoseconds(std::chrono::microseconds(100)))
                              : std::max(interval, std::chrono::nanoseconds(0));
    state->repeats = repeats;
    state->block = std::move(block);
    state->setDue(Timer::State::Clock::now() + state->interval);
    return state;
}

}  // namespace

void Timer::State::fire(Timer& timer) {
    if (!valid.load()) return;
    block(timer);
    if (!repeats) {
        valid = false;
        return;
    }
    auto now = Clock::now();
    std::lock_guard lock(mutex);
    dueAt += interval;
    if (dueAt <= now) dueAt = now + interval;
}

Timer::Timer(std::shared_ptr<State> state) : state_(std::move(state)) {}

Timer::~Timer() = default;

std::shared_ptr<Timer> Timer::scheduledOnRunLoop(RunLoop& loop, std::chrono::nanoseconds interval, bool repeats,
                                                 Block block) {
    auto timer = std::make_shared<Timer>(makeState(interval, repeats, std::move(block)));
    loop.addTimer(timer);
    return timer;
}

void Timer::invalidate() { state_->valid = false; }

bool Timer::isValid() const { return state_->valid.load(); }

std::chrono::nanoseconds Timer::interval() const { return state_->interval; }

}  // namespace platform
