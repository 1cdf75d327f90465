#pragma once
// The push streamer's video settings: resolution (0 for the custom frame size), portrait
// inversion, the switch copied into new destinations, and the bitrate. Guarded setters behave as
// in KNStreamerSettings; the bitrate is never locked but its observers are told.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "kestrune/KNTypes.h"

class KNError;
class KNStreamerVideoSettings;
template <class Observer>
class KNObserverList;

// Held weakly. Only the lock query is required.
class KNStreamerVideoSettingsObserver {
public:
    virtual ~KNStreamerVideoSettingsObserver() = default;
    virtual bool streamerVideoSettingsSettingsLockedReason(KNStreamerVideoSettings* settings,
                                                           std::shared_ptr<KNError>* reason) = 0;
    virtual void streamerVideoSettingsDidChangeResolution(KNStreamerVideoSettings*, int64_t) {}
    virtual void streamerVideoSettingsDidChangeVideoFrameSize(KNStreamerVideoSettings*, KNVideoFrameSize) {}
    virtual void streamerVideoSettingsDidChangeResolutionInverted(KNStreamerVideoSettings*, bool) {}
    virtual void streamerVideoSettingsDidChangeSendingVideo(KNStreamerVideoSettings*, bool) {}
    virtual void streamerVideoSettingsDidChangeOutputBitrate(KNStreamerVideoSettings*, int64_t) {}
};

class KNStreamerVideoSettings {
public:
    static constexpr int64_t kDefaultOutputBitrate = 10485760;  // bits per second

    // 1280x720, not inverted, sending video, 10485760 bits per second.
    static std::shared_ptr<KNStreamerVideoSettings> defaultSettings();
    static std::shared_ptr<KNStreamerVideoSettings> create();
    ~KNStreamerVideoSettings();
    KNStreamerVideoSettings(const KNStreamerVideoSettings&) = delete;
    KNStreamerVideoSettings& operator=(const KNStreamerVideoSettings&) = delete;

    void addObserver(const std::shared_ptr<KNStreamerVideoSettingsObserver>& observer);
    void removeObserver(const std::shared_ptr<KNStreamerVideoSettingsObserver>& observer);
    bool settingsLockedWithReason(std::shared_ptr<KNError>* reason = nullptr);

    // The plain setters store only; the ...WithError ones ask, store and tell (false when locked).
    int64_t resolution() const { return resolution_.load(); }
    void setResolution(int64_t value) { resolution_.store(value); }
    bool setResolutionWithError(int64_t value, std::shared_ptr<KNError>* error = nullptr);
    // Used when the resolution is 0.
    KNVideoFrameSize videoFrameSize() const;
    bool setVideoFrameSizeWithError(KNVideoFrameSize value, std::shared_ptr<KNError>* error = nullptr);
    bool resolutionInverted() const { return resolutionInverted_.load(); }
    void setResolutionInverted(bool value) { resolutionInverted_.store(value); }
    bool setResolutionInvertedWithError(bool value, std::shared_ptr<KNError>* error = nullptr);
    bool sendingVideo() const { return sendingVideo_.load(); }
    void setSendingVideo(bool value) { sendingVideo_.store(value); }
    bool setSendingVideoWithError(bool value, std::shared_ptr<KNError>* error = nullptr);
    // Bits per second; stored and told in any state.
    int64_t outputBitrate() const { return outputBitrate_.load(); }
    void setOutputBitrate(int64_t value);

    // The resolution's table size (0x0 for one the table lacks), or the custom size for 0;
    // inversion not applied.
    platform::Size resolutionSize() const;

private:
    KNStreamerVideoSettings();

    std::unique_ptr<KNObserverList<KNStreamerVideoSettingsObserver>> observers_;
    std::atomic<int64_t> resolution_{0};
    std::atomic<bool> resolutionInverted_{false};
    std::atomic<bool> sendingVideo_{false};
    std::atomic<int64_t> outputBitrate_{0};
    mutable std::mutex frameSizeMutex_;
    KNVideoFrameSize videoFrameSize_{};
};
