#include "platform/audio/AudioSession.h"

#include "platform/NotificationCenter.h"
#include "platform/audio/AudioComponent.h"

namespace platform {

const char* const kAudioSessionInterruptionNotification = "AudioSessionInterruptionNotification";
const char* const kAudioSessionRouteChangeNotification = "AudioSessionRouteChangeNotification";
const char* const kAudioSessionInterruptionTypeKey = "AudioSessionInterruptionTypeKey";
const char* const kAudioSessionInterruptionOptionKey = "AudioSessionInterruptionOptionKey";
const char* const kAudioSessionRouteChangeReasonKey = "AudioSessionRouteChangeReasonKey";
const char* const kAudioSessionCategorySoloAmbient = "SoloAmbient";
const char* const kAudioSessionCategoryPlayAndRecord = "PlayAndRecord";

namespace {
// What the hardware runs at when nothing else is known.
constexpr double kFallbackSampleRate = 48000;
constexpr double kMinSampleRate = 8000;
constexpr double kMaxSampleRate = 192000;
}  // namespace

std::shared_ptr<AudioSession> AudioSession::shared() {
    // Never destroyed: queue threads may still post while the process exits.
    static auto* session = new std::shared_ptr<AudioSession>(std::make_shared<AudioSession>());
    return *session;
}

AudioSession::AudioSession()
    : notificationQueue_(DispatchQueue::createSerial("com.kestrune.audioSession.notifications")),
      category_(kAudioSessionCategorySoloAmbient) {}

double AudioSession::sampleRate() {
    std::lock_guard lock(mutex_);
    if (pinnedRate_) return *pinnedRate_;
    if (!hardwareRate_) {
        const double asked = active_ && preferredRate_ > 0 ? preferredRate_ : kFallbackSampleRate;
        const double probed = AudioComponent::hardwareSampleRate(asked);
        hardwareRate_ = probed > 0 ? probed : kFallbackSampleRate;
    }
    return *hardwareRate_;
}

double AudioSession::preferredSampleRate() const {
    std::lock_guard lock(mutex_);
    return preferredRate_;
}

std::string AudioSession::category() const {
    std::lock_guard lock(mutex_);
    return category_;
}

uint64_t AudioSession::categoryOptions() const {
    std::lock_guard lock(mutex_);
    return options_;
}

bool AudioSession::isActive() const {
    std::lock_guard lock(mutex_);
    return active_;
}

bool AudioSession::setPreferredSampleRate(double rate) {
    if (!(rate >= kMinSampleRate && rate <= kMaxSampleRate)) return false;
    std::lock_guard lock(mutex_);
    preferredRate_ = rate;
    return true;
}

bool AudioSession::setCategoryWithOptions(const std::string& category, uint64_t options) {
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        changed = category != category_;
        category_ = category;
        options_ = options;
    }
    if (changed) postRouteChange(kAudioSessionRouteChangeReasonCategoryChange);
    return true;
}

bool AudioSession::setActive(bool active) {
    return activate(active);
}

bool AudioSession::setActiveWithOptions(bool active, uint64_t /*options*/) {
    return activate(active);
}

bool AudioSession::activate(bool active) {
    std::lock_guard lock(mutex_);
    // The hardware settles on a rate again each time the session becomes active.
    if (active && !active_) hardwareRate_.reset();
    active_ = active;
    return true;
}

void AudioSession::postInterruption(int64_t type, int64_t options) {
    post(kAudioSessionInterruptionNotification, kAudioSessionInterruptionTypeKey, type,
         type == kAudioSessionInterruptionTypeEnded ? kAudioSessionInterruptionOptionKey : nullptr, options);
}

void AudioSession::postRouteChange(int64_t reason) {
    post(kAudioSessionRouteChangeNotification, kAudioSessionRouteChangeReasonKey, reason);
}

void AudioSession::post(std::string name, const char* key, int64_t value, const char* optionKey, int64_t option) {
    UserInfo userInfo{{key, value}};
    if (optionKey) userInfo[optionKey] = option;
    notificationQueue_->async([name = std::move(name), userInfo = std::move(userInfo)] {
        NotificationCenter::defaultCenter().post(name, shared(), userInfo);
    });
}

void AudioSession::flushNotifications() {
    notificationQueue_->sync([] {});
}

void AudioSession::setHardwareSampleRate(std::optional<double> rate) {
    std::lock_guard lock(mutex_);
    pinnedRate_ = rate;
    hardwareRate_.reset();
}

void AudioSession::reset() {
    std::lock_guard lock(mutex_);
    category_ = kAudioSessionCategorySoloAmbient;
    options_ = 0;
    active_ = false;
    preferredRate_ = 0;
    pinnedRate_.reset();
    hardwareRate_.reset();
}

}  // namespace platform
