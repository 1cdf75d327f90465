#pragma once
// The thread a camera backend streams on: started once, stopped (and joined) from any other
// thread, or from its own, where it is let go to end when its body returns.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace platform {

class CaptureThread {
public:
    // CLOCK_MONOTONIC, the time base of captured frames.
    static int64_t nowNanoseconds();

    CaptureThread() = default;
    ~CaptureThread() { stop(); }
    CaptureThread(const CaptureThread&) = delete;
    CaptureThread& operator=(const CaptureThread&) = delete;

    // False while a body still runs.
    bool start(std::function<void()> body);
    void stop();
    bool stopping();
    // Sleeps until the monotonic deadline, a stop, or a wake() after which `woken` holds (checked
    // under the thread's lock). False once stopping.
    bool sleepUntil(int64_t deadlineNs, const std::function<bool()>& woken);
    void wake();

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace platform
