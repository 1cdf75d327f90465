#pragma once
// The description of a stream that each RTMP publisher writes as onMetaData. Built on the thread
// that starts streaming and then only read: hand it on as shared_ptr<const KNMetadata>.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class KNMetadata {
public:
    static std::shared_ptr<KNMetadata> create() { return std::make_shared<KNMetadata>(); }

    const std::optional<std::string>& videoCodecId() const { return videoCodecId_; }
    void setVideoCodecId(std::optional<std::string> id) { videoCodecId_ = std::move(id); }
    int32_t videoWidth() const { return videoWidth_; }
    void setVideoWidth(int32_t width) { videoWidth_ = width; }
    int32_t videoHeight() const { return videoHeight_; }
    void setVideoHeight(int32_t height) { videoHeight_ = height; }
    // Bits per second.
    int32_t videoBitrate() const { return videoBitrate_; }
    void setVideoBitrate(int32_t bitrate) { videoBitrate_ = bitrate; }
    int32_t videoFramerate() const { return videoFramerate_; }
    void setVideoFramerate(int32_t framerate) { videoFramerate_ = framerate; }

    const std::optional<std::string>& audioCodecId() const { return audioCodecId_; }
    void setAudioCodecId(std::optional<std::string> id) { audioCodecId_ = std::move(id); }
    // Bits per second.
    int32_t audioBitrate() const { return audioBitrate_; }
    void setAudioBitrate(int32_t bitrate) { audioBitrate_ = bitrate; }
    // Hz.
    int32_t audioSampleRate() const { return audioSampleRate_; }
    void setAudioSampleRate(int32_t rate) { audioSampleRate_ = rate; }
    int32_t audioSampleSize() const { return audioSampleSize_; }
    void setAudioSampleSize(int32_t size) { audioSampleSize_ = size; }
    bool audioStereo() const { return audioStereo_; }
    void setAudioStereo(bool stereo) { audioStereo_ = stereo; }

private:
    std::optional<std::string> videoCodecId_;
    int32_t videoWidth_ = 0;
    int32_t videoHeight_ = 0;
    int32_t videoBitrate_ = 0;
    int32_t videoFramerate_ = 0;
    std::optional<std::string> audioCodecId_;
    int32_t audioBitrate_ = 0;
    int32_t audioSampleRate_ = 0;
    int32_t audioSampleSize_ = 0;
    bool audioStereo_ = false;
};
