#include "kestrune/KNStreamerVideoSettings.h"

#include "core/KNUtils.h"
#include "recorder/KNObserverList.h"

std::shared_ptr<KNStreamerVideoSettings> KNStreamerVideoSettings::defaultSettings() {
    auto settings = create();
    settings->setResolution(KNVideoFrameResolution1280x720);
    settings->setResolutionInverted(false);
    settings->setSendingVideo(true);
    settings->setOutputBitrate(kDefaultOutputBitrate);
    return settings;
}

std::shared_ptr<KNStreamerVideoSettings> KNStreamerVideoSettings::create() {
    return std::shared_ptr<KNStreamerVideoSettings>(new KNStreamerVideoSettings());
}

KNStreamerVideoSettings::KNStreamerVideoSettings()
    : observers_(std::make_unique<KNObserverList<KNStreamerVideoSettingsObserver>>()) {}

KNStreamerVideoSettings::~KNStreamerVideoSettings() = default;

void KNStreamerVideoSettings::addObserver(const std::shared_ptr<KNStreamerVideoSettingsObserver>& observer) {
    observers_->add(observer);
}

void KNStreamerVideoSettings::removeObserver(const std::shared_ptr<KNStreamerVideoSettingsObserver>& observer) {
    observers_->remove(observer);
}

bool KNStreamerVideoSettings::settingsLockedWithReason(std::shared_ptr<KNError>* reason) {
    return observers_->any([&](auto& o) { return o.streamerVideoSettingsSettingsLockedReason(this, reason); });
}

bool KNStreamerVideoSettings::setResolutionWithError(int64_t value, std::shared_ptr<KNError>* error) {
    if (settingsLockedWithReason(error)) return false;
    resolution_.store(value);
    observers_->each([&](auto& o) { o.streamerVideoSettingsDidChangeResolution(this, value); });
    return true;
}

KNVideoFrameSize KNStreamerVideoSettings::videoFrameSize() const {
    std::lock_guard lock(frameSizeMutex_);
    return videoFrameSize_;
}

bool KNStreamerVideoSettings::setVideoFrameSizeWithError(KNVideoFrameSize value, std::shared_ptr<KNError>* error) {
    if (settingsLockedWithReason(error)) return false;
    {
        std::lock_guard lock(frameSizeMutex_);
        videoFrameSize_ = value;
    }
    observers_->each([&](auto& o) { o.streamerVideoSettingsDidChangeVideoFrameSize(this, value); });
    return true;
}

bool KNStreamerVideoSettings::setResolutionInvertedWithError(bool value, std::shared_ptr<KNError>* error) {
    if (settingsLockedWithReason(error)) return false;
    resolutionInverted_.store(value);
    observers_->each([&](auto& o) { o.streamerVideoSettingsDidChangeResolutionInverted(this, value); });
    return true;
}

bool KNStreamerVideoSettings::setSendingVideoWithError(bool value, std::shared_ptr<KNError>* error) {
    if (settingsLockedWithReason(error)) return false;
    sendingVideo_.store(value);
    observers_->each([&](auto& o) { o.streamerVideoSettingsDidChangeSendingVideo(this, value); });
    return true;
}

void KNStreamerVideoSettings::setOutputBitrate(int64_t value) {
    outputBitrate_.store(value);
    observers_->each([&](auto& o) { o.streamerVideoSettingsDidChangeOutputBitrate(this, value); });
}

platform::Size KNStreamerVideoSettings::resolutionSize() const {
    const int64_t resolution = resolution_.load();
    if (resolution == KNVideoFrameResolutionCustom) return CGSizeWithKNVideoFrameSize(videoFrameSize());
    const auto& table = KNUtils::utils()->frameSizes();
    const auto row = table.find(resolution);
    return row == table.end() ? platform::Size{} : row->second;
}
