#include "kestrune/KNStreamerAudioSettings.h"

#include "kestrune/KNError.h"
#include "recorder/KNObserverList.h"

std::shared_ptr<KNStreamerAudioSettings> KNStreamerAudioSettings::defaultSettings() {
    auto settings = create();
    settings->setSendingAudio(true);
    settings->setSampleRate(kDefaultSampleRate);
    settings->setOutputBitrate(kDefaultOutputBitrate);
    settings->setChannelsNumber(1);
    return settings;
}

std::shared_ptr<KNStreamerAudioSettings> KNStreamerAudioSettings::create() {
    return std::shared_ptr<KNStreamerAudioSettings>(new KNStreamerAudioSettings());
}

KNStreamerAudioSettings::KNStreamerAudioSettings()
    : observers_(std::make_unique<KNObserverList<KNStreamerAudioSettingsObserver>>()) {}

KNStreamerAudioSettings::~KNStreamerAudioSettings() = default;

void KNStreamerAudioSettings::addObserver(const std::shared_ptr<KNStreamerAudioSettingsObserver>& observer) {
    observers_->add(observer);
}

void KNStreamerAudioSettings::removeObserver(const std::shared_ptr<KNStreamerAudioSettingsObserver>& observer) {
    observers_->remove(observer);
}

bool KNStreamerAudioSettings::settingsLockedWithReason(std::shared_ptr<KNError>* reason) {
    return observers_->any([&](auto& o) { return o.streamerAudioSettingsSettingsLockedReason(this, reason); });
}

bool KNStreamerAudioSettings::setSendingAudioWithError(bool value, std::shared_ptr<KNError>* error) {
    if (settingsLockedWithReason(error)) return false;
    sendingAudio_.store(value);
    observers_->each([&](auto& o) { o.streamerAudioSettingsDidChangeSendingAudio(this, value); });
    return true;
}

bool KNStreamerAudioSettings::setSampleRateWithError(uint64_t value, std::shared_ptr<KNError>* error) {
    if (settingsLockedWithReason(error)) return false;
    sampleRate_.store(value);
    observers_->each([&](auto& o) { o.streamerAudioSettingsDidChangeSampleRate(this, value); });
    return true;
}

std::shared_ptr<KNError> KNStreamerAudioSettings::unsupportedChannelsNumberError() {
    return KNError::errorWithCodesMessage({50002}, "Encoder configuration not supprted");
}

// An AAC stream carries at most 8 channels; a larger count would have the encoder size its buffers
// from it.
bool KNStreamerAudioSettings::setChannelsNumberWithError(uint64_t value, std::shared_ptr<KNError>* error) {
    if (!isSupportedChannelsNumber(value)) {
        if (error) *error = unsupportedChannelsNumberError();
        return false;
    }
    if (settingsLockedWithReason(error)) return false;
    channelsNumber_.store(value);
    observers_->each([&](auto& o) { o.streamerAudioSettingsDidChangeChannelsNumber(this, value); });
    return true;
}

void KNStreamerAudioSettings::setOutputBitrate(uint64_t value) {
    outputBitrate_.store(value);
    observers_->each([&](auto& o) { o.streamerAudioSettingsDidChangeBitrate(this, value); });
}
