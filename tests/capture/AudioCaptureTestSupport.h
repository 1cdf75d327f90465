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
    std::thread::id thread;
};

struct RecordingDelegate : KNAudioCaptureDelegate {
    void captureOutputAudioDataTimestamp(KNAudioCapture*, const Bytes& data, uint64_t timestamp) override {
        if (closed.load()) ++lateCallbacks;
        if (slowFor.count() > 0) std::this_thread::sleep_for(slowFor);
        std::lock_guard lock(mutex);
        deliveries.push_back({*data, timestamp, std::this_thread::get_id()});
        ++count;
    }
    void captureOutputRouteDidChage(KNAudioCapture*) override { ++routeChanges; }
    std::vector<Delivery> taken() {
        std::lock_guard lock(mutex);
        return deliveries;
    }

    std::mutex mutex;
    std::vector<Delivery> deliveries;
    std::atomic<int> count{0};
    std::atomic<int> routeChanges{0};
    // Set by a test once a stop has returned: any delivery then is a late one.
    std::atomic<bool> closed{false};
    std::atomic<int> lateCallbacks{0};
    // Simulates a consumer that takes its time over each buffer.
    std::chrono::milliseconds slowFor{0};
};

// Delivers periods of a ramp as fast as the consumer takes them; its device takes any rate up to
// `maxRate`. Counts the device starts; renders fail while `failRender` is set.
struct ScriptedUnit : platform::AudioInputUnit {
    explicit ScriptedUnit(double maxRate = 1e6, uint32_t frames = 256) : maxRate(maxRate), frames(frames) {}
    ~ScriptedUnit() override { stop(); }
    double openDevice(double rate, platform::MediaStatus* status) override {
        if (failInitialize) *status = platform::kAudioUnitErrNoDevice;
        return failInitialize ? 0 : std::min(rate, maxRate);
    }
    bool prepareDevice() override {
        ++starts;
        return true;
    }
    void runCapture() override {
        std::vector<int16_t> period(frames);
        while (!stopRequested()) {
            for (auto& sample : period) sample = static_cast<int16_t>(next++);
            deliverPeriod(period.data(), frames);
        }
    }
    platform::MediaStatus render(platform::AudioUnitRenderActionFlags* flags, const platform::AudioTimeStamp* ts,
                                 uint32_t bus, uint32_t count, platform::AudioBufferList* io) override {
        ++renders;
        if (failRender.load()) return -1;
        return AudioInputUnit::render(flags, ts, bus, count, io);
    }

    double maxRate;
    uint32_t frames;
    bool failInitialize = false;
    std::atomic<int> starts{0};
    std::atomic<bool> failRender{false};
    std::atomic<int> renders{0};
    int16_t next = 0;
};

// Puts a component making `unit` (or failing with `createStatus`) ahead of the built-in one.
struct ScopedComponent {
    explicit ScopedComponent(std::shared_ptr<ScriptedUnit> unit, platform::MediaStatus createStatus = 0) {
        platform::AudioComponentDescription description;
        description.componentType = platform::kAudioUnitTypeOutput;
        description.componentSubType = platform::kAudioUnitSubTypeMicrophoneIO;
        description.componentManufacturer = platform::kAudioUnitManufacturerSystem;
        component = platform::AudioComponent::registerComponent(
            description, [unit, createStatus](std::shared_ptr<platform::AudioInputUnit>* made) {
                if (createStatus == 0) *made = unit;
                return createStatus;
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

}  // namespace audiotest
