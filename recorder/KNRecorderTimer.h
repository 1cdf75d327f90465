#pragma once
// An elapsed-time ticker: every `interval` seconds on the run loop of the thread that started it,
// reports the seconds since the start on the wall clock (never negative, even when the clock is
// set back). Start, stop and the destructor belong to one thread; destruction ends the ticks.
#include <functional>
#include <memory>
#include <mutex>

namespace platform {
class Timer;
}  // namespace platform

class KNRecorderTimer : public std::enable_shared_from_this<KNRecorderTimer> {
public:
    using ValueChanged = std::function<void(double seconds)>;

    static std::shared_ptr<KNRecorderTimer> recorderTimer();
    KNRecorderTimer();
    ~KNRecorderTimer();

    void start();
    void stop();
    void reset();
    void changeInterval(double seconds);
    void fireTimer();

    bool isRunning() const;
    double interval() const;
    double deltaTime() const;
    void setTimerValueChanged(ValueChanged callback);

    // Test hooks: the wall clock in seconds (null: the system's), and how many tickers of this
    // kind still have a live timer on some run loop.
    static void setClockForTesting(std::function<double()> clock);
    static size_t liveTimersForTesting();

private:
    static double now();

    mutable std::mutex mutex_;
    bool isRunning_ = false;
    ValueChanged timerValueChanged_;
    std::shared_ptr<platform::Timer> timer_;
    double interval_ = 0.5;
    double startTime_ = 0;
    double currentTime_ = 0;
};
