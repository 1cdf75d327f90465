#pragma once
// A delegate that records what the microphone hands it, and a scripted microphone unit put ahead
// of the built-in one for a test's lifetime.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/KNAudioCapture.h"
#include "platform/audio/AudioComponent.h"
#include "platform/audio/AudioSession.h"

namespace audiotest {

struct Delivery {
    std::vector<uint8_t> bytes;
    uint64_t timestamp = 0;
};

struct RecordingDelegate : KNAudioCaptureDelegate {
    void captureOutputAudioDataTimestamp(KNAudioCapture*, const Bytes& data, uint64_t timestamp) override {
        if (closed.load()) ++lateCallbacks;
        std::this_thread::sleep_for(slowFor);
        std::lock_guard lock(mutex);
        deliveries.push_back({*data, timestamp});
        bytes += data->size();
        ++count;
    }
    void captureOutputRouteDidChage(KNAudioCapture*) override { ++routeChanges; }
    void captureOutputDidFail(KNAudioCapture*) override { ++failures; }
    std::vector<Delivery> taken() {
        std::lock_guard lock(mutex);
        return deliveries;
    }

    std::mutex mutex;
    std::vector<Delivery> deliveries;
    std::atomic<int> count{0};
    std::atomic<size_t> bytes{0};
    std::atomic<int> routeChanges{0};
    std::atomic<int> failures{0};
    // Set once a stop has returned: a delivery after it is a late one.
    std::atomic<bool> closed{false};
    std::atomic<int> lateCallbacks{0};
    // A consumer that takes its time over each buffer.
    std::chrono::milliseconds slowFor{0};
};

// Delivers 256-frame periods of a ramp as fast as they are taken, at any rate.
struct ScriptedUnit : platform::AudioInputUnit {
    ~ScriptedUnit() override { stop(); }
    double openDevice(double rate, platform::MediaStatus*) override { return rate; }
    bool prepareDevice() override { return ++starts > 0; }
    void runCapture() override {
        std::vector<int16_t> period(256);
        while (!stopRequested()) {
            for (auto& sample : period) sample = static_cast<int16_t>(next++);
            deliverPeriod(period.data(), 256);
        }
    }

    std::atomic<int> starts{0};
    int next = 0;
};

// Puts a component making `unit` ahead of the built-in one.
struct ScopedComponent {
    explicit ScopedComponent(std::shared_ptr<platform::AudioInputUnit> unit) {
        platform::AudioComponentDescription description{platform::kAudioUnitTypeOutput,
                                                        platform::kAudioUnitSubTypeMicrophoneIO,
                                                        platform::kAudioUnitManufacturerSystem, 0, 0};
        component = platform::AudioComponent::registerComponent(
            description, [unit](std::shared_ptr<platform::AudioInputUnit>* made) {
                *made = unit;
                return platform::MediaStatus{0};
            });
    }
    ~ScopedComponent() { platform::AudioComponent::unregisterComponent(component); }
    std::shared_ptr<platform::AudioComponent> component;
};

// The built-in microphone is the synthetic tone, at a known rate, with a fresh session.
inline void useSyntheticMicrophone(double rate) {
    setenv("KESTRUNE_AUDIO_BACKEND", "synthetic", 1);
    auto session = platform::AudioSession::shared();
    session->reset();
    session->setHardwareSampleRate(rate);
}

inline std::shared_ptr<KNAudioCapture> makeCapture(const std::shared_ptr<RecordingDelegate>& delegate) {
    auto capture = KNAudioCapture::createWithAudioConfiguration();
    capture->setConfigureAudioSessionManually(true);
    capture->setDelegate(delegate);
    return capture;
}

}  // namespace audiotest
