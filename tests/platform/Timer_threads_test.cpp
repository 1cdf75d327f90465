#include "platform/Timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/RunLoop.h"
#include "support/TestServer.h"

using namespace std::chrono_literals;
using kntest::waitFor;
using platform::DispatchQueue;
using platform::RunLoop;
using platform::Timer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kTimeout = 10s;

// Runs the loop until a one-shot timer of `delay` has fired: proof that the loop kept turning for
// at least that long.
void runPast(RunLoop& loop, std::chrono::milliseconds delay) {
    bool fired = false;
    Timer::scheduledOnRunLoop(loop, delay, false, [&](Timer&) { fired = true; });
    ASSERT_TRUE(loop.runUntil([&] { return fired; }, kTimeout));
}

// Waits until a task queued `delay` from now has run on `queue`.
void settle(const std::shared_ptr<DispatchQueue>& queue, std::chrono::milliseconds delay) {
    std::atomic<bool> ran{false};
    queue->after(delay, [&] { ran = true; });
    ASSERT_TRUE(waitFor([&] { return ran.load(); }, kTimeout));
}

// Tick k is due k intervals after scheduling, never sooner.
void expectPaced(const std::vector<Clock::duration>& firedAt, std::chrono::milliseconds interval) {
    for (size_t i = 0; i < firedAt.size(); ++i) {
        EXPECT_GE(firedAt[i], interval * static_cast<int>(i + 1)) << "tick " << i;
    }
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

    ASSERT_TRUE(loop.runUntil([&] { return !timer->isValid(); }, kTimeout));
    runPast(loop, 4 * kInterval);
    ASSERT_EQ(firedAt.size(), 4u);
    expectPaced(firedAt, kInterval);
    EXPECT_EQ(strangers.load(), 0);
}

TEST(Timer, OneShotTimersFireOnceAndRunLoopOnesOnlyWhileTheLoopRuns) {
    RunLoop loop;
    int fired = 0;
    auto timer = Timer::scheduledOnRunLoop(loop, 5ms, false, [&](Timer&) { ++fired; });

    // Long past due, but nobody runs the loop yet.
    settle(DispatchQueue::global(), 30ms);
    EXPECT_EQ(fired, 0);
    EXPECT_TRUE(timer->isValid());

    ASSERT_TRUE(loop.runUntil([&] { return fired == 1; }, kTimeout));
    EXPECT_FALSE(timer->isValid());
    runPast(loop, 20ms);
    EXPECT_EQ(fired, 1);

    auto queue = DispatchQueue::createConcurrent("test.timer.queue.once");
    std::atomic<int> queueFired{0};
    std::atomic<bool> early{false};
    const auto start = Clock::now();
    auto onQueue = Timer::scheduledOnQueue(queue, 20ms, false, [&](Timer&) {
        if (Clock::now() - start < 20ms) early = true;
        queueFired++;
    });
    ASSERT_TRUE(waitFor([&] { return queueFired.load() == 1; }, kTimeout));
    settle(queue, 40ms);
    EXPECT_EQ(queueFired.load(), 1);
    EXPECT_FALSE(early.load());
    EXPECT_FALSE(onQueue->isValid());
}

TEST(Timer, InvalidatedOrOutOfRangeTimersNeverFire) {
    RunLoop loop;
    auto queue = DispatchQueue::createSerial("test.timer.never");
    std::atomic<int> fired{0};
    auto count = [&](Timer&) { fired++; };
    auto cancelledOnLoop = Timer::scheduledOnRunLoop(loop, 10ms, true, count);
    auto cancelledOnQueue = Timer::scheduledOnQueue(queue, 10ms, false, count);
    cancelledOnLoop->invalidate();
    cancelledOnQueue->invalidate();
    EXPECT_FALSE(cancelledOnLoop->isValid());
    EXPECT_FALSE(cancelledOnQueue->isValid());
    // Intervals beyond the clock's range.
    auto foreverOnLoop = Timer::scheduledOnRunLoop(loop, std::chrono::nanoseconds::max(), true, count);
    auto foreverOnQueue = Timer::scheduledOnQueue(queue, std::chrono::nanoseconds::max(), false, count);

    runPast(loop, 40ms);
    settle(queue, 40ms);
    EXPECT_EQ(fired.load(), 0);
    EXPECT_TRUE(foreverOnLoop->isValid());
    foreverOnLoop->invalidate();
    foreverOnQueue->invalidate();
}

TEST(Timer, QueueTimerRunsAsTheQueuesTaskAndStopsFromItsBlock) {
    auto queue = DispatchQueue::createSerial("test.timer.queue");
    constexpr auto kInterval = 10ms;
    std::vector<Clock::duration> firedAt;  // touched on the queue only
    std::atomic<int> faults{0};
    std::atomic<bool> inTask{false};
    std::atomic<bool> stopped{false};
    const auto start = Clock::now();
    auto timer = Timer::scheduledOnQueue(queue, kInterval, true, [&](Timer& t) {
        if (!queue->isCurrent() || inTask.load()) faults++;
        firedAt.push_back(Clock::now() - start);
        if (firedAt.size() == 3) {
            t.invalidate();
            stopped = true;
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
    ASSERT_TRUE(waitFor([&] { return stopped.load(); }, kTimeout));
    settle(queue, 5 * kInterval);
    queue->sync([&] {
        ASSERT_EQ(firedAt.size(), 3u);
        expectPaced(firedAt, kInterval);
    });
    EXPECT_FALSE(timer->isValid());
    EXPECT_EQ(faults.load(), 0);
}

TEST(Timer, InvalidateFromAnotherThreadLetsAtMostTheTickInFlightRun) {
    // Invalidation from another thread races the firing: a tick that had already passed its check
    // may still run once, but nothing is scheduled after it.
    auto queue = DispatchQueue::createConcurrent("test.timer.race");
    for (int round = 0; round < 200; ++round) {
        std::atomic<bool> invalidated{false};
        std::atomic<int> lateStarts{0};
        std::atomic<bool> firedOnce{false};
        auto timer = Timer::scheduledOnQueue(queue, 100us, true, [&](Timer&) {
            if (invalidated.load()) lateStarts++;
            firedOnce = true;
        });
        ASSERT_TRUE(waitFor([&] { return firedOnce.load(); }, kTimeout));
        timer->invalidate();
        invalidated = true;
        settle(queue, 2ms);
        queue->barrierSync([] {});
        ASSERT_LE(lateStarts.load(), 1) << "round " << round;
    }
}
