#include "platform/RunLoop.h"

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/TimerState.h"

namespace platform {

struct RunLoop::Impl {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::function<void()>> work;
    std::vector<std::shared_ptr<Timer>> timers;
    bool stopRequested = false;
    std::thread::id runner;
    int depth = 0;
    int plainRuns = 0;  // run() calls under way: only they answer stop()
};

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPredicatePoll = std::chrono::milliseconds(10);

}  // namespace

RunLoop& RunLoop::main() {
    static RunLoop* loop = new RunLoop();  // outlives every thread that may post to it
    return *loop;
}

namespace {

// The library's thread for the main loop while the host hasn't claimed it; joined at exit, after
// which work queued late stays queued.
class MainLoopService {
public:
    static MainLoopService& shared() {
        static MainLoopService* service = [] {
            auto* made = new MainLoopService();
            std::atexit([] { shared().claim(); });
            return made;
        }();
        return *service;
    }

    void serve() {
        std::lock_guard lock(mutex_);
        if (claimed_ || thread_.joinable()) return;
        thread_ = std::thread([this] { serveLoop(); });
    }
    void claim() {
        {
            std::lock_guard lock(mutex_);
            claimed_ = true;
        }
        end();
    }
    // A thread that drains the main loop has claimed it; the library's own thread, nesting a
    // run inside a task, hasn't.
    void driveFromHere() {
        {
            std::lock_guard lock(mutex_);
            if (claimed_ || thread_.get_id() == std::this_thread::get_id()) return;
        }
        claim();
    }

private:
    void serveLoop() {
        // A stop() meant for a host's run() may end a turn; only end() ends the thread.
        while (!quit_.load()) RunLoop::main().run();
    }
    void end() {
        std::thread thread;
        {
            std::lock_guard lock(mutex_);
            thread.swap(thread_);
        }
        if (!thread.joinable()) return;
        quit_.store(true);
        RunLoop::main().stop();
        thread.join();
    }

    std::mutex mutex_;
    bool claimed_ = false;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

}  // namespace

void RunLoop::claimMain() { MainLoopService::shared().claim(); }

RunLoop& RunLoop::current() {
    if (main().isRunningOnThisThread()) return main();
    thread_local RunLoop loop;
    return loop;
}

RunLoop::RunLoop() : impl_(std::make_unique<Impl>()) {}

RunLoop::~RunLoop() {
    std::vector<std::shared_ptr<Timer>> timers;
    {
        std::lock_guard lock(impl_->mutex);
        timers.swap(impl_->timers);
    }
    for (auto& timer : timers) timer->invalidate();
}

void RunLoop::perform(std::function<void()> work) {
    if (this == &main()) MainLoopService::shared().serve();
    std::lock_guard lock(impl_->mutex);
    impl_->work.push_back(std::move(work));
    impl_->cv.notify_all();
}

void RunLoop::addTimer(std::shared_ptr<Timer> timer) {
    if (this == &main()) MainLoopService::shared().serve();
    std::lock_guard lock(impl_->mutex);
    impl_->timers.push_back(std::move(timer));
    impl_->cv.notify_all();
}

bool RunLoop::isRunningOnThisThread() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->depth > 0 && impl_->runner == std::this_thread::get_id();
}

void RunLoop::stop() {
    std::lock_guard lock(impl_->mutex);
    impl_->stopRequested = true;
    impl_->cv.notify_all();
}

// Runs one piece of work or one due timer, or waits for either until the deadline. Answers
// whether something ran.
bool RunLoop::runOnce(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(impl_->mutex);
    if (!impl_->work.empty()) {
        auto work = std::move(impl_->work.front());
        impl_->work.pop_front();
        lock.unlock();
        work();
        return true;
    }
    auto& timers = impl_->timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(), [](auto& t) { return !t->isValid(); }),
                 timers.end());
    std::shared_ptr<Timer> due;
    auto next = deadline;
    for (auto& timer : timers) {
        auto when = timer->state()->due();
        if (when <= Clock::now()) {
            due = timer;
            break;
        }
        next = std::min(next, when);
    }
    if (due) {
        lock.unlock();
        due->state()->fire(*due);
        return true;
    }
    // A pending stop is run()'s to take; a timed run would spin on it until its deadline.
    if (impl_->stopRequested && impl_->plainRuns > 0) return false;
    impl_->cv.wait_until(lock, next);
    return false;
}

namespace {

struct RunnerMark {
    RunnerMark(std::mutex& mutex, std::thread::id& runner, int& depth) : mutex_(mutex), depth_(depth) {
        std::lock_guard lock(mutex_);
        runner = std::this_thread::get_id();
        ++depth_;
    }
    ~RunnerMark() {
        std::lock_guard lock(mutex_);
        --depth_;
    }
    std::mutex& mutex_;
    int& depth_;
};

}  // namespace

void RunLoop::run() {
    if (this == &main()) MainLoopService::shared().driveFromHere();
    RunnerMark mark(impl_->mutex, impl_->runner, impl_->depth);
    {
        std::lock_guard lock(impl_->mutex);
        ++impl_->plainRuns;
    }
    for (;;) {
        {
            std::lock_guard lock(impl_->mutex);
            if (impl_->stopRequested) {
                impl_->stopRequested = false;
                --impl_->plainRuns;
                return;
            }
        }
        runOnce(Clock::now() + std::chrono::seconds(1));
    }
}

bool RunLoop::runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    if (this == &main()) MainLoopService::shared().driveFromHere();
    RunnerMark mark(impl_->mutex, impl_->runner, impl_->depth);
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (predicate()) return true;
        auto now = Clock::now();
        if (now >= deadline) return predicate();
        runOnce(std::min(deadline, now + kPredicatePoll));
    }
}

void RunLoop::runFor(std::chrono::milliseconds duration) {
    if (this == &main()) MainLoopService::shared().driveFromHere();
    RunnerMark mark(impl_->mutex, impl_->runner, impl_->depth);
    auto deadline = Clock::now() + duration;
    while (Clock::now() < deadline) runOnce(deadline);
}

}  // namespace platform
