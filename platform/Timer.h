#pragma once
// One-shot and repeating timers, fired on a run loop when it is run.
#include <chrono>
#include <functional>
#include <memory>

namespace platform {

class RunLoop;

class Timer : public std::enable_shared_from_this<Timer> {
public:
    using Block = std::function<void(Timer&)>;

    static std::shared_ptr<Timer> scheduledOnRunLoop(RunLoop& loop, std::chrono::nanoseconds interval,
                                                     bool repeats, Block block);

    // No tick is started after this returns, but one that had already passed its check on
    // another thread may still run once.
    void invalidate();
    bool isValid() const;
    std::chrono::nanoseconds interval() const;

    struct State;
    explicit Timer(std::shared_ptr<State> state);
    ~Timer();
    State* state() const { return state_.get(); }

private:
    std::shared_ptr<State> state_;
};

}  // namespace platform
