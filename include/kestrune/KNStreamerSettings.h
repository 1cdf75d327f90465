#pragma once
// The push streamer's general switches: local saving and adaptive bitrate. A guarded setter asks
// the observers whether the settings are locked and, when none says so, stores the value and
// tells every observer (also when the value didn't change). Everything runs on the caller's
// thread; any thread may call.
#include <atomic>
#include <memory>

class KNError;
class KNStreamerSettings;
template <class Observer>
class KNObserverList;

// Observers are held weakly: an observer that goes away is skipped.
class KNStreamerSettingsObserver {
public:
    virtual ~KNStreamerSettingsObserver() = default;
    // True to refuse the change; may fill `reason` when given.
    virtual bool streamerSettingsLockedReason(KNStreamerSettings* settings, std::shared_ptr<KNError>* reason) = 0;
    virtual void streamerSettingsDidChangeAdaptiveBitrate(KNStreamerSettings* settings, bool adaptiveBitrate) = 0;
    virtual void streamerSettingsDidChangeLocalSave(KNStreamerSettings* settings, bool localSave) = 0;
};

class KNStreamerSettings {
public:
    // Both switches off.
    static std::shared_ptr<KNStreamerSettings> defaultSettings();
    static std::shared_ptr<KNStreamerSettings> create();
    ~KNStreamerSettings();
    KNStreamerSettings(const KNStreamerSettings&) = delete;
    KNStreamerSettings& operator=(const KNStreamerSettings&) = delete;

    // Duplicates are kept; removal drops every occurrence. An observer added or removed while the
    // observers are being walked takes part from the next walk on.
    void addObserver(const std::shared_ptr<KNStreamerSettingsObserver>& observer);
    void removeObserver(const std::shared_ptr<KNStreamerSettingsObserver>& observer);
    // True at the first observer that answers true.
    bool settingsLockedWithReason(std::shared_ptr<KNError>* reason = nullptr);

    bool localSave() const { return localSave_.load(); }
    // Stores only: no observer is asked or told.
    void setLocalSave(bool value) { localSave_.store(value); }
    // False, with the value kept, when the settings are locked.
    bool setLocalSaveWithError(bool value, std::shared_ptr<KNError>* error = nullptr);
    bool adaptiveBitrate() const { return adaptiveBitrate_.load(); }
    void setAdaptiveBitrate(bool value) { adaptiveBitrate_.store(value); }
    bool setAdaptiveBitrateWithError(bool value, std::shared_ptr<KNError>* error = nullptr);

private:
    KNStreamerSettings();

    std::unique_ptr<KNObserverList<KNStreamerSettingsObserver>> observers_;
    std::atomic<bool> localSave_{false};
    std::atomic<bool> adaptiveBitrate_{false};
};
