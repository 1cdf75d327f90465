#pragma once
// The library's main queue, for a host that gives its main thread to the library: completions and
// reports said to arrive "on the main queue", and the stream ticker, run where this loop runs.
#include <chrono>
#include <functional>

class KNMainLoop {
public:
    // Runs the loop on the calling thread until stop().
    static void run();
    // Runs it until the condition holds or the time-out passes; answers the condition's last value.
    static bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
    static void stop();
    // Queues work for the loop (any thread).
    static void async(std::function<void()> work);
    static void afterSeconds(double seconds, std::function<void()> work);
};
