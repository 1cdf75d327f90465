#pragma once
// The push streamer's audio settings: the switch copied into new destinations, sample rate,
// channels and bitrate. Guarded setters behave as in KNStreamerSettings; the bitrate is never
// locked but its observers are told.
#include <atomic>
#include <cstdint>
#include <memory>

class KNError;
class KNStreamerAudioSettings;
template <class Observer>
class KNObserverList;

// Held weakly. Only the lock query is required.
class KNStreamerAudioSettingsObserver {
public:
    virtual ~KNStreamerAudioSettingsObserver() = default;
    virtual bool streamerAudioSettingsSettingsLockedReason(KNStreamerAudioSettings* settings,
                                                           std::shared_ptr<KNError>* reason) = 0;
    virtual void streamerAudioSettingsDidChangeSendingAudio(KNStreamerAudioSettings*, bool) {}
    virtual void streamerAudioSettingsDidChangeBitrate(KNStreamerAudioSettings*, uint64_t) {}
    virtual void streamerAudioSettingsDidChangeSampleRate(KNStreamerAudioSettings*, uint64_t) {}
    virtual void streamerAudioSettingsDidChangeChannelsNumber(KNStreamerAudioSettings*, uint64_t) {}
};

class KNStreamerAudioSettings {
public:
    static constexpr uint64_t kDefaultSampleRate = 48000;      // Hz
    static constexpr uint64_t kDefaultOutputBitrate = 131072;  // bits per second

    // Sending audio, 48000 Hz, mono, 131072 bits per second.
    static std::shared_ptr<KNStreamerAudioSettings> defaultSettings();
    static std::shared_ptr<KNStreamerAudioSettings> create();
    ~KNStreamerAudioSettings();
    KNStreamerAudioSettings(const KNStreamerAudioSettings&) = delete;
    KNStreamerAudioSettings& operator=(const KNStreamerAudioSettings&) = delete;

    void addObserver(const std::shared_ptr<KNStreamerAudioSettingsObserver>& observer);
    void removeObserver(const std::shared_ptr<KNStreamerAudioSettingsObserver>& observer);
    bool settingsLockedWithReason(std::shared_ptr<KNError>* reason = nullptr);

    // The plain setters store only; the ...WithError ones ask, store and tell (false when locked).
    bool sendingAudio() const { return sendingAudio_.load(); }
    void setSendingAudio(bool value) { sendingAudio_.store(value); }
    bool setSendingAudioWithError(bool value, std::shared_ptr<KNError>* error = nullptr);
    uint64_t sampleRate() const { return sampleRate_.load(); }
    void setSampleRate(uint64_t value) { sampleRate_.store(value); }
    bool setSampleRateWithError(uint64_t value, std::shared_ptr<KNError>* error = nullptr);
    // 1 to kMaxChannelsNumber. The guarded setter refuses any other count with error 50002
    // "Encoder configuration not supprted", before asking the observers; a count stored through the
    // plain setter makes the streamer's start fail with the same error.
    static constexpr uint64_t kMaxChannelsNumber = 8;
    static bool isSupportedChannelsNumber(uint64_t value) { return value >= 1 && value <= kMaxChannelsNumber; }
    static std::shared_ptr<KNError> unsupportedChannelsNumberError();
    uint64_t channelsNumber() const { return channelsNumber_.load(); }
    void setChannelsNumber(uint64_t value) { channelsNumber_.store(value); }
    bool setChannelsNumberWithError(uint64_t value, std::shared_ptr<KNError>* error = nullptr);
    // Bits per second; stored and told in any state.
    uint64_t outputBitrate() const { return outputBitrate_.load(); }
    void setOutputBitrate(uint64_t value);

private:
    KNStreamerAudioSettings();

    std::unique_ptr<KNObserverList<KNStreamerAudioSettingsObserver>> observers_;
    std::atomic<bool> sendingAudio_{false};
    std::atomic<uint64_t> sampleRate_{0};
    std::atomic<uint64_t> channelsNumber_{0};
    std::atomic<uint64_t> outputBitrate_{0};
};
