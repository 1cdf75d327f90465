#pragma once
// Records the microphone through the platform's microphone unit and hands each rendered buffer of
// 16-bit mono PCM to its delegate. Owns the audio-session set-up for recording unless the host
// takes it over, stops and resumes around interruptions, and reports category changes.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "capture/KNAudioCaptureDelegate.h"
#include "kestrune/KNTypes.h"
#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/audio/AudioComponent.h"
#include "platform/audio/AudioInputUnit.h"


class KNAudioCapture : public std::enable_shared_from_this<KNAudioCapture> {
public:
    // Builds everything but does not start. Always answers an object, even when the unit failed.
    static std::shared_ptr<KNAudioCapture> createWithAudioConfiguration();
    // Stops and disposes of the unit. The last owner must not let go from inside the delegate's
    // audio callback: the capture thread can't wait for itself to end.
    ~KNAudioCapture();
    KNAudioCapture(const KNAudioCapture&) = delete;
    KNAudioCapture& operator=(const KNAudioCapture&) = delete;

    std::shared_ptr<KNAudioCaptureDelegate> delegate() const;
    void setDelegate(std::weak_ptr<KNAudioCaptureDelegate> delegate);
    bool muted() const { return muted_.load(); }
    void setMuted(bool muted) { muted_.store(muted); }
    bool running() const { return running_.load(); }
    // YES starts (asynchronously on taskQueue), NO stops (synchronously: once it returns, no audio
    // is delivered); only when the value changes. NO must not be set from taskQueue.
    void setRunning(bool running);
    bool configureAudioSessionManually() const { return configureAudioSessionManually_.load(); }
    // NO also sets the audio session up for recording at once, on the caller's thread.
    void setConfigureAudioSessionManually(bool manually);
    bool isRunning() const { return isRunning_.load(); }
    const std::shared_ptr<platform::DispatchQueue>& taskQueue() const { return taskQueue_; }
    std::shared_ptr<platform::AudioInputUnit> componetInstance() const;
    std::shared_ptr<platform::AudioComponent> component() const;

    // The rate, in Hz, of the PCM the delegate receives: the session's rate at creation, unless
    // the unit could only deliver another. Encode with this rate, never with a configured one.
    uint64_t deliveredSampleRate() const { return deliveredSampleRate_.load(); }

    void endSession();
    // Stops observing, then stops and disposes of the unit synchronously on taskQueue.
    void disposeSession();
    void handleAudioComponentCreationFailure();
    // On taskQueue: the device ended the run on its own. The capture stops (a later setRunning(true)
    // tries again), the failure notification is posted and the delegate told.
    void handleDeviceFailure(platform::MediaStatus reason);
    void handleRouteChange(const platform::Notification& notification);
    void handleInterruption(const platform::Notification& notification);

    // The unit's input callback; `refCon` is the capture.
    static platform::MediaStatus handleInputBuffer(void* refCon, platform::AudioUnitRenderActionFlags* flags,
                                                   const platform::AudioTimeStamp* timeStamp, uint32_t bus,
                                                   uint32_t frames, platform::AudioBufferList* ioData);

    KNAudioCapture();

private:
    void setUpUnit();
    void observeAudioSession();
    void configureAudioSession();
    void startUnit();
    void deliver(const platform::AudioBufferList& buffers, const platform::AudioTimeStamp& timeStamp);

    std::shared_ptr<platform::DispatchQueue> taskQueue_;
    mutable std::mutex mutex_;  // guards delegate_, component_, componetInstance_ and the tokens
    std::weak_ptr<KNAudioCaptureDelegate> delegate_;
    std::shared_ptr<platform::AudioComponent> component_;
    std::shared_ptr<platform::AudioInputUnit> componetInstance_;
    platform::NotificationCenter::Token routeChangeToken_ = 0;
    platform::NotificationCenter::Token interruptionToken_ = 0;

    std::atomic<bool> muted_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> configureAudioSessionManually_{false};
    std::atomic<bool> isRunning_{false};
    std::atomic<uint64_t> deliveredSampleRate_{0};
};
