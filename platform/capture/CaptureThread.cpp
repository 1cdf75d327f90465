#include "platform/capture/CaptureThread.h"

#include <time.h>

#include <chrono>

namespace platform {

int64_t CaptureThread::nowNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

bool CaptureThread::start(std::function<void()> body) {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) return false;
    stopping_ = false;
    thread_ = std::thread(std::move(body));
    return true;
}

void CaptureThread::stop() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        thread = std::move(thread_);
    }
    wake_.notify_all();
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) thread.detach();
    else thread.join();
}

bool CaptureThread::stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
}

bool CaptureThread::sleepUntil(int64_t deadlineNs, const std::function<bool()>& woken) {
    // steady_clock is CLOCK_MONOTONIC here.
    const auto deadline = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadlineNs));
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, deadline, [&] { return stopping_ || (woken && woken()); });
    return !stopping_;
}

void CaptureThread::wake() {
    { std::lock_guard lock(mutex_); }
    wake_.notify_all();
}

}  // namespace platform
