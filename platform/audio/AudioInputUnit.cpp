#include "platform/audio/AudioInputUnit.h"

#include <algorithm>
#include <cstring>

#include "platform/HostClock.h"

namespace platform {

AudioInputUnit::~AudioInputUnit() {
    // Backends stop in their own destructors, while their device still exists; this is the net.
    stop();
}

MediaStatus AudioInputUnit::setEnableInput(uint32_t bus, bool enable) {
    if (bus != kAudioUnitInputBus) return kAudioUnitErrInvalidElement;
    std::lock_guard lock(controlMutex_);
    if (initialized_.load()) return kAudioUnitErrCannotDoInCurrentContext;
    inputEnabled_.store(enable);
    return kMediaNoErr;
}

MediaStatus AudioInputUnit::setStreamFormat(uint32_t bus, const AudioStreamDescription& format) {
    if (bus != kAudioUnitInputBus) return kAudioUnitErrInvalidElement;
    const bool int16Mono = format.isLinearPCM() && format.channelsPerFrame == 1 && format.bitsPerChannel == 16 &&
                           format.bytesPerFrame == 2 && format.framesPerPacket == 1 &&
                           (format.formatFlags & AudioStreamDescription::kFlagIsSignedInteger) &&
                           !(format.formatFlags & AudioStreamDescription::kFlagIsFloat) &&
                           !(format.formatFlags & AudioStreamDescription::kFlagIsBigEndian);
    // Also refuses NaN.
    if (!int16Mono || !(format.sampleRate >= 1)) return kAudioUnitErrFormatNotSupported;
    std::lock_guard lock(controlMutex_);
    if (initialized_.load()) return kAudioUnitErrCannotDoInCurrentContext;
    format_ = format;
    return kMediaNoErr;
}

MediaStatus AudioInputUnit::setInputCallback(uint32_t bus, AudioInputCallback callback, void* refCon) {
    if (bus != kAudioUnitInputBus) return kAudioUnitErrInvalidElement;
    std::lock_guard lock(controlMutex_);
    if (thread_.joinable()) return kAudioUnitErrCannotDoInCurrentContext;
    callback_ = callback;
    refCon_ = refCon;
    return kMediaNoErr;
}

MediaStatus AudioInputUnit::initialize() {
    std::lock_guard lock(controlMutex_);
    if (initialized_.load()) return kMediaNoErr;
    if (!inputEnabled_.load() || !format_.isLinearPCM()) return kAudioUnitErrUninitialized;
    MediaStatus status = kMediaNoErr;
    const double rate = openDevice(format_.sampleRate, &status);
    if (rate <= 0) return status != kMediaNoErr ? status : kAudioUnitErrNoDevice;
    deliveredSampleRate_.store(rate);
    initialized_.store(true);
    return kMediaNoErr;
}

MediaStatus AudioInputUnit::start() {
    std::lock_guard lock(controlMutex_);
    if (!initialized_.load()) return kAudioUnitErrUninitialized;
    if (thread_.joinable()) {
        if (!stopRequested_.load()) return kMediaNoErr;
        // A run that was stopped from inside its own callback can't be collected from there.
        if (thread_.get_id() == std::this_thread::get_id()) return kAudioUnitErrCannotDoInCurrentContext;
        // A run the device ended on its own (or a stop from the callback) is over: collect it.
        thread_.join();
        releaseDevice();
    }
    if (!prepareDevice()) return kAudioUnitErrNoDevice;
    stopRequested_.store(false);
    running_.store(true);
    thread_ = std::thread([this] { runThread(); });
    return kMediaNoErr;
}

MediaStatus AudioInputUnit::stop() {
    std::lock_guard lock(controlMutex_);
    if (!thread_.joinable()) return initialized_.load() ? kMediaNoErr : kAudioUnitErrUninitialized;
    {
        std::lock_guard waitLock(waitMutex_);
        stopRequested_.store(true);
    }
    waitCondition_.notify_all();
    running_.store(false);
    // A stop from inside the callback can't wait for itself; the run ends when the callback returns.
    if (thread_.get_id() == std::this_thread::get_id()) return kAudioUnitErrCannotDoInCurrentContext;
    thread_.join();
    releaseDevice();
    return kMediaNoErr;
}

bool AudioInputUnit::isRunning() const { return running_.load() && !stopRequested_.load(); }

void AudioInputUnit::setDeviceFailureHandler(DeviceFailureHandler handler) {
    std::lock_guard lock(handlerMutex_);
    deviceFailureHandler_ = std::move(handler);
}

void AudioInputUnit::endCaptureFromDevice(MediaStatus reason) {
    stopRequested_.store(true);
    DeviceFailureHandler handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = deviceFailureHandler_;
    }
    if (handler) handler(reason);
}

bool AudioInputUnit::waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(waitMutex_);
    return !waitCondition_.wait_until(lock, deadline, [this] { return stopRequested_.load(); });
}

void AudioInputUnit::runThread() {
    captureThreadId_ = std::this_thread::get_id();
    runCapture();
}

void AudioInputUnit::deliverPeriod(int16_t* samples, uint32_t frames, uint64_t lostBefore) {
    framesCounted_ += lostBefore;
    AudioTimeStamp timeStamp;
    timeStamp.sampleTime = static_cast<double>(framesCounted_);
    timeStamp.hostTime = HostClock::now();
    period_ = samples;
    periodFrames_ = frames;
    if (callback_) {
        AudioUnitRenderActionFlags flags = 0;
        callback_(refCon_, &flags, &timeStamp, kAudioUnitInputBus, frames, nullptr);
    }
    period_ = nullptr;
    periodFrames_ = 0;
    framesCounted_ += frames;
}

MediaStatus AudioInputUnit::render(AudioUnitRenderActionFlags* /*flags*/, const AudioTimeStamp* /*timeStamp*/,
                                   uint32_t bus, uint32_t frames, AudioBufferList* ioData) {
    if (bus != kAudioUnitInputBus) return kAudioUnitErrInvalidElement;
    if (!ioData || ioData->numberBuffers < 1 || ioData->numberBuffers > AudioBufferList::kMaxBuffers) {
        return kMediaErrParam;
    }
    if (std::this_thread::get_id() != captureThreadId_ || !period_) return kAudioUnitErrCannotDoInCurrentContext;
    if (frames > periodFrames_) return kMediaErrParam;
    AudioBuffer& buffer = ioData->buffers[0];
    const uint32_t bytes = frames * 2;
    if (!buffer.data) {
        buffer.data = period_;
        buffer.dataByteSize = bytes;
    } else {
        buffer.dataByteSize = std::min(buffer.dataByteSize, bytes);
        std::memcpy(buffer.data, period_, buffer.dataByteSize);
    }
    buffer.numberChannels = 1;
    return kMediaNoErr;
}

}  // namespace platform
