#pragma once
// A run loop that the host drains: the home of the main queue's tasks and of run-loop timers.
// Nothing runs on it unless a thread runs it; the main loop is run by a thread of the library's,
// started when work is first queued for it, unless the host has claimed it first.
#include <chrono>
#include <functional>
#include <memory>

namespace platform {

class Timer;

class RunLoop {
public:
    // The process's main loop; the main queue's tasks run here.
    static RunLoop& main();
    // The loop of the calling thread (the main loop for the thread that drains it).
    static RunLoop& current();
    // The host drains the main loop itself: call before anything queues work for it. Stops the
    // library's thread for it if one was started.
    static void claimMain();

    RunLoop();
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // Runs until stop().
    void run();
    // Runs until the predicate holds (checked after each piece of work and at least every 10 ms)
    // or the time-out passes; answers the predicate's last value.
    bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);
    void runFor(std::chrono::milliseconds duration);
    void stop();
    // True while the calling thread is running this loop.
    bool isRunningOnThisThread() const;

    // Queues a piece of work for the next turn of the loop (any thread).
    void perform(std::function<void()> work);

    struct Impl;

private:
    friend class Timer;
    void addTimer(std::shared_ptr<Timer> timer);
    bool runOnce(std::chrono::steady_clock::time_point deadline);
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
