#include "platform/audio/SyntheticInputUnit.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

namespace platform {

SyntheticInputUnit::~SyntheticInputUnit() { stop(); }

double SyntheticInputUnit::nearestSampleRate(double rate) {
    if (std::isnan(rate)) return 48000;
    return std::round(std::clamp(rate, 8000.0, 192000.0));
}

double SyntheticInputUnit::openDevice(double rate, MediaStatus* /*status*/) {
    rate_ = nearestSampleRate(rate);
    periodFrames_ = std::min<uint32_t>(kMaxFramesPerPeriod, static_cast<uint32_t>(rate_ / 100));
    period_.assign(periodFrames_, 0);
    return rate_;
}

void SyntheticInputUnit::runCapture() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point begin = Clock::now();
    uint64_t framesThisRun = 0;
    while (!stopRequested()) {
        // A period is ready once its last frame would have been captured.
        framesThisRun += periodFrames_;
        const auto due = begin + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(static_cast<double>(framesThisRun) / rate_));
        if (!waitUntil(due)) break;
        const auto framesPerSecond = static_cast<uint64_t>(rate_);
        for (int16_t& sample : period_) {
            // A whole number of cycles fits a second: wrapping there keeps the phase exact.
            toneFrame_ = (toneFrame_ + 1) % framesPerSecond;
            const double phase = 2 * std::numbers::pi * kToneHz * static_cast<double>(toneFrame_) / rate_;
            sample = static_cast<int16_t>(std::lround(kToneAmplitude * std::sin(phase)));
        }
        deliverPeriod(period_.data(), periodFrames_);
    }
}

}  // namespace platform
