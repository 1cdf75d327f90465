#pragma once
// The library's main queue, for a host that gives its main thread to the library: completions and
// reports said to arrive "on the main queue", and the stream ticker, run where this loop runs.
//
// By default a thread of the library's runs it, started the first time work is queued for it: a
// host that never runs a loop still gets every report and completion. A host that wants them on
// its own thread calls claimForHost() before it creates or starts anything, then drives the loop
// with run() or runUntil().
#include <chrono>
#include <functional>

class KNMainLoop {
public:
    // From now on only the host's run() and runUntil() drain the loop.
    static void claimForHost();
    // Runs the loop on the calling thread until stop().
    static void run();
    // Runs it until the condition holds or the time-out passes; answers the condition's last value.
    static bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
    static void stop();
    // Queues work for the loop (any thread).
    static void async(std::function<void()> work);
    static void afterSeconds(double seconds, std::function<void()> work);
};
