#pragma once
// The microphone unit: a capture thread that calls an input callback with each period of 16-bit
// mono PCM, which the callback renders into memory of the unit's own. Backends (the synthetic
// tone, ALSA) supply the device; this class owns the thread, the properties and the render.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/media/AudioConverter.h"
#include "platform/media/FormatDescription.h"
#include "platform/media/MediaStatus.h"

namespace platform {

constexpr MediaStatus kAudioUnitErrInvalidProperty = -10879;
constexpr MediaStatus kAudioUnitErrInvalidElement = -10877;
constexpr MediaStatus kAudioUnitErrUninitialized = -10867;
constexpr MediaStatus kAudioUnitErrFormatNotSupported = -10868;
constexpr MediaStatus kAudioUnitErrCannotDoInCurrentContext = -10863;
constexpr MediaStatus kAudioUnitErrNoDevice = -10851;

// The element that carries the microphone's input.
constexpr uint32_t kAudioUnitInputBus = 1;

struct AudioTimeStamp {
    double sampleTime = 0;  // frames of the unit's clock since it was made
    double hostTime = 0;    // HostClock seconds when the period was captured
};

using AudioUnitRenderActionFlags = uint32_t;
// Called on the unit's capture thread with the frames available; the callback renders them.
using AudioInputCallback = MediaStatus (*)(void* refCon, AudioUnitRenderActionFlags* flags,
                                           const AudioTimeStamp* timeStamp, uint32_t bus, uint32_t frames,
                                           AudioBufferList* ioData);

class AudioInputUnit {
public:
    // The most frames one callback carries.
    static constexpr uint32_t kMaxFramesPerPeriod = 1024;

    virtual ~AudioInputUnit();
    AudioInputUnit(const AudioInputUnit&) = delete;
    AudioInputUnit& operator=(const AudioInputUnit&) = delete;

    MediaStatus setEnableInput(uint32_t bus, bool enable);
    // Only packed signed 16-bit mono linear PCM; the rate is what the unit is asked to deliver.
    MediaStatus setStreamFormat(uint32_t bus, const AudioStreamDescription& format);
    MediaStatus setInputCallback(uint32_t bus, AudioInputCallback callback, void* refCon);
    // Opens the device at the format's rate (or the nearest it takes).
    MediaStatus initialize();
    bool isInitialized() const { return initialized_.load(); }
    // The rate of the frames the callback gets: the asked rate unless the device can't take it.
    // 0 before initialize().
    double deliveredSampleRate() const { return deliveredSampleRate_.load(); }

    // Starting a started unit does nothing.
    MediaStatus start();
    // Returns once the capture thread has ended: no callback runs after it, nor overlaps it.
    // From inside the callback it can't wait for itself: the run ends when the callback returns.
    // Backends call it in their destructors, while their device still exists.
    MediaStatus stop();
    // Started and not stopped; a device that went away ends the run early.
    bool isRunning() const;
    // Called on the capture thread when the device ends a run on its own (unplugged, broken), with
    // the reason; stop() still has to collect the run. The handler must not wait for the unit.
    using DeviceFailureHandler = std::function<void(MediaStatus reason)>;
    void setDeviceFailureHandler(DeviceFailureHandler handler);

    // Only from inside the input callback. A buffer without memory is pointed at the unit's own
    // (valid, and writable, until the callback returns); one with memory gets a copy of at most
    // its size. Sizes become frames x 2 bytes.
    virtual MediaStatus render(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timeStamp, uint32_t bus,
                               uint32_t frames, AudioBufferList* ioData);

protected:
    AudioInputUnit() = default;

    // Opens the device for 16-bit mono near `rate`; answers the rate it delivers, or 0 on failure
    // with the status in *status.
    virtual double openDevice(double rate, MediaStatus* status) = 0;
    // Readies the device for a capture run (on the caller of start()); false refuses the start.
    virtual bool prepareDevice() { return true; }
    // The capture thread's body: deliver periods until stopRequested(), then return.
    virtual void runCapture() = 0;
    // Stops the device after the capture thread has ended.
    virtual void releaseDevice() {}

    bool stopRequested() const { return stopRequested_.load(); }
    // Sleeps until `deadline` (steady clock) or a stop; false on a stop.
    bool waitUntil(std::chrono::steady_clock::time_point deadline);
    // Hands one period to the callback, stamped with the unit's frame count, then counts it (plus
    // `lostBefore` frames the device dropped ahead of it). The callback may write into `samples`.
    void deliverPeriod(int16_t* samples, uint32_t frames, uint64_t lostBefore = 0);
    // Stops the unit's run from inside the capture thread (the device is gone) and says so.
    void endCaptureFromDevice(MediaStatus reason = kAudioUnitErrNoDevice);

private:
    void runThread();

    std::mutex controlMutex_;  // start, stop, initialize
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};
    std::mutex waitMutex_;
    std::condition_variable waitCondition_;

    std::mutex handlerMutex_;
    DeviceFailureHandler deviceFailureHandler_;

    std::atomic<bool> inputEnabled_{false};
    std::atomic<bool> initialized_{false};
    std::atomic<double> deliveredSampleRate_{0};
    AudioStreamDescription format_;
    AudioInputCallback callback_ = nullptr;
    void* refCon_ = nullptr;

    // Capture thread only.
    uint64_t framesCounted_ = 0;
    int16_t* period_ = nullptr;
    uint32_t periodFrames_ = 0;
    std::thread::id captureThreadId_;
};

}  // namespace platform
