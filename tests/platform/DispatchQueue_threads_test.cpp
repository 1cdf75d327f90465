#include "platform/DispatchQueue.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
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

TEST(DispatchQueue, SerialQueuesAndTheirChildrenRunOneAtATimeInEachProducersOrder) {
    auto queue = DispatchQueue::createSerial("test.serial");
    auto child = DispatchQueue::createSerial("test.serial.child", queue);
    constexpr int kTasks = 500;
    std::vector<std::vector<int>> seen(4);  // touched only by the queues' tasks
    std::atomic<int> inside{0}, faults{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([&, p] {
            const auto& onto = p % 2 ? child : queue;
            for (int i = 0; i < kTasks; ++i) {
                auto task = [&, p, i] {
                    faults += inside++ != 0 || DispatchQueue::current() != onto || !queue->isCurrent();
                    seen[p].push_back(i);
                    inside--;
                };
                // On a serial queue a barrier is an ordinary task.
                (p == 2 && i % 2) ? onto->barrierAsync(task) : onto->async(task);
                if (p < 2 && i % 100 == 0) {
                    // A sync runs on its caller's thread, after everything queued before it.
                    onto->sync([&, caller = std::this_thread::get_id(), p, i] {
                        faults += inside.load() != 0 || std::this_thread::get_id() != caller ||
                                  DispatchQueue::current() != onto || seen[p].size() != static_cast<size_t>(i + 1);
                    });
                }
            }
        });
    }
    for (auto& producer : producers) producer.join();
    queue->sync([] {});
    std::vector<int> expected(kTasks);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(seen, std::vector(4, expected));
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(DispatchQueue::current(), nullptr);
}

TEST(DispatchQueue, GlobalQueuesRunTasksSideBySide) {
    using platform::QueuePriority;
    for (auto priority : {QueuePriority::High, QueuePriority::Default, QueuePriority::Low, QueuePriority::Background}) {
        // Each task waits until all have started: that ends only if they overlap.
        std::atomic<int> started{0}, alone{0}, finished{0};
        for (int i = 0; i < 6; ++i) {
            DispatchQueue::global(priority)->async([&] { started++, alone += !reaches(started, 6), finished++; });
        }
        ASSERT_TRUE(reaches(finished, 6));
        EXPECT_EQ(alone.load(), 0);
    }
}

TEST(DispatchQueue, BarriersWaitForEarlierTasksAndRunAloneOnConcurrentQueues) {
    auto queue = DispatchQueue::createConcurrent("test.barrier");
    std::atomic<bool> gate{false}, inBarrier{false};
    std::atomic<int> active{0}, started{0}, reads{0}, barriers{0}, faults{0};
    // Earlier readers wait for the gate; later ones must find the first barrier done.
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
    // Readers keep arriving from another thread while the barriers wait and run.
    std::thread reader([&] {
        for (int i = 0; i < 100; ++i) queue->async(read(false)), queue->sync(read(false));
    });
    // The earlier readers overlap each other; the barrier waits for them.
    EXPECT_TRUE(reaches(started, 4));
    DispatchQueue::global()->after(5ms, [&] { gate = true; });
    queue->barrierSync([&, caller = std::this_thread::get_id()] {
        barrier();
        faults += std::this_thread::get_id() != caller || !queue->isCurrent() || barriers.load() != 2;
    });
    reader.join();
    queue->barrierSync([] {});
    EXPECT_EQ(faults.load(), 0);
}

TEST(DispatchQueue, AfterFiresInDueOrderNeverEarlyAndFarOffDelaysNever) {
    auto queue = DispatchQueue::createSerial("test.after");
    std::vector<int> order;  // touched on the queue only
    std::atomic<int> fired{0}, faults{0};
    auto note = [&](int id, std::chrono::milliseconds delay) {
        return [&, id, delay, asked = Clock::now()] {
            if (Clock::now() - asked < delay || !queue->isCurrent()) faults++;
            order.push_back(id);
            fired++;
        };
    };
    queue->after(60ms, note(5, 60ms));
    queue->after(20ms, note(3, 20ms));
    queue->afterSeconds(0.04, note(4, 40ms));
    // Nonsense delays fire at once, in the order asked.
    queue->after(0ms, note(0, 0ms));
    queue->afterSeconds(-1.0, note(1, 0ms));
    queue->afterSeconds(std::nan(""), note(2, 0ms));
    for (int i = 10; i < 20; ++i) queue->after(80ms, note(i, 80ms));
    // Delays beyond the clock's range must not wrap around into the past.
    queue->after(std::chrono::nanoseconds::max(), [&] { faults++; });
    queue->afterSeconds(1e300, [&] { faults++; });
    queue->afterSeconds(std::numeric_limits<double>::infinity(), [&] { faults++; });
    ASSERT_TRUE(reaches(fired, 16));
    queue->sync([] {});
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
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
        holder->reset();  // the last handle goes while this very task runs
        order.push_back(1);
    });
    (*holder)->async([&] { order.push_back(2); });
    (*holder)->async([&] { order.push_back(3), done++; });
    gate = true;
    ASSERT_TRUE(reaches(done, 1));
    EXPECT_EQ(error, EPIPE);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(watch.expired());
    close(fds[0]);
}

TEST(DispatchQueue, MainQueueRunsOnlyWhereTheMainLoopIsDrained) {
    auto main = DispatchQueue::main();
    RunLoop& loop = RunLoop::main();
    std::vector<int> order;
    auto worker = DispatchQueue::createSerial("test.main.poster");
    worker->sync([&] {
        for (int i = 0; i < 5; ++i) {
            main->async([&, i] { order.push_back(main->isCurrent() && &RunLoop::current() == &loop ? i : -1); });
        }
    });
    EXPECT_TRUE(order.empty());  // nobody drains the main loop yet
    EXPECT_TRUE(loop.runUntil([&] { return order.size() == 5; }, kTimeout));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_NE(&RunLoop::current(), &loop);

    // A sync onto the main queue from a worker returns once the drainer has run it.
    std::atomic<int> done{0};
    std::thread::id ranOn;
    worker->async([&] { main->sync([&] { ranOn = std::this_thread::get_id(); }), done++; });
    EXPECT_TRUE(loop.runUntil([&] { return done.load() == 1; }, kTimeout));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(DispatchQueueDeathTest, SyncThatWouldWaitForItselfAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using Queue = DispatchQueue;
    // The thread draining the main loop waits for itself too, from plain work on the loop as well.
    const std::vector<std::pair<std::function<void()>, const char*>> cases = {
        {[] { auto q = Queue::createSerial("test.death.async"); q->async([q] { q->sync([] {}); }); }, "death\\.async"},
        {[] { auto q = Queue::createConcurrent("test.death.barrier"); q->sync([&] { q->barrierSync([] {}); }); },
         "death\\.barrier"},
        {[] {
             auto t = Queue::createSerial("test.death.target");
             Queue::createSerial("", t)->sync([&] { t->sync([] {}); });
         },
         "death\\.target"},
        {[] { Queue::main()->async([] { Queue::main()->sync([] {}); }); }, "kestrune\\.main"},
        {[] { RunLoop::main().perform([] { Queue::main()->sync([] {}); }); }, "kestrune\\.main"},
    };
    for (const auto& [body, message] : cases) {
        EXPECT_DEATH(
            {
                // A case that hangs or lives on exits quietly, which fails it.
                std::thread([] { waitFor([] { return false; }, 5s), _exit(0); }).detach();
                body();
                RunLoop::main().runFor(5s);
            },
            message);
    }
}
