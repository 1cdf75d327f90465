#pragma once
// The application's audio session: category and options, the active flag, the preferred and the
// real sample rate. It posts interruption and route-change notifications, with itself as object,
// from a queue of its own, never from a caller's thread.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/DispatchQueue.h"

namespace platform {

extern const char* const kAudioSessionInterruptionNotification;
extern const char* const kAudioSessionRouteChangeNotification;
// User-info keys; the values are int64_t.
extern const char* const kAudioSessionInterruptionTypeKey;
extern const char* const kAudioSessionInterruptionOptionKey;
extern const char* const kAudioSessionRouteChangeReasonKey;

extern const char* const kAudioSessionCategorySoloAmbient;
extern const char* const kAudioSessionCategoryPlayAndRecord;

enum AudioSessionCategoryOptions : uint64_t {
    kAudioSessionCategoryOptionMixWithOthers = 0x1,
    kAudioSessionCategoryOptionDuckOthers = 0x2,
    kAudioSessionCategoryOptionAllowBluetooth = 0x4,
    kAudioSessionCategoryOptionDefaultToSpeaker = 0x8,
    kAudioSessionCategoryOptionInterruptSpokenAudioAndMixWithOthers = 0x11,
};
enum : int64_t {
    kAudioSessionInterruptionTypeEnded = 0,
    kAudioSessionInterruptionTypeBegan = 1,
    kAudioSessionInterruptionOptionShouldResume = 1,
    kAudioSessionSetActiveOptionNotifyOthersOnDeactivation = 1,
};
enum AudioSessionRouteChangeReason : int64_t {
    kAudioSessionRouteChangeReasonUnknown = 0,
    kAudioSessionRouteChangeReasonNewDeviceAvailable = 1,
    kAudioSessionRouteChangeReasonOldDeviceUnavailable = 2,
    kAudioSessionRouteChangeReasonCategoryChange = 3,
    kAudioSessionRouteChangeReasonOverride = 4,
    kAudioSessionRouteChangeReasonWakeFromSleep = 6,
    kAudioSessionRouteChangeReasonNoSuitableRouteForCategory = 7,
    kAudioSessionRouteChangeReasonRouteConfigurationChange = 8,
};

class AudioSession {
public:
    static std::shared_ptr<AudioSession> shared();

    // The rate the microphone hardware runs at, in Hz: the device's own rate (ALSA) or the
    // preferred one once the session is active (the synthetic microphone takes any).
    double sampleRate();
    double preferredSampleRate() const;
    std::string category() const;
    uint64_t categoryOptions() const;
    bool isActive() const;

    // Each answers whether it was taken. A change of category posts a route change (category
    // change); setting the same one again posts nothing.
    bool setPreferredSampleRate(double rate);
    bool setCategoryWithOptions(const std::string& category, uint64_t options);
    bool setActive(bool active);
    bool setActiveWithOptions(bool active, uint64_t options);

    // From the microphone backends (a suspended or unplugged device) and from tests.
    void postInterruption(int64_t type, int64_t options);
    void postRouteChange(int64_t reason);
    // Returns once every notification posted before the call has been delivered.
    void flushNotifications();

    // Test hook: pins the hardware rate (nullopt: the backend's again).
    void setHardwareSampleRate(std::optional<double> rate);
    // Back to the state of a fresh process (inactive, solo ambient, no preferred rate).
    void reset();

    AudioSession();
    AudioSession(const AudioSession&) = delete;
    AudioSession& operator=(const AudioSession&) = delete;

private:
    bool activate(bool active);
    void post(std::string name, const char* key, int64_t value, const char* optionKey = nullptr,
              int64_t option = 0);

    std::shared_ptr<DispatchQueue> notificationQueue_;
    mutable std::mutex mutex_;
    std::string category_;
    uint64_t options_ = 0;
    bool active_ = false;
    double preferredRate_ = 0;
    std::optional<double> pinnedRate_;
    std::optional<double> hardwareRate_;  // probed lazily, again on each activation
};

}  // namespace platform
