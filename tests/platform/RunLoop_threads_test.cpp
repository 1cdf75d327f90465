#include "platform/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/Timer.h"
#include "support/TestServer.h"

using namespace std::chrono_literals;
using kntest::waitFor;
using platform::DispatchQueue;
using platform::RunLoop;
using platform::Timer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kTimeout = 10s;

// Each test runs once with a run-loop timer and once with a queue timer (loop null).
std::shared_ptr<Timer> schedule(RunLoop* loop, const std::shared_ptr<DispatchQueue>& queue,
                                std::chrono::nanoseconds interval, bool repeats, Timer::Block block) {
    return loop ? Timer::scheduledOnRunLoop(*loop, interval, repeats, std::move(block))
                : Timer::scheduledOnQueue(queue, interval, repeats, std::move(block));
}

// Turns the loop, if any, until the predicate holds.
bool until(RunLoop* loop, const std::function<bool()>& done) {
    return loop ? loop->runUntil(done, kTimeout) : waitFor(done, kTimeout);
}

// Waits until a one-shot timer of `delay` has fired in the same place.
void runPast(RunLoop* loop, const std::shared_ptr<DispatchQueue>& queue, std::chrono::milliseconds delay) {
    std::atomic<bool> fired{false};
    schedule(loop, queue, delay, false, [&](Timer&) { fired = true; });
    ASSERT_TRUE(until(loop, [&] { return fired.load(); }));
}

}  // namespace

TEST(RunLoop, RunsWorkInOrderUntilStoppedOrDoneAndTimedRunsNeverSpin) {
    RunLoop loop;
    std::vector<int> order, expected;  // order: touched only by the thread running the loop
    std::thread runner([&] { loop.run(); });
    for (int i = 0; i < 200; ++i) {
        expected.push_back(i);
        loop.perform([&, i] {
            if (loop.isRunningOnThisThread()) order.push_back(i);
            if (i == 199) loop.stop();
        });
    }
    runner.join();
    EXPECT_EQ(order, expected);

    bool ready = false;
    loop.perform([&] { loop.perform([&] { ready = true; }); });
    EXPECT_TRUE(loop.runUntil([&] { return ready; }, kTimeout));
    // Flipped by another thread with no work posted: noticed at the next poll, long before the time-out.
    std::atomic<bool> flipped{false};
    DispatchQueue::global()->after(20ms, [&] { flipped = true; });
    auto start = Clock::now();
    EXPECT_TRUE(loop.runUntil([&] { return flipped.load(); }, kTimeout));
    EXPECT_LT(Clock::now() - start, kTimeout / 2);

    // A stop meant for run() (nobody is in it yet) must not make timed runs spin: an idle loop
    // checks the predicate about every 10 ms.
    loop.stop();
    int calls = 0;
    start = Clock::now();
    EXPECT_FALSE(loop.runUntil([&] { return ++calls < 0; }, 100ms));
    EXPECT_GE(Clock::now() - start, 100ms);
    EXPECT_LT(calls, 1000);

    // runFor turns, timers included, for its whole duration.
    int ticks = 0;
    Timer::scheduledOnRunLoop(loop, 5ms, true, [&](Timer&) { ++ticks; });
    start = Clock::now();
    loop.runFor(60ms);
    EXPECT_GE(Clock::now() - start, 60ms);
    EXPECT_GE(ticks, 2);
}

TEST(Timer, TimersFireAtTheirPaceInTheirPlaceUntilInvalidated) {
    RunLoop loop;
    auto queue = DispatchQueue::createSerial("test.timer");
    for (RunLoop* on : {&loop, static_cast<RunLoop*>(nullptr)}) {
        SCOPED_TRACE(on ? "run loop" : "queue");
        constexpr auto kInterval = 10ms;
        std::vector<Clock::duration> firedAt;  // touched by the block only
        std::atomic<int> once{0}, faults{0};
        std::atomic<bool> inTask{false};
        // Run-loop timers fire only where the loop runs; queue ones as the queue's tasks.
        auto inPlace = [&] { return !inTask.load() && (on ? on->isRunningOnThisThread() : queue->isCurrent()); };
        const auto start = Clock::now();
        auto repeating = schedule(on, queue, kInterval, true, [&](Timer& fired) {
            faults += !inPlace();
            firedAt.push_back(Clock::now() - start);
            if (firedAt.size() == 3) fired.invalidate();  // from its own block
        });
        auto oneShot = schedule(on, queue, 20ms, false, [&](Timer&) {
            faults += Clock::now() - start < 20ms || !inPlace();
            once++;
        });
        auto cancelled = schedule(on, queue, kInterval, true, [&](Timer&) { faults++; });
        cancelled->invalidate();
        auto forever = schedule(on, queue, std::chrono::nanoseconds::max(), true, [&](Timer&) { faults++; });
        // Busy tasks on the timer's queue never overlap its blocks.
        for (int i = 0; !on && i < 200; ++i) {
            queue->async([&] { inTask = true, std::this_thread::yield(), inTask = false; });
        }

        ASSERT_TRUE(until(on, [&] { return !repeating->isValid() && once.load() == 1; }));
        runPast(on, queue, 4 * kInterval);
        ASSERT_EQ(firedAt.size(), 3u);
        for (size_t i = 0; i < firedAt.size(); ++i) EXPECT_GE(firedAt[i], kInterval * static_cast<int>(i + 1));
        EXPECT_EQ(once.load(), 1);
        EXPECT_EQ(faults.load(), 0);
        EXPECT_FALSE(oneShot->isValid() || cancelled->isValid());
        EXPECT_TRUE(forever->isValid());
    }
}

TEST(Timer, InvalidateFromAnotherThreadLetsAtMostTheTickInFlightRun) {
    auto queue = DispatchQueue::createConcurrent("test.timer.race");
    for (int round = 0; round < 200; ++round) {
        std::atomic<bool> invalidated{false}, firedOnce{false};
        std::atomic<int> lateStarts{0};
        auto timer = Timer::scheduledOnQueue(queue, 100us, true, [&](Timer&) {
            lateStarts += invalidated.load();
            firedOnce = true;
        });
        ASSERT_TRUE(waitFor([&] { return firedOnce.load(); }, kTimeout));
        timer->invalidate();
        invalidated = true;
        runPast(nullptr, queue, 2ms);
        queue->barrierSync([] {});
        ASSERT_LE(lateStarts.load(), 1) << "round " << round;
    }
}
