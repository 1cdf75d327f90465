#include "kestrune/KNMainLoop.h"

#include "platform/DispatchQueue.h"
#include "platform/RunLoop.h"

void KNMainLoop::claimForHost() { platform::RunLoop::claimMain(); }

void KNMainLoop::run() { platform::RunLoop::main().run(); }

bool KNMainLoop::runUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return platform::RunLoop::main().runUntil(condition, timeout);
}

void KNMainLoop::stop() { platform::RunLoop::main().stop(); }

void KNMainLoop::async(std::function<void()> work) { platform::DispatchQueue::main()->async(std::move(work)); }

void KNMainLoop::afterSeconds(double seconds, std::function<void()> work) {
    platform::DispatchQueue::main()->afterSeconds(seconds, std::move(work));
}
