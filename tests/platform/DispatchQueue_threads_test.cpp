#include "platform/DispatchQueue.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <limits>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/RunLoop.h"
#include "support/TestServer.h"

using namespace std::chrono_literals;
using platform::DispatchQueue;
using platform::RunLoop;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kTimeout = 10s;

// A counter that threads bump and a test waits on.
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

// Records that no two holders are inside at once.
class Exclusive {
public:
    void enter() {
        if (inside_.fetch_add(1) != 0) overlapped_ = true;
    }
    void leave() { inside_.fetch_sub(1); }
    bool overlapped() const { return overlapped_.load(); }

private:
    std::atomic<int> inside_{0};
    std::atomic<bool> overlapped_{false};
};

}  // namespace

TEST(DispatchQueue, SerialQueueRunsTasksOneAtATimeInEachProducersOrder) {
    auto queue = DispatchQueue::createSerial("test.serial.order");
    EXPECT_TRUE(queue->isSerial());
    constexpr int kProducers = 4;
    constexpr int kTasks = 500;
    std::vector<std::vector<int>> seen(kProducers);  // touched only by the queue's tasks
    Exclusive exclusive;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kTasks; ++i) {
                queue->async([&, p, i] {
                    exclusive.enter();
                    seen[p].push_back(i);
                    exclusive.leave();
                });
                if (p == 0 && i % 100 == 0) {
                    // A sync waits for everything this producer queued before it, on its own thread.
                    const auto caller = std::this_thread::get_id();
                    queue->sync([&, caller, i] {
                        EXPECT_EQ(std::this_thread::get_id(), caller);
                        EXPECT_TRUE(queue->isCurrent());
                        EXPECT_EQ(seen[0].size(), static_cast<size_t>(i + 1));
                    });
                }
            }
        });
    }
    for (auto& producer : producers) producer.join();
    queue->sync([] {});
    for (int p = 0; p < kProducers; ++p) {
        ASSERT_EQ(seen[p].size(), static_cast<size_t>(kTasks));
        for (int i = 0; i < kTasks; ++i) ASSERT_EQ(seen[p][i], i);
    }
    EXPECT_FALSE(exclusive.overlapped());
    EXPECT_FALSE(queue->isCurrent());
}

TEST(DispatchQueue, QueuesWithASerialTargetRunOneAtATimeWithIt) {
    auto target = DispatchQueue::createSerial("test.target");
    auto first = DispatchQueue::createSerial("test.target.first", target);
    auto second = DispatchQueue::createSerial("test.target.second", target);
    Exclusive exclusive;
    std::vector<int> firstOrder;
    std::atomic<int> wrongCurrent{0};
    Signal done;
    constexpr int kTasks = 300;
    for (int i = 0; i < kTasks; ++i) {
        first->async([&, i] {
            exclusive.enter();
            firstOrder.push_back(i);
            if (DispatchQueue::current() != first || !target->isCurrent() || second->isCurrent()) wrongCurrent++;
            exclusive.leave();
            done.notify();
        });
        second->async([&] {
            exclusive.enter();
            if (!second->isCurrent() || !target->isCurrent()) wrongCurrent++;
            exclusive.leave();
            done.notify();
        });
        target->async([&] {
            exclusive.enter();
            if (first->isCurrent() || second->isCurrent()) wrongCurrent++;
            exclusive.leave();
            done.notify();
        });
    }
    // A sync on a child runs on the caller's thread and excludes the target's tasks too; inside
    // it the child is the innermost queue, and outside it no queue is current.
    EXPECT_EQ(DispatchQueue::current(), nullptr);
    first->sync([&] {
        exclusive.enter();
        EXPECT_TRUE(target->isCurrent());
        EXPECT_EQ(DispatchQueue::current(), first);
        exclusive.leave();
    });
    EXPECT_EQ(DispatchQueue::current(), nullptr);
    ASSERT_TRUE(done.waitFor(3 * kTasks));
    target->sync([] {});
    EXPECT_FALSE(exclusive.overlapped());
    EXPECT_EQ(wrongCurrent.load(), 0);
    ASSERT_EQ(firstOrder.size(), static_cast<size_t>(kTasks));
    for (int i = 0; i < kTasks; ++i) {
        ASSERT_EQ(firstOrder[i], i);
    }
}

TEST(DispatchQueue, ConcurrentAndGlobalQueuesRunTasksSideBySide) {
    // Each task waits until all of them have started: that ends only if they overlap.
    using platform::QueuePriority;
    constexpr int kTasks = 6;
    std::vector<std::shared_ptr<DispatchQueue>> queues{DispatchQueue::createConcurrent("test.concurrent")};
    for (auto priority : {QueuePriority::High, QueuePriority::Default, QueuePriority::Low, QueuePriority::Background}) {
        queues.push_back(DispatchQueue::global(priority));
        EXPECT_EQ(queues.back(), DispatchQueue::global(priority));
    }
    for (const auto& queue : queues) {
        SCOPED_TRACE(queue->label());
        EXPECT_FALSE(queue->isSerial());
        Signal started;
        Signal finished;
        std::atomic<int> alone{0};
        for (int i = 0; i < kTasks; ++i) {
            queue->async([&] {
                started.notify();
                if (!started.waitFor(kTasks)) alone++;
                finished.notify();
            });
        }
        ASSERT_TRUE(finished.waitFor(kTasks));
        EXPECT_EQ(alone.load(), 0);
    }
}

TEST(DispatchQueue, BarrierAsyncWaitsForEarlierTasksAndHoldsBackLaterOnes) {
    auto queue = DispatchQueue::createConcurrent("test.barrier.async");
    constexpr int kReaders = 4;
    Signal gate;  // tasks block on it until the test opens it
    Signal started;
    Signal done;
    std::atomic<int> active{0};
    std::atomic<int> earlierFinished{0};
    std::atomic<bool> inBarrier{false};
    std::atomic<bool> barrierRan{false};
    std::atomic<int> faults{0};

    for (int i = 0; i < kReaders; ++i) {
        queue->async([&] {
            active++;
            started.notify();
            if (!gate.waitFor(1)) faults++;
            active--;
            earlierFinished++;
            done.notify();
        });
    }
    queue->barrierAsync([&] {
        inBarrier = true;
        if (active.load() != 0 || earlierFinished.load() != kReaders) faults++;
        barrierRan = true;
        inBarrier = false;
        done.notify();
    });
    for (int i = 0; i < kReaders; ++i) {
        queue->async([&] {
            if (inBarrier.load() || !barrierRan.load()) faults++;
            done.notify();
        });
    }
    // The earlier readers overlap each other; the barrier waits for them.
    ASSERT_TRUE(started.waitFor(kReaders));
    EXPECT_FALSE(barrierRan.load());
    gate.notify();
    ASSERT_TRUE(done.waitFor(2 * kReaders + 1));
    EXPECT_EQ(faults.load(), 0);
}

TEST(DispatchQueue, BarrierSyncRunsAloneOnTheCallersThread) {
    auto queue = DispatchQueue::createConcurrent("test.barrier.sync");
    constexpr int kEarlier = 3;
    Signal gate;  // tasks block on it until the test opens it
    Signal started;
    std::atomic<int> active{0};
    std::atomic<int> earlierFinished{0};
    std::atomic<bool> inBarrier{false};
    std::atomic<int> faults{0};

    for (int i = 0; i < kEarlier; ++i) {
        queue->async([&] {
            active++;
            started.notify();
            if (!gate.waitFor(1)) faults++;
            active--;
            earlierFinished++;
        });
    }
    ASSERT_TRUE(started.waitFor(kEarlier));

    // Readers keep arriving from another thread while the barrier waits and runs.
    std::atomic<bool> stopReaders{false};
    Signal readersDone;
    std::thread readers([&] {
        int submitted = 0;
        while (!stopReaders.load()) {
            queue->async([&] {
                active++;
                if (inBarrier.load()) faults++;
                active--;
                readersDone.notify();
            });
            if (++submitted % 16 == 0) {
                queue->sync([&] {
                    if (inBarrier.load()) faults++;
                });
            }
        }
        queue->barrierSync([] {});
    });

    std::thread opener([&] { gate.notify(); });
    const auto caller = std::this_thread::get_id();
    queue->barrierSync([&] {
        inBarrier = true;
        if (std::this_thread::get_id() != caller) faults++;
        if (active.load() != 0 || earlierFinished.load() != kEarlier) faults++;
        EXPECT_TRUE(queue->isCurrent());
        inBarrier = false;
    });
    opener.join();
    ASSERT_TRUE(readersDone.waitFor(50));
    stopReaders = true;
    readers.join();
    EXPECT_EQ(faults.load(), 0);
}

TEST(DispatchQueue, BarriersOnASerialQueueAreOrdinaryTasks) {
    auto queue = DispatchQueue::createSerial("test.serial.barrier");
    std::vector<int> order;
    queue->async([&] { order.push_back(1); });
    queue->barrierAsync([&] { order.push_back(2); });
    queue->async([&] { order.push_back(3); });
    queue->barrierSync([&] { order.push_back(4); });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(DispatchQueue, AfterFiresNoEarlierThanItsDelayAndInDueOrder) {
    auto queue = DispatchQueue::createSerial("test.after");
    std::vector<int> order;
    std::vector<std::chrono::nanoseconds> early;
    Signal fired;
    const auto start = Clock::now();
    auto schedule = [&](int id, std::chrono::milliseconds delay) {
        const auto asked = Clock::now();
        queue->after(delay, [&, id, delay, asked] {
            const auto waited = Clock::now() - asked;
            if (waited < delay) early.push_back(waited);
            EXPECT_TRUE(queue->isCurrent());
            order.push_back(id);
            fired.notify();
        });
    };
    schedule(3, 60ms);
    schedule(1, 20ms);
    schedule(2, 40ms);
    schedule(0, 0ms);
    // Equal delays keep the order they were asked in.
    for (int i = 10; i < 20; ++i) {
        schedule(i, 80ms);
    }
    ASSERT_TRUE(fired.waitFor(14));
    queue->sync([] {});
    EXPECT_TRUE(early.empty());
    EXPECT_GE(Clock::now() - start, 80ms);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));

    // Seconds, with nonsense delays firing at once rather than never, and delays beyond the
    // clock's range never.
    Signal soon;
    const auto asked = Clock::now();
    std::atomic<bool> tooEarly{false};
    std::atomic<int> never{0};
    queue->after(std::chrono::nanoseconds::max(), [&] { never++; });
    queue->afterSeconds(1e300, [&] { never++; });
    queue->afterSeconds(std::numeric_limits<double>::infinity(), [&] { never++; });
    queue->afterSeconds(0.03, [&] {
        if (Clock::now() - asked < 30ms) tooEarly = true;
        soon.notify();
    });
    queue->afterSeconds(-1.0, [&] { soon.notify(); });
    queue->afterSeconds(std::nan(""), [&] { soon.notify(); });
    ASSERT_TRUE(soon.waitFor(3));
    queue->sync([] {});
    EXPECT_FALSE(tooEarly.load());
    EXPECT_EQ(never.load(), 0);
}

TEST(DispatchQueue, DroppingTheLastHandleInsideItsOwnTaskLetsTheQueueFinish) {
    {
        auto holder =
            std::make_shared<std::shared_ptr<DispatchQueue>>(DispatchQueue::createSerial("test.release.inside"));
        std::weak_ptr<DispatchQueue> watch = *holder;
        Signal gate;  // tasks block on it until the test opens it
        Signal done;
        std::vector<int> order;
        (*holder)->async([&, holder] {
            gate.waitFor(1);
            holder->reset();  // the last handle goes while this very task runs
            order.push_back(1);
        });
        (*holder)->async([&] { order.push_back(2); });
        (*holder)->async([&] {
            order.push_back(3);
            done.notify();
        });
        gate.notify();
        ASSERT_TRUE(done.waitFor(1));
        EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
        EXPECT_TRUE(watch.expired());
    }
    {
        // The only handle lives in the task's own captures: released on the worker as it ends.
        auto queue = DispatchQueue::createSerial("test.release.captured");
        std::weak_ptr<DispatchQueue> watch = queue;
        Signal done;
        std::atomic<bool> sawItself{false};
        queue->async([&, self = queue] {
            sawItself = self->isCurrent();
            done.notify();
        });
        queue.reset();
        ASSERT_TRUE(done.waitFor(1));
        EXPECT_TRUE(sawItself.load());
        EXPECT_TRUE(kntest::waitFor([&] { return watch.expired(); }, kTimeout));  // released on the worker
    }
}

TEST(DispatchQueue, WorkerThreadsIgnoreSigpipe) {
    auto queue = DispatchQueue::createSerial("test.sigpipe");
    for (bool delayed : {false, true}) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        Signal done;
        ssize_t written = 0;
        int error = 0;
        auto task = [&] {
            close(fds[1]);
            const char byte = 'x';
            written = write(fds[0], &byte, 1);  // would raise SIGPIPE and kill the process
            error = errno;
            done.notify();
        };
        if (delayed) {
            queue->after(1ms, task);
        } else {
            queue->async(task);
        }
        ASSERT_TRUE(done.waitFor(1));
        EXPECT_EQ(written, -1);
        EXPECT_EQ(error, EPIPE);
        close(fds[0]);
    }
}

TEST(DispatchQueue, MainQueueRunsOnlyWhereTheMainLoopIsDrained) {
    auto main = DispatchQueue::main();
    EXPECT_TRUE(main->isSerial());
    EXPECT_EQ(main, DispatchQueue::main());
    std::vector<int> order;
    std::atomic<bool> ran{false};
    std::thread::id ranOn;
    auto worker = DispatchQueue::createSerial("test.main.poster");
    Signal posted;
    worker->async([&] {
        for (int i = 0; i < 5; ++i) {
            main->async([&, i] {
                order.push_back(i);
                ranOn = std::this_thread::get_id();
                EXPECT_TRUE(main->isCurrent());
                ran = true;
            });
        }
        posted.notify();
    });
    ASSERT_TRUE(posted.waitFor(1));
    // A full round trip through a worker queue: the main tasks still wait for the loop.
    worker->sync([] {});
    EXPECT_FALSE(ran.load());

    EXPECT_TRUE(RunLoop::main().runUntil([&] { return order.size() == 5; }, kTimeout));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    // A sync onto the main queue from a worker returns once the drainer has run it.
    std::atomic<bool> syncDone{false};
    std::thread::id syncRanOn;
    worker->async([&] {
        main->sync([&] { syncRanOn = std::this_thread::get_id(); });
        syncDone = true;
    });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return syncDone.load(); }, kTimeout));
    worker->sync([] {});
    EXPECT_EQ(syncRanOn, std::this_thread::get_id());
}

using DispatchQueueDeathTest = ::testing::Test;

TEST(DispatchQueueDeathTest, SyncOntoTheQueueYouAreOnAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto queue = DispatchQueue::createSerial("test.death.async");
            Signal never;
            queue->async([&] { queue->sync([] {}); });
            never.waitFor(1);
        },
        "test\\.death\\.async");
    EXPECT_DEATH(
        {
            auto queue = DispatchQueue::createConcurrent("test.death.barrier");
            queue->sync([&] { queue->barrierSync([] {}); });
        },
        "test\\.death\\.barrier");
    EXPECT_DEATH(
        {
            // The child's tasks run as the target's, so a sync onto the target would wait for itself.
            auto target = DispatchQueue::createSerial("test.death.target");
            auto child = DispatchQueue::createSerial("test.death.child", target);
            child->sync([&] { target->sync([] {}); });
        },
        "test\\.death\\.target");
}
