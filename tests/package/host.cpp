// The smallest host: built against the installed package only. It never runs a loop of its own,
// yet the main queue's work and timers reach it.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "kestrune/KNMainLoop.h"

int main() {
    std::mutex mutex;
    std::condition_variable changed;
    int ran = 0;
    auto note = [&] {
        std::lock_guard lock(mutex);
        ++ran;
        changed.notify_all();
    };
    KNMainLoop::async(note);
    KNMainLoop::afterSeconds(0.01, note);
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return ran == 2; })) {
        std::fprintf(stderr, "the main queue ran %d of 2 pieces of work without a host loop\n", ran);
        return 1;
    }
    std::printf("kestrune host: ok\n");
    return 0;
}
