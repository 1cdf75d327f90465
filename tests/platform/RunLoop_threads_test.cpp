#include "platform/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
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

TEST(RunLoop, AStopMeantForRunDoesNotMakeTimedRunsSpin) {
    RunLoop loop;
    loop.stop();
    int calls = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(loop.runUntil([&] { return ++calls < 0; }, 100ms));
    EXPECT_GE(Clock::now() - start, 100ms);
    EXPECT_LT(calls, 1000);  // an idle loop polls about every 10 ms
}

TEST(Timer, TimersRepeatFireOnceOrStopWhenInvalidatedOnLoopsAndQueues) {
    RunLoop loop;
    auto queue = DispatchQueue::createSerial("test.timer");
    for (RunLoop* on : {&loop, static_cast<RunLoop*>(nullptr)}) {
        SCOPED_TRACE(on ? "run loop" : "queue");
        auto schedule = [&](std::chrono::nanoseconds interval, bool repeats, Timer::Block block) {
            return on ? Timer::scheduledOnRunLoop(*on, interval, repeats, std::move(block))
                      : Timer::scheduledOnQueue(queue, interval, repeats, std::move(block));
        };
        auto until = [&](const std::function<bool()>& done) {
            return on ? on->runUntil(done, 10s) : waitFor(done, 10s);
        };
        std::vector<Clock::duration> firedAt;  // touched by the block only
        std::atomic<int> once{0}, faults{0};
        std::atomic<bool> later{false};
        auto inPlace = [&] { return on ? on->isRunningOnThisThread() : queue->isCurrent(); };
        const auto start = Clock::now();
        auto repeating = schedule(10ms, true, [&](Timer& fired) {
            faults += !inPlace();
            firedAt.push_back(Clock::now() - start);
            if (firedAt.size() == 3) fired.invalidate();
        });
        auto oneShot = schedule(20ms, false, [&](Timer&) {
            faults += Clock::now() - start < 20ms || !inPlace();
            once++;
        });
        schedule(10ms, true, [&](Timer&) { faults++; })->invalidate();
        auto forever = schedule(std::chrono::nanoseconds::max(), true, [&](Timer&) { faults++; });
        ASSERT_TRUE(until([&] { return !repeating->isValid() && once.load() == 1; }));
        schedule(40ms, false, [&](Timer&) { later = true; });
        ASSERT_TRUE(until([&] { return later.load(); }));
        ASSERT_EQ(firedAt.size(), 3u);
        for (size_t i = 0; i < 3; ++i) EXPECT_GE(firedAt[i], 10ms * static_cast<int>(i + 1));
        EXPECT_EQ(once.load(), 1);
        EXPECT_EQ(faults.load(), 0);
        EXPECT_FALSE(oneShot->isValid());
        EXPECT_TRUE(forever->isValid());
    }
}
