#include "platform/DispatchQueue.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/RunLoop.h"
#include "support/TestServer.h"

using namespace std::chrono_literals;
using kntest::waitFor;
using platform::DispatchQueue;
using Clock = std::chrono::steady_clock;

constexpr auto kTimeout = 10s;

TEST(DispatchQueue, SerialQueuesRunOneAtATimeInEachProducersOrder) {
    auto queue = DispatchQueue::createSerial("test.serial");
    constexpr int kTasks = 500;
    std::vector<std::vector<int>> seen(3);  // touched only by the queue's tasks
    std::atomic<int> inside{0};
    std::atomic<int> faults{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 3; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kTasks; ++i) {
                queue->async([&, p, i] {
                    faults += inside++ != 0 || !queue->isCurrent();
                    seen[p].push_back(i);
                    inside--;
                });
            }
        });
    }
    for (auto& producer : producers) producer.join();
    queue->sync([] {});
    std::vector<int> expected(kTasks);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(seen, std::vector(3, expected));
    EXPECT_EQ(faults.load(), 0);
}

// trySync runs at once, on the caller's thread, only on an idle serial queue; tasks queued while
// it runs follow it; producers mixing it with async still see one task at a time, in order.
TEST(DispatchQueue, TrySyncRunsInlineOnlyOnAnIdleSerialQueue) {
    auto queue = DispatchQueue::createSerial("test.try");
    bool ranHere = false;
    EXPECT_TRUE(queue->trySync([&] { ranHere = queue->isCurrent(); }));
    EXPECT_TRUE(ranHere);

    std::atomic<bool> release{false};
    queue->async([&] { waitFor([&] { return release.load(); }, kTimeout); });
    EXPECT_FALSE(queue->trySync([] { ADD_FAILURE() << "ran on a busy queue"; }));
    release = true;
    queue->sync([] {});
    EXPECT_TRUE(queue->trySync([&] { EXPECT_FALSE(queue->trySync([] {})); }));
    EXPECT_FALSE(DispatchQueue::createConcurrent("test.try.concurrent")->trySync([] {}));

    std::vector<int> order;  // touched only by the queue's tasks
    std::atomic<int> inside{0};
    std::atomic<int> faults{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < 500; ++i) {
                auto task = [&, i, p] {
                    faults += inside++ != 0;
                    if (p == 0) order.push_back(i);
                    inside--;
                };
                if (!queue->trySync(task)) queue->async(task);
            }
        });
    }
    for (auto& producer : producers) producer.join();
    queue->sync([] {});
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(order.size(), 500u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

TEST(DispatchQueue, BarriersWaitForEarlierReadersAndRunAlone) {
    auto queue = DispatchQueue::createConcurrent("test.barrier");
    std::atomic<bool> gate{false};
    std::atomic<int> active{0};
    std::atomic<int> reads{0};
    std::atomic<int> barriers{0};
    std::atomic<int> faults{0};
    for (int i = 0; i < 4; ++i) {
        queue->async([&] {
            active++;
            if (!waitFor([&] { return gate.load(); }, kTimeout)) faults++;
            active--;
            reads++;
        });
    }
    EXPECT_TRUE(waitFor([&] { return active.load() == 4; }, kTimeout));  // the readers overlap
    queue->barrierAsync([&] {
        faults += active.load() != 0 || reads.load() < 4;
        barriers++;
    });
    queue->async([&] { faults += barriers.load() == 0; });
    gate = true;
    queue->barrierSync([] {});
    EXPECT_EQ(faults.load(), 0);
}

TEST(DispatchQueue, AfterFiresInDueOrderNeverEarlyAndFarOffDelaysNever) {
    auto queue = DispatchQueue::createSerial("test.after");
    // In the order they ran: a loaded machine may pause the test between two calls.
    std::vector<Clock::time_point> dueTimes;
    std::atomic<int> fired{0};
    std::atomic<int> faults{0};
    auto note = [&](std::chrono::milliseconds delay) {
        return [&, due = Clock::now() + delay] {
            faults += Clock::now() < due;
            dueTimes.push_back(due);
            fired++;
        };
    };
    queue->after(60ms, note(60ms));
    queue->after(20ms, note(20ms));
    queue->afterSeconds(-1.0, note(0ms));
    // Delays beyond the clock's range must not wrap around into the past.
    queue->after(std::chrono::nanoseconds::max(), [&] { faults++; });
    queue->afterSeconds(std::numeric_limits<double>::infinity(), [&] { faults++; });
    ASSERT_TRUE(waitFor([&] { return fired.load() == 3; }, kTimeout));
    queue->sync([] {});
    EXPECT_TRUE(std::is_sorted(dueTimes.begin(), dueTimes.end()));
    EXPECT_EQ(faults.load(), 0);
}

TEST(DispatchQueue, WorkerTasksIgnoreSigpipeAndMayDropTheQueuesLastHandle) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    close(fds[1]);
    auto holder = std::make_shared<std::shared_ptr<DispatchQueue>>(DispatchQueue::createSerial("test.worker"));
    std::weak_ptr<DispatchQueue> watch = *holder;
    std::atomic<int> error{0};
    (*holder)->async([&, holder] {
        const char byte = 'x';
        if (write(fds[0], &byte, 1) < 0) error = errno;  // SIGPIPE would kill the process
        holder->reset();
    });
    holder.reset();
    EXPECT_TRUE(waitFor([&] { return watch.expired(); }, kTimeout));
    EXPECT_EQ(error.load(), EPIPE);
    close(fds[0]);
}

TEST(DispatchQueueDeathTest, SyncThatWouldWaitForItselfAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Should the task hang instead, the run ends and the process lives on, which fails the test.
    EXPECT_DEATH(
        {
            auto q = DispatchQueue::createSerial("test.death.async");
            q->async([q] { q->sync([] {}); });
            platform::RunLoop::main().runFor(5s);
        },
        "death\\.async");
}
