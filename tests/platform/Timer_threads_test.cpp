#include "platform/Timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/RunLoop.h"

using namespace std::chrono_literals;
using platform::DispatchQueue;
using platform::RunLoop;
using platform::Timer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kTimeout = 10s;

class Signal {
public:
    void notify() {
        std::lock_guard lock(mutex_);
        ++count_;
        cv_.notify_all();
    }
    bool waitFor(int count, std::chrono::milliseconds timeout = kTimeout) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return count_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int count_ = 0;
};

// Runs the loop until a one-shot timer of `delay` has fired: proof that the loop kept turning for
// at least that long.
void runPast(RunLoop& loop, std::chrono::milliseconds delay) {
    bool fired = false;
    Timer::scheduledOnRunLoop(loop, delay, false, [&](Timer&) { fired = true; });
    ASSERT_TRUE(loop.runUntil([&] { return fired; }, kTimeout));
}

}  // namespace

TEST(Timer, RepeatingRunLoopTimerKeepsItsPaceUntilItsBlockInvalidatesIt) {
    RunLoop loop;
    constexpr auto kInterval = 15ms;
    std::vector<Clock::duration> firedAt;
    std::atomic<int> strangers{0};
    const auto start = Clock::now();
    std::shared_ptr<Timer> timer;
    timer = Timer::scheduledOnRunLoop(loop, kInterval, true, [&](Timer& fired) {
        if (&fired != timer.get() || !loop.isRunningOnThisThread()) strangers++;
        firedAt.push_back(Clock::now() - start);
        if (firedAt.size() == 4) fired.invalidate();
    });
    EXPECT_TRUE(timer->isValid());
    EXPECT_EQ(timer->interval(), kInterval);

    ASSERT_TRUE(loop.runUntil([&] { return !timer->isValid(); }, kTimeout));
    runPast(loop, 4 * kInterval);
    ASSERT_EQ(firedAt.size(), 4u);
    for (size_t i = 0; i < firedAt.size(); ++i) {
        // Tick k is due k intervals after scheduling, never sooner.
        EXPECT_GE(firedAt[i], kInterval * static_cast<int>(i + 1)) << "tick " << i;
    }
    EXPECT_EQ(strangers.load(), 0);
}

TEST(Timer, OneShotRunLoopTimerFiresOnceAndOnlyWhileTheLoopRuns) {
    RunLoop loop;
    int fired = 0;
    auto timer = Timer::scheduledOnRunLoop(loop, 5ms, false, [&](Timer&) { ++fired; });

    // Long past due, but nobody runs the loop yet.
    Signal waited;
    DispatchQueue::global()->after(30ms, [&] { waited.notify(); });
    ASSERT_TRUE(waited.waitFor(1));
    EXPECT_EQ(fired, 0);
    EXPECT_TRUE(timer->isValid());

    ASSERT_TRUE(loop.runUntil([&] { return fired == 1; }, kTimeout));
    EXPECT_FALSE(timer->isValid());
    runPast(loop, 20ms);
    EXPECT_EQ(fired, 1);
}

TEST(Timer, InvalidatedBeforeItsTimeNeverFires) {
    RunLoop loop;
    auto queue = DispatchQueue::createSerial("test.timer.cancelled");
    std::atomic<int> fired{0};
    auto onLoop = Timer::scheduledOnRunLoop(loop, 10ms, true, [&](Timer&) { fired++; });
    auto onQueue = Timer::scheduledOnQueue(queue, 10ms, false, [&](Timer&) { fired++; });
    onLoop->invalidate();
    onQueue->invalidate();
    EXPECT_FALSE(onLoop->isValid());
    EXPECT_FALSE(onQueue->isValid());

    runPast(loop, 40ms);
    Signal marker;
    queue->after(40ms, [&] { marker.notify(); });
    ASSERT_TRUE(marker.waitFor(1));
    EXPECT_EQ(fired.load(), 0);
}

TEST(Timer, QueueTimerRunsAsTheQueuesTaskAndStopsFromItsBlock) {
    auto queue = DispatchQueue::createSerial("test.timer.queue");
    constexpr auto kInterval = 10ms;
    std::vector<Clock::duration> firedAt;  // touched on the queue only
    std::atomic<int> faults{0};
    std::atomic<bool> inTask{false};
    Signal stopped;
    const auto start = Clock::now();
    auto timer = Timer::scheduledOnQueue(queue, kInterval, true, [&](Timer& t) {
        if (!queue->isCurrent() || inTask.load()) faults++;
        firedAt.push_back(Clock::now() - start);
        if (firedAt.size() == 3) {
            t.invalidate();
            stopped.notify();
        }
    });
    // Busy ordinary tasks on the same queue never overlap the timer's block.
    for (int i = 0; i < 200; ++i) {
        queue->async([&] {
            inTask = true;
            std::this_thread::yield();
            inTask = false;
        });
    }
    ASSERT_TRUE(stopped.waitFor(1));
    Signal marker;
    queue->after(5 * kInterval, [&] { marker.notify(); });
    ASSERT_TRUE(marker.waitFor(1));
    queue->sync([&] {
        ASSERT_EQ(firedAt.size(), 3u);
        for (size_t i = 0; i < firedAt.size(); ++i) {
            EXPECT_GE(firedAt[i], kInterval * static_cast<int>(i + 1)) << "tick " << i;
        }
    });
    EXPECT_FALSE(timer->isValid());
    EXPECT_EQ(faults.load(), 0);
}

TEST(Timer, OneShotQueueTimerFiresOnce) {
    auto queue = DispatchQueue::createConcurrent("test.timer.queue.once");
    std::atomic<int> fired{0};
    Signal done;
    const auto start = Clock::now();
    std::atomic<bool> early{false};
    auto timer = Timer::scheduledOnQueue(queue, 20ms, false, [&](Timer&) {
        if (Clock::now() - start < 20ms) early = true;
        fired++;
        done.notify();
    });
    ASSERT_TRUE(done.waitFor(1));
    Signal marker;
    queue->after(40ms, [&] { marker.notify(); });
    ASSERT_TRUE(marker.waitFor(1));
    EXPECT_EQ(fired.load(), 1);
    EXPECT_FALSE(early.load());
    EXPECT_FALSE(timer->isValid());
}

TEST(Timer, IntervalsBeyondTheClocksRangeNeverFire) {
    RunLoop loop;
    auto queue = DispatchQueue::createSerial("test.timer.forever");
    std::atomic<int> fired{0};
    auto onLoop = Timer::scheduledOnRunLoop(loop, std::chrono::nanoseconds::max(), true, [&](Timer&) { fired++; });
    auto onQueue = Timer::scheduledOnQueue(queue, std::chrono::nanoseconds::max(), false, [&](Timer&) { fired++; });
    runPast(loop, 20ms);
    Signal marker;
    queue->after(20ms, [&] { marker.notify(); });
    ASSERT_TRUE(marker.waitFor(1));
    EXPECT_EQ(fired.load(), 0);
    EXPECT_TRUE(onLoop->isValid());
    onLoop->invalidate();
    onQueue->invalidate();
}

TEST(Timer, NoBlockStartsAfterInvalidateReturns) {
    // Invalidation from another thread races the firing; once invalidate() has returned, a new
    // run of the block must not begin.
    auto queue = DispatchQueue::createConcurrent("test.timer.race");
    for (int round = 0; round < 200; ++round) {
        std::atomic<bool> invalidated{false};
        std::atomic<int> lateStarts{0};
        Signal firedOnce;
        auto timer = Timer::scheduledOnQueue(queue, 100us, true, [&](Timer&) {
            if (invalidated.load()) lateStarts++;
            firedOnce.notify();
        });
        ASSERT_TRUE(firedOnce.waitFor(1));
        timer->invalidate();
        invalidated = true;
        Signal marker;
        queue->after(2ms, [&] { marker.notify(); });
        ASSERT_TRUE(marker.waitFor(1));
        queue->barrierSync([] {});
        ASSERT_EQ(lateStarts.load(), 0) << "round " << round;
    }
}
