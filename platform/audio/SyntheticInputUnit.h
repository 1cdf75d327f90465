#pragma once
// A microphone without hardware: a 440 Hz tone, one period every period's length of the monotonic
// clock, so time stamps and pacing look like a real device's.
#include <cstdint>
#include <vector>

#include "platform/audio/AudioInputUnit.h"

namespace platform {

class SyntheticInputUnit : public AudioInputUnit {
public:
    static constexpr double kToneHz = 440;
    static constexpr int16_t kToneAmplitude = 8000;

    SyntheticInputUnit() = default;
    ~SyntheticInputUnit() override;

    // The rate it delivers when asked for `rate`: any rate from 8 to 192 kHz, rounded to a whole
    // number (48000 for a rate that is not a number).
    static double nearestSampleRate(double rate);
    // Frames per callback: 10 ms, as a real microphone's periods, at most kMaxFramesPerPeriod.
    uint32_t periodFrames() const { return periodFrames_; }

protected:
    double openDevice(double rate, MediaStatus* status) override;
    void runCapture() override;

private:
    double rate_ = 0;
    uint32_t periodFrames_ = 0;
    // Capture thread only: the tone's phase carries over from period to period and run to run.
    uint64_t toneFrame_ = 0;
    std::vector<int16_t> period_;
};

}  // namespace platform
