#include "kestrune/KNStreamerSettings.h"

#include "recorder/KNObserverList.h"

std::shared_ptr<KNStreamerSettings> KNStreamerSettings::defaultSettings() { return create(); }

std::shared_ptr<KNStreamerSettings> KNStreamerSettings::create() {
    return std::shared_ptr<KNStreamerSettings>(new KNStreamerSettings());
}

KNStreamerSettings::KNStreamerSettings() : observers_(std::make_unique<KNObserverList<KNStreamerSettingsObserver>>()) {}

KNStreamerSettings::~KNStreamerSettings() = default;

void KNStreamerSettings::addObserver(const std::shared_ptr<KNStreamerSettingsObserver>& observer) {
    observers_->add(observer);
}

void KNStreamerSettings::removeObserver(const std::shared_ptr<KNStreamerSettingsObserver>& observer) {
    observers_->remove(observer);
}

bool KNStreamerSettings::settingsLockedWithReason(std::shared_ptr<KNError>* reason) {
    return observers_->any([&](auto& o) { return o.streamerSettingsLockedReason(this, reason); });
}

bool KNStreamerSettings::setLocalSaveWithError(bool value, std::shared_ptr<KNError>* error) {
    if (settingsLockedWithReason(error)) return false;
    localSave_.store(value);
    observers_->each([&](auto& o) { o.streamerSettingsDidChangeLocalSave(this, value); });
    return true;
}

bool KNStreamerSettings::setAdaptiveBitrateWithError(bool value, std::shared_ptr<KNError>* error) {
    if (settingsLockedWithReason(error)) return false;
    adaptiveBitrate_.store(value);
    observers_->each([&](auto& o) { o.streamerSettingsDidChangeAdaptiveBitrate(this, value); });
    return true;
}
