#include "platform/RunLoop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/Timer.h"

using namespace std::chrono_literals;
using platform::DispatchQueue;
using platform::RunLoop;
using platform::Timer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kTimeout = 10s;

// Ends a death-test child that hangs instead of dying, so the test fails rather than stalls.
void startWatchdog() {
    std::thread([] {
        std::mutex mutex;
        std::condition_variable never;
        std::unique_lock lock(mutex);
        never.wait_for(lock, 5s);
        _exit(0);
    }).detach();
}

}  // namespace

TEST(RunLoop, RunsWorkFromOtherThreadsInOrderUntilStopped) {
    RunLoop loop;
    std::vector<int> order;  // touched only by the thread running the loop
    std::atomic<bool> runnerFlag{false};
    std::thread runner([&] {
        runnerFlag = loop.isRunningOnThisThread();
        loop.run();
    });
    constexpr int kWork = 200;
    for (int i = 0; i < kWork; ++i) {
        loop.perform([&, i] {
            EXPECT_TRUE(loop.isRunningOnThisThread());
            order.push_back(i);
            if (i == kWork - 1) loop.stop();
        });
    }
    runner.join();
    EXPECT_FALSE(runnerFlag.load());
    EXPECT_FALSE(loop.isRunningOnThisThread());
    ASSERT_EQ(order.size(), static_cast<size_t>(kWork));
    for (int i = 0; i < kWork; ++i) {
        ASSERT_EQ(order[i], i);
    }
}

TEST(RunLoop, RunUntilAnswersThePredicateAndHonoursTheTimeout) {
    RunLoop loop;
    // Work that makes the predicate true ends the run early.
    bool ready = false;
    loop.perform([&] { loop.perform([&] { ready = true; }); });
    const auto start = Clock::now();
    EXPECT_TRUE(loop.runUntil([&] { return ready; }, kTimeout));
    EXPECT_LT(Clock::now() - start, kTimeout);

    // A predicate flipped by another thread, with no work posted, is still noticed.
    std::atomic<bool> flipped{false};
    DispatchQueue::global()->after(20ms, [&] { flipped = true; });
    EXPECT_TRUE(loop.runUntil([&] { return flipped.load(); }, kTimeout));

    // A predicate that never holds: false, and not before the time-out.
    const auto before = Clock::now();
    EXPECT_FALSE(loop.runUntil([] { return false; }, 50ms));
    EXPECT_GE(Clock::now() - before, 50ms);

    // runFor keeps turning, timers included, for its whole duration.
    int ticks = 0;
    auto timer = Timer::scheduledOnRunLoop(loop, 5ms, true, [&](Timer&) { ++ticks; });
    const auto runStart = Clock::now();
    loop.runFor(60ms);
    EXPECT_GE(Clock::now() - runStart, 60ms);
    EXPECT_GE(ticks, 2);
    timer->invalidate();
}

TEST(RunLoop, AStopMeantForRunDoesNotMakeTimedRunsSpin) {
    RunLoop loop;
    loop.stop();  // nobody is in run(): the request waits for the next run()
    // The predicate is checked about every 10 ms while the loop is idle, not millions of times.
    int calls = 0;
    EXPECT_FALSE(loop.runUntil(
        [&] {
            ++calls;
            return false;
        },
        100ms));
    EXPECT_LT(calls, 1000);
    bool ran = false;
    loop.perform([&] { ran = true; });
    loop.runFor(20ms);
    EXPECT_TRUE(ran);
}

TEST(RunLoop, CurrentIsTheMainLoopOnlyWhereItIsDrained) {
    RunLoop* seenInside = nullptr;
    RunLoop::main().perform([&] { seenInside = &RunLoop::current(); });
    ASSERT_TRUE(RunLoop::main().runUntil([&] { return seenInside != nullptr; }, kTimeout));
    EXPECT_EQ(seenInside, &RunLoop::main());

    RunLoop* mine = &RunLoop::current();
    EXPECT_EQ(mine, &RunLoop::current());
    EXPECT_NE(mine, &RunLoop::main());
    RunLoop* other = nullptr;
    std::thread([&] { other = &RunLoop::current(); }).join();
    EXPECT_NE(other, mine);
    EXPECT_NE(other, &RunLoop::main());
}

using RunLoopDeathTest = ::testing::Test;

TEST(RunLoopDeathTest, SyncOntoTheMainQueueFromTheDrainingThreadAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The loop's own thread would wait for itself: from a main-queue task, from a timer and from
    // plain work on the main loop alike.
    EXPECT_DEATH(
        {
            startWatchdog();
            DispatchQueue::main()->async([] { DispatchQueue::main()->sync([] {}); });
            RunLoop::main().runFor(2s);
        },
        "kestrune\\.main");
    EXPECT_DEATH(
        {
            startWatchdog();
            auto timer = Timer::scheduledOnRunLoop(RunLoop::main(), 1ms, false,
                                                   [](Timer&) { DispatchQueue::main()->sync([] {}); });
            RunLoop::main().runFor(2s);
        },
        "kestrune\\.main");
    EXPECT_DEATH(
        {
            startWatchdog();
            RunLoop::main().perform([] { DispatchQueue::main()->sync([] {}); });
            RunLoop::main().runFor(2s);
        },
        "kestrune\\.main");
}
