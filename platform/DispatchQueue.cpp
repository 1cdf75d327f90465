#include "platform/DispatchQueue.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/RunLoop.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

void blockSigpipe() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Threads are made on demand and leave after a while idle, so a task that blocks for long (a
// connect, a send to a stalled server) never holds up another queue.
class WorkerPool {
public:
    static WorkerPool& shared() {
        static WorkerPool* pool = new WorkerPool();  // never destroyed: detached workers use it
        return *pool;
    }

    void submit(std::function<void()> work) {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(work));
        if (work_.size() > idle_) {
            std::thread([this] { loop(); }).detach();
        } else {
            cv_.notify_one();
        }
    }

private:
    static constexpr auto kIdleExit = std::chrono::seconds(10);

    void loop() {
        blockSigpipe();
        std::unique_lock lock(mutex_);
        for (;;) {
            if (work_.empty()) {
                ++idle_;
                bool got = cv_.wait_for(lock, kIdleExit, [&] { return !work_.empty(); });
                --idle_;
                if (!got) return;
            }
            auto work = std::move(work_.front());
            work_.pop_front();
            lock.unlock();
            work();
            work = nullptr;  // drop captures before taking the lock again
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> work_;
    size_t idle_ = 0;
};

// One thread fires every delayed task, by handing it to its queue when due.
class AfterScheduler {
public:
    static AfterScheduler& shared() {
        static AfterScheduler* scheduler = new AfterScheduler();
        return *scheduler;
    }

    void schedule(Clock::time_point due, std::function<void()> fire) {
        std::lock_guard lock(mutex_);
        if (!started_) {
            started_ = true;
            std::thread([this] { loop(); }).detach();
        }
        bool earliest = entries_.empty() || due < entries_.begin()->first;
        entries_.emplace(due, std::move(fire));
        if (earliest) cv_.notify_one();
    }

private:
    void loop() {
        blockSigpipe();
        std::unique_lock lock(mutex_);
        for (;;) {
            if (entries_.empty()) {
                cv_.wait(lock);
                continue;
            }
            auto due = entries_.begin()->first;
            if (Clock::now() < due) {
                cv_.wait_until(lock, due);
                continue;
            }
            auto fire = std::move(entries_.begin()->second);
            entries_.erase(entries_.begin());
            lock.unlock();
            fire();
            fire = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::multimap<Clock::time_point, std::function<void()>> entries_;
    bool started_ = false;
};

}  // namespace

struct DispatchQueue::Impl : std::enable_shared_from_this<DispatchQueue::Impl> {
    enum class Kind { Serial, Concurrent, Main };

    struct SyncWaiter {
        std::condition_variable cv;
        bool admitted = false;
    };

    struct Item {
        Task task;
        bool exclusive = false;
        SyncWaiter* waiter = nullptr;
    };

    std::string label;
    Kind kind = Kind::Serial;
    // A serial queue with a serial target hands every task to the target.
    std::shared_ptr<Impl> target;
    std::weak_ptr<DispatchQueue> handle;

    std::mutex mutex;
    std::deque<Item> items;
    int running = 0;
    bool exclusiveRunning = false;

    // The queues whose tasks run on this thread, innermost first, as a chain through the marks on
    // the thread's stack. A plain pointer has no destructor, so the chain still works while the
    // process exits, after the thread's other thread-local objects are gone.
    struct CurrentMark {
        explicit CurrentMark(const Impl* impl) : impl(impl), outer(innermost) { innermost = this; }
        ~CurrentMark() { innermost = outer; }
        CurrentMark(const CurrentMark&) = delete;
        CurrentMark& operator=(const CurrentMark&) = delete;
        const Impl* const impl;
        const CurrentMark* const outer;
    };
    static thread_local const CurrentMark* innermost;

    bool onCurrentStack() const {
        for (const CurrentMark* mark = innermost; mark; mark = mark->outer) {
            if (mark->impl == this) return true;
        }
        return false;
    }

    // Admits the items at the head that may run now. Called with the mutex held.
    void admit(std::vector<Item>& admitted) {
        while (!items.empty() && !exclusiveRunning) {
            bool exclusive = kind != Kind::Concurrent || items.front().exclusive;
            if (exclusive && running > 0) break;
            ++running;
            exclusiveRunning = exclusive;
            Item item = std::move(items.front());
            items.pop_front();
            item.exclusive = exclusive;
            admitted.push_back(std::move(item));
            if (exclusive) break;
        }
    }

    void start(std::vector<Item>& admitted) {
        for (auto& item : admitted) {
            if (item.waiter) {
                std::lock_guard lock(mutex);
                item.waiter->admitted = true;
                item.waiter->cv.notify_one();
                continue;
            }
            auto self = shared_from_this();
            auto run = [self, item = std::move(item)]() mutable { self->runAsync(std::move(item)); };
            if (kind == Kind::Main) {
                RunLoop::main().perform(std::move(run));
            } else {
                WorkerPool::shared().submit(std::move(run));
            }
        }
        admitted.clear();
    }

    void enqueue(Item item) {
        std::vector<Item> admitted;
        {
            std::lock_guard lock(mutex);
            items.push_back(std::move(item));
            admit(admitted);
        }
        start(admitted);
    }

    // Ends one admitted item and starts what may follow. A serial queue goes on with its next
    // async task on this same thread, sparing a hand-over per task.
    bool finish(bool exclusive, Item* next) {
        std::vector<Item> admitted;
        bool hasNext = false;
        {
            std::lock_guard lock(mutex);
            --running;
            if (exclusive) exclusiveRunning = false;
            admit(admitted);
            if (next && kind == Kind::Serial && admitted.size() == 1 && !admitted.front().waiter) {
                *next = std::move(admitted.front());
                admitted.clear();
                hasNext = true;
            }
        }
        start(admitted);
        return hasNext;
    }

    void runAsync(Item item) {
        for (int inline_runs = 0;; ++inline_runs) {
            {
                CurrentMark mark(this);
                item.task();
            }
            item.task = nullptr;
            Item next;
            bool more = finish(item.exclusive, inline_runs < 64 ? &next : nullptr);
            if (!more) return;
            item = std::move(next);
        }
    }

    void runSync(const Task& task, bool barrier) {
        if (onCurrentStack()) {
            if (kind == Kind::Concurrent && !barrier) {
                task();  // a nested read on a concurrent queue already holds its turn
                return;
            }
            std::fprintf(stderr, "platform::DispatchQueue: sync onto the current queue \"%s\" would deadlock\n",
                         label.c_str());
            std::abort();
        }
        if (target) {
            target->runSync([&] {
                CurrentMark mark(this);
                task();
            }, true);
            return;
        }
        if (kind == Kind::Main) {
            // The main queue's tasks run on the thread that drains the main loop.
            if (RunLoop::main().isRunningOnThisThread()) {
                std::fprintf(stderr,
                             "platform::DispatchQueue: sync onto \"%s\" from the thread draining it would deadlock\n",
                             label.c_str());
                std::abort();
            }
            std::mutex doneMutex;
            std::condition_variable doneCv;
            bool done = false;
            enqueue(Item{[&] {
                             task();
                             std::lock_guard lock(doneMutex);
                             done = true;
                             doneCv.notify_one();
                         },
                         false, nullptr});
            std::unique_lock lock(doneMutex);
            doneCv.wait(lock, [&] { return done; });
            return;
        }
        SyncWaiter waiter;
        enqueue(Item{nullptr, barrier, &waiter});
        {
            std::unique_lock lock(mutex);
            waiter.cv.wait(lock, [&] { return waiter.admitted; });
        }
        bool exclusive = kind != Kind::Concurrent || barrier;
        {
            CurrentMark mark(this);
            task();
        }
        finish(exclusive, nullptr);
    }

    bool tryRunSync(const Task& task) {
        if (kind != Kind::Serial || target || onCurrentStack()) return false;
        {
            std::lock_guard lock(mutex);
            if (running > 0 || !items.empty()) return false;
            running = 1;
            exclusiveRunning = true;
        }
        {
            CurrentMark mark(this);
            task();
        }
        finish(true, nullptr);
        return true;
    }

    void runAsyncTask(Task task, bool barrier) {
        if (target) {
            auto self = shared_from_this();
            target->runAsyncTask([self, task = std::move(task)] {
                CurrentMark mark(self.get());
                task();
            }, true);
            return;
        }
        enqueue(Item{std::move(task), barrier, nullptr});
    }
};

thread_local const DispatchQueue::Impl::CurrentMark* DispatchQueue::Impl::innermost = nullptr;

namespace {

std::shared_ptr<DispatchQueue::Impl> makeImpl(std::string label, DispatchQueue::Impl::Kind kind) {
    auto impl = std::make_shared<DispatchQueue::Impl>();
    impl->label = std::move(label);
    impl->kind = kind;
    return impl;
}

}  // namespace

DispatchQueue::DispatchQueue(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(std::string label, std::shared_ptr<DispatchQueue> target) {
    auto impl = makeImpl(std::move(label), Impl::Kind::Serial);
    if (target && target->isSerial()) impl->target = target->impl_;
    std::shared_ptr<DispatchQueue> queue(new DispatchQueue(impl));
    impl->handle = queue;
    return queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::createConcurrent(std::string label) {
    auto impl = makeImpl(std::move(label), Impl::Kind::Concurrent);
    std::shared_ptr<DispatchQueue> queue(new DispatchQueue(impl));
    impl->handle = queue;
    return queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::global(QueuePriority priority) {
    static const auto queues = [] {
        std::vector<std::shared_ptr<DispatchQueue>> all;
        for (const char* name : {"high", "default", "low", "background"}) {
            all.push_back(createConcurrent(std::string("kestrune.global.") + name));
        }
        return new std::vector<std::shared_ptr<DispatchQueue>>(std::move(all));
    }();
    return (*queues)[static_cast<size_t>(priority)];
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static const auto* queue = [] {
        auto impl = makeImpl("kestrune.main", Impl::Kind::Main);
        auto* handle = new std::shared_ptr<DispatchQueue>(new DispatchQueue(impl));
        impl->handle = *handle;
        return handle;
    }();
    return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::current() {
    const auto* mark = Impl::innermost;
    return mark ? mark->impl->handle.lock() : nullptr;
}

const std::string& DispatchQueue::label() const { return impl_->label; }

bool DispatchQueue::isSerial() const { return impl_->kind != Impl::Kind::Concurrent; }

bool DispatchQueue::isCurrent() const { return impl_->onCurrentStack(); }

void DispatchQueue::async(Task task) { impl_->runAsyncTask(std::move(task), false); }

void DispatchQueue::sync(const Task& task) { impl_->runSync(task, false); }

void DispatchQueue::barrierAsync(Task task) { impl_->runAsyncTask(std::move(task), true); }

void DispatchQueue::barrierSync(const Task& task) { impl_->runSync(task, true); }

bool DispatchQueue::trySync(const Task& task) { return impl_->tryRunSync(task); }

void DispatchQueue::after(std::chrono::nanoseconds delay, Task task) {
    auto impl = impl_;
    auto now = Clock::now();
    // Saturated: a delay past the clock's range waits forever instead of overflowing.
    auto due = now + std::clamp(delay, std::chrono::nanoseconds(0),
                                std::chrono::nanoseconds(Clock::time_point::max() - now));
    AfterScheduler::shared().schedule(due, [impl, task = std::move(task)]() mutable {
        impl->runAsyncTask(std::move(task), false);
    });
}

void DispatchQueue::afterSeconds(double seconds, Task task) {
    if (!(seconds > 0)) seconds = 0;  // NaN and negatives fire at once
    seconds = std::min(seconds, 1e9);
    after(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds)),
          std::move(task));
}

}  // namespace platform
