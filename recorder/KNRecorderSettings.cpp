#include "kestrune/KNRecorderSettings.h"

#include <cmath>
#include <limits>

#include "core/KNNumeric.h"
#include "core/KNUtils.h"
#include "platform/KeyedArchive.h"
#include "platform/audio/AudioSession.h"

const int64_t kKNRecorderSettingsDefaultKeyFrameInterval = 45;

namespace {

const char* const kArchiveClassName = "KNRecorderSettings";

std::mutex& sampleRateSourceMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<double()>& sampleRateSource() {
    static std::function<double()> source;
    return source;
}

double audioSessionSampleRate() {
    {
        std::lock_guard lock(sampleRateSourceMutex());
        if (sampleRateSource()) return sampleRateSource()();
    }
    return platform::AudioSession::shared()->sampleRate();
}

// A dimension an archive can't honestly describe (not a number, infinite, negative or beyond any
// frame) reads as 0, as a missing key does.
int64_t archivedDimension(double value) {
    if (!std::isfinite(value) || value < 0 || value > std::numeric_limits<int32_t>::max()) return 0;
    return KNSaturatingCast<int64_t>(value);
}

}  // namespace

std::shared_ptr<KNRecorderSettings> KNRecorderSettings::recorderSettings() {
    std::shared_ptr<KNRecorderSettings> settings(new KNRecorderSettings());
    settings->setupDefaults();
    return settings;
}

std::shared_ptr<KNRecorderSettings> KNRecorderSettings::recorderSettingsWithVideoFrameSize(int64_t resolution) {
    auto settings = recorderSettings();
    settings->setVideoFrameResolution(resolution);
    settings->updateDefaultVideoBitrate();
    return settings;
}

std::shared_ptr<KNRecorderSettings> KNRecorderSettings::recorderSettingsWithArchivedData(
    std::span<const uint8_t> data) {
    const auto coder = platform::KeyedUnarchiver::fromData(data);
    if (!coder) return nullptr;
    return createWithCoder(*coder);
}

void KNRecorderSettings::setupDefaults() {
    setRecordingMode(KNRecordingModeAudioAndVideo);
    setTorchMode(KNTorchModeOff);
    setVideoOrientation(KNVideoOrientationAutorotate);
    setCurrentCamera(KNCameraBack);
    setFrameRate(30);
    setKeyFrameInterval(kKNRecorderSettingsDefaultKeyFrameInterval);
    setAudioSampleRate(KNSaturatingCast<int64_t>(audioSessionSampleRate()));
    setVideoFrameResolution(getVideoResolutionForCurrentScreen());
    setVideoFrameResolutionInverted(true);
    updateDefaultVideoBitrate();
}

int64_t KNRecorderSettings::videoFrameResolution() const {
    std::lock_guard lock(sizeMutex_);
    return videoFrameResolution_;
}

void KNRecorderSettings::setVideoFrameResolution(int64_t resolution) {
    {
        std::lock_guard lock(sizeMutex_);
        videoFrameResolution_ = resolution;
    }
    if (resolution != KNVideoFrameResolutionCustom) updateDefaultVideoSize();
}

KNVideoFrameSize KNRecorderSettings::videoFrameSize() const {
    std::lock_guard lock(sizeMutex_);
    return videoFrameSize_;
}

void KNRecorderSettings::setVideoFrameSize(KNVideoFrameSize size) {
    std::lock_guard lock(sizeMutex_);
    videoFrameSize_ = size;
}

void KNRecorderSettings::useCustomVideoFrameSize(KNVideoFrameSize size) {
    setVideoFrameSize(size);
    setVideoFrameResolution(KNVideoFrameResolutionCustom);
}

void KNRecorderSettings::updateDefaultVideoBitrate() {
    setVideoBitrate(KNUtils::utils()->bitrateForResolution(videoFrameResolution()));
}

void KNRecorderSettings::updateDefaultVideoSize() {
    std::lock_guard lock(sizeMutex_);
    videoFrameSize_ = KNUtils::utils()->frameSizeForResolution(videoFrameResolution_);
}

bool KNRecorderSettings::isRecordingAudio() const {
    const int64_t mode = recordingMode();
    return mode == KNRecordingModeAudioAndVideo || mode == KNRecordingModeAudioOnly;
}

bool KNRecorderSettings::isRecordingVideo() const {
    const int64_t mode = recordingMode();
    return mode == KNRecordingModeAudioAndVideo || mode == KNRecordingModeVideoOnly;
}

int64_t KNRecorderSettings::getVideoResolutionForCurrentScreen() const { return KNVideoFrameResolution1280x720; }

std::vector<uint8_t> KNRecorderSettings::archivedSettings() const {
    platform::KeyedArchiver coder(kArchiveClassName);
    encodeWithCoder(coder);
    return coder.archivedData();
}

void KNRecorderSettings::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeInt64("recordingMode", recordingMode());
    coder.encodeInt64("torchMode", torchMode());
    coder.encodeInt64("videoOrientation", videoOrientation());
    coder.encodeInt64("currentCamera", currentCamera());
    coder.encodeInt64("frameRate", frameRate());
    coder.encodeInt64("keyFrameInterval", keyFrameInterval());
    coder.encodeInt64("audioSampleRate", audioSampleRate());
    coder.encodeInt64("videoBitrate", videoBitrate());
    const platform::Size size = CGSizeWithKNVideoFrameSize(videoFrameSize());
    coder.encodeSize("videoFrameSize", {size.width, size.height});
    coder.encodeInt64("videoFrameResolution", videoFrameResolution());
    coder.encodeBool("videoFrameResolutionInverted", videoFrameResolutionInverted());
}

std::shared_ptr<KNRecorderSettings> KNRecorderSettings::createWithCoder(const platform::KeyedUnarchiver& coder) {
    if (coder.className() != kArchiveClassName) return nullptr;
    std::shared_ptr<KNRecorderSettings> settings(new KNRecorderSettings());
    const platform::ArchivedSize size = coder.decodeSize("videoFrameSize").value_or(platform::ArchivedSize{});
    settings->setRecordingMode(coder.decodeInt64("recordingMode"));
    settings->setTorchMode(coder.decodeInt64("torchMode"));
    settings->setVideoOrientation(coder.decodeInt64("videoOrientation"));
    settings->setCurrentCamera(coder.decodeInt64("currentCamera"));
    settings->setFrameRate(coder.decodeInt64("frameRate"));
    settings->setKeyFrameInterval(coder.decodeInt64("keyFrameInterval"));
    settings->setAudioSampleRate(coder.decodeInt64("audioSampleRate"));
    settings->setVideoBitrate(coder.decodeInt64("videoBitrate"));
    settings->setVideoFrameSize({archivedDimension(size.width), archivedDimension(size.height)});
    // A resolution other than 0 replaces the archived size with its own.
    settings->setVideoFrameResolution(coder.decodeInt64("videoFrameResolution"));
    settings->setVideoFrameResolutionInverted(coder.decodeBool("videoFrameResolutionInverted"));
    return settings;
}

void KNRecorderSettings::setAudioSessionSampleRateSourceForTesting(std::function<double()> source) {
    std::lock_guard lock(sampleRateSourceMutex());
    sampleRateSource() = std::move(source);
}
