#include "platform/DispatchQueue.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <limits>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/RunLoop.h"
#include "support/TestServer.h"

using namespace std::chrono_literals;
using kntest::waitFor;
using platform::DispatchQueue;
using platform::RunLoop;
using Clock = std::chrono::steady_clock;

namespace {
constexpr auto kTimeout = 10s;
bool reaches(const std::atomic<int>& count, int n) {
    return waitFor([&] { return count.load() >= n; }, kTimeout);
}
}  // namespace

TEST(DispatchQueue, SerialQueuesRunOneAtATimeInEachProducersOrder) {
    auto queue = DispatchQueue::createSerial("test.serial");
    constexpr int kTasks = 500;
    std::vector<std::vector<int>> seen(3);  // touched only by the queue's tasks
    std::atomic<int> inside{0}, faults{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 3; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kTasks; ++i) {
                queue->async([&, p, i] {
                    faults += inside++ != 0 || !queue->isCurrent();
                    seen[p].push_back(i);
                    inside--;
                });
                // A sync runs after everything its caller queued before it.
                if (i % 100 == 0) queue->sync([&, p, i] { faults += seen[p].size() != size_t(i + 1); });
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

TEST(DispatchQueue, BarriersWaitForEarlierReadersAndRunAlone) {
    auto queue = DispatchQueue::createConcurrent("test.barrier");
    std::atomic<bool> gate{false}, inBarrier{false};
    std::atomic<int> active{0}, started{0}, reads{0}, barriers{0}, faults{0};
    auto read = [&](bool early) {
        return [&, early] {
            active++;
            started++;
            faults += inBarrier.load() || (!early && barriers.load() == 0);
            if (early && !waitFor([&] { return gate.load(); }, kTimeout)) faults++;
            active--;
            reads++;
        };
    };
    auto barrier = [&] {
        inBarrier = true;
        faults += active.load() != 0 || reads.load() < 4;
        barriers++;
        inBarrier = false;
    };
    for (int i = 0; i < 4; ++i) queue->async(read(true));
    queue->barrierAsync(barrier);
    std::thread reader([&] {
        for (int i = 0; i < 100; ++i) {
            queue->async(read(false));
            queue->sync(read(false));
        }
    });
    EXPECT_TRUE(reaches(started, 4));  // the early readers overlap
    DispatchQueue::global()->after(5ms, [&] { gate = true; });
    queue->barrierSync(barrier);
    reader.join();
    queue->barrierSync([] {});
    EXPECT_EQ(barriers.load(), 2);
    EXPECT_EQ(faults.load(), 0);
}

TEST(DispatchQueue, AfterFiresInDueOrderNeverEarlyAndFarOffDelaysNever) {
    auto queue = DispatchQueue::createSerial("test.after");
    // Each task's due time, in the order they ran; touched on the queue only. A loaded machine
    // may pause the test between two calls, so the order is checked against the due times.
    std::vector<Clock::time_point> dueTimes;
    std::atomic<int> fired{0}, faults{0};
    auto note = [&](std::chrono::milliseconds delay) {
        return [&, due = Clock::now() + delay] {
            faults += Clock::now() < due;
            dueTimes.push_back(due);
            fired++;
        };
    };
    queue->after(60ms, note(60ms));
    queue->after(20ms, note(20ms));
    queue->afterSeconds(0.04, note(40ms));
    queue->afterSeconds(-1.0, note(0ms));
    // Delays beyond the clock's range must not wrap around into the past.
    queue->after(std::chrono::nanoseconds::max(), [&] { faults++; });
    queue->afterSeconds(std::numeric_limits<double>::infinity(), [&] { faults++; });
    ASSERT_TRUE(reaches(fired, 4));
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
    std::atomic<bool> gate{false};
    std::atomic<int> done{0};
    std::vector<int> order;
    int error = 0;
    (*holder)->async([&, holder] {
        waitFor([&] { return gate.load(); }, kTimeout);
        const char byte = 'x';
        if (write(fds[0], &byte, 1) < 0) error = errno;  // SIGPIPE would kill the process
        holder->reset();
        order.push_back(1);
    });
    (*holder)->async([&] {
        order.push_back(2);
        done++;
    });
    gate = true;
    ASSERT_TRUE(reaches(done, 1));
    EXPECT_EQ(error, EPIPE);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(watch.expired());
    close(fds[0]);
}

TEST(DispatchQueueDeathTest, SyncThatWouldWaitForItselfAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using Queue = DispatchQueue;
    const std::vector<std::pair<std::function<void()>, const char*>> cases = {
        {[] {
             auto q = Queue::createSerial("test.death.async");
             q->async([q] { q->sync([] {}); });
         },
         "death\\.async"},
        {[] {
             auto q = Queue::createConcurrent("test.death.barrier");
             q->sync([&] { q->barrierSync([] {}); });
         },
         "death\\.barrier"},
        {[] {
             auto t = Queue::createSerial("test.death.target");
             Queue::createSerial("", t)->sync([&] { t->sync([] {}); });
         },
         "death\\.target"},
        {[] { RunLoop::main().perform([] { Queue::main()->sync([] {}); }); }, "kestrune\\.main"},
    };
    for (const auto& [body, message] : cases) {
        EXPECT_DEATH(
            {
                // A case that hangs or lives on exits quietly, which fails it.
                std::thread([] {
                    waitFor([] { return false; }, 5s);
                    _exit(0);
                }).detach();
                body();
                RunLoop::main().runFor(5s);
            },
            message);
    }
}
