// The hub's media path: frames and PCM in, encoder output out to the destinations and the local
// saver; the stream metadata, the encoders' start, adaptive bitrate and the destinations.
#include <algorithm>
#include <cstring>
#include <utility>

#include "core/KNConverter.h"
#include "core/KNMetadata.h"
#include "core/KNUtils.h"
#include "kestrune/KNError.h"
#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNRecordingUtils.h"
#include "kestrune/KNWarning.h"
#include "recorder/KNInternalRecorder.h"

namespace {

// The lowest estimate the destinations report: the video encoder gets no less.
constexpr uint64_t kMinimumAdaptedVideoBps = 1000;

}  // namespace

void KNInternalRecorder::captureOutputDidOutputSampleBuffer(
    const void* output, const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) {
    if (auto delegate = internalRecorderDelegate()) {
        delegate->recorderDidOutputSampleBufferFromCaptureOutput(this, sampleBuffer, output);
    }
    const auto session = captureSession();
    if (!session || !sampleBuffer || output != session->videoOutput()) return;
    if (!isSendingVideo_) blackVideoInBuffer(*sampleBuffer);
    // Idle, the camera feeds only the preview and the host's tap.
    if (encodersRunning_) nH264Encoder_->encode(sampleBuffer);
    SnapshotCallback snapshot;
    {
        std::lock_guard lock(mutex_);
        snapshot = std::exchange(snapshotCallback_, nullptr);
    }
    if (!snapshot) return;
    const auto settings = this->settings();
    const int64_t orientation = settings ? settings->videoOrientation() : KNVideoOrientationAutorotate;
    const int64_t imageOrientation = KNConverter::converter()->imageOrientationForVideoOrientation(orientation);
    snapshot(recordingUtils_->imageFromSampleBuffer(sampleBuffer, imageOrientation), nullptr);
}

void KNInternalRecorder::blackVideoInBuffer(platform::SampleBuffer& sampleBuffer) {
    const auto& image = sampleBuffer.imageBuffer();
    if (!image || image->pixelFormat() != platform::PixelFormat::NV12VideoRange) return;
    const uint8_t fill[2] = {0, 128};
    for (size_t plane = 0; plane < 2; ++plane) {
        const size_t rowBytes = image->bytesPerRow(plane);
        for (int32_t row = 0; row < image->planeHeight(plane); ++row) {
            std::memset(image->planeData(plane) + static_cast<size_t>(row) * rowBytes, fill[plane], rowBytes);
        }
    }
}

std::shared_ptr<platform::SampleBuffer> KNInternalRecorder::muteAudioInBuffer(const platform::SampleBuffer& sampleBuffer) {
    const auto& block = sampleBuffer.dataBuffer();
    if (!block) return nullptr;
    // Sample bytes are shared and immutable: the silence is a copy.
    std::vector<uint8_t> bytes = block->bytes();
    const size_t muted = std::min(2 * static_cast<size_t>(std::max<int64_t>(sampleBuffer.numSamples(), 0)), bytes.size());
    std::fill_n(bytes.begin(), muted, uint8_t{0});
    const platform::SampleTiming timing{sampleBuffer.duration(), sampleBuffer.presentationTimeStamp(),
                                        sampleBuffer.decodeTimeStamp()};
    std::vector<size_t> sizes;
    if (sampleBuffer.numSamples() > 0 && sampleBuffer.sampleSize(0) > 0) sizes.push_back(sampleBuffer.sampleSize(0));
    return platform::SampleBuffer::createWithData(platform::BlockBuffer::createWithBytes(std::move(bytes)),
                                                  sampleBuffer.formatDescription(), sampleBuffer.numSamples(), timing,
                                                  std::move(sizes));
}

void KNInternalRecorder::takeSnapshotWithCompletion(SnapshotCallback callback) {
    std::lock_guard lock(mutex_);
    snapshotCallback_ = std::move(callback);
}

void KNInternalRecorder::captureOutputAudioDataTimestamp(const Bytes& data, uint64_t timestamp) {
    if (!data) return;
    Bytes buffer = isSendingAudio_ ? data : std::make_shared<const std::vector<uint8_t>>(data->size(), 0);
    if (encodersRunning_) nAACEncoder_->encodeAudioDataTimestamp(buffer, timestamp);
    if (auto delegate = internalRecorderDelegate()) delegate->recorderDidOutputAudioBuffer(this, buffer);
}

void KNInternalRecorder::H264EncoderDidExtractSpsPps(KNH264Encoder*, const Bytes& sps, const Bytes& pps) {
    streamSourcesManager_->setVideoSPSAndPPS(sps, pps);
}

void KNInternalRecorder::H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder*, const Bytes& data,
                                                                     bool isKeyFrame, uint64_t timestampMs) {
    streamSourcesManager_->sendVideoPacketIsKeyFrameTimestamp(data, isKeyFrame, timestampMs);
}

void KNInternalRecorder::H264EncoderDidEncodeSampleBuffer(KNH264Encoder*,
                                                          const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) {
    if (localSaver_) localSaver_->writeEncodedVideo(sampleBuffer);
}

void KNInternalRecorder::AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase*,
                                                                                    const Bytes& data,
                                                                                    platform::MediaTime,
                                                                                    uint64_t timestamp) {
    streamSourcesManager_->sendAudioPacketTimestamp(data, timestamp);
}

void KNInternalRecorder::AACEncoderDidEncodeDataWithDurationPresentationTime(KNAACEncoderBase*, const Bytes& data,
                                                                             platform::MediaTime duration,
                                                                             platform::MediaTime presentationTime) {
    if (localSaver_) localSaver_->writeEncodedAudio(data, duration, presentationTime);
}

KNVideoFrameSize KNInternalRecorder::encodedFrameSize() const {
    KNVideoFrameSize size = KNUtils::utils()->frameSizeForResolution(resolution_.load());
    if (videoFrameInverted_) size = KNVideoFrameSizeRotated(size);
    return size;
}

uint64_t KNInternalRecorder::microphoneSampleRate() const {
    if (audioCapture_ && audioCapture_->sampleRate() > 0) return audioCapture_->sampleRate();
    return static_cast<uint64_t>(audioSampleRate_.load());
}

void KNInternalRecorder::setMetadata() {
    const auto settings = this->settings();
    const KNVideoFrameSize size = encodedFrameSize();
    auto metadata = KNMetadata::create();
    metadata->setVideoCodecId("avc1");
    metadata->setVideoWidth(static_cast<int32_t>(size.width));
    metadata->setVideoHeight(static_cast<int32_t>(size.height));
    metadata->setVideoFramerate(static_cast<int32_t>(settings ? settings->frameRate() : frameRate_.load()));
    metadata->setVideoBitrate(static_cast<int32_t>(settings ? settings->videoBitrate() : 0));
    metadata->setAudioCodecId("mp4a");
    // The rate the audio encoder really runs at, which the microphone fixes.
    metadata->setAudioSampleRate(static_cast<int32_t>(microphoneSampleRate()));
    metadata->setAudioBitrate(static_cast<int32_t>(nAACEncoder_->bitRate()));
    metadata->setAudioSampleSize(static_cast<int32_t>(nAACEncoder_->sampleSize()));
    streamSourcesManager_->setMetadata(metadata);
}

void KNInternalRecorder::startEncoders() {
    std::lock_guard encoders(encoderMutex_);
    encodersRunning_ = true;
    const auto settings = this->settings();
    nH264Encoder_->setKeyFrameInterval(static_cast<uint64_t>(std::max<int64_t>(keyFrameInterval_.load(), 0)));
    // Before any settings the resolution's own bitrate, never 0.
    const int64_t bitrate =
        settings ? settings->videoBitrate() : KNUtils::utils()->bitrateForResolution(resolution_.load());
    nH264Encoder_->updateBitrate(static_cast<int32_t>(bitrate));
    const KNVideoFrameSize size = encodedFrameSize();
    const auto width = static_cast<int32_t>(size.width);
    const auto height = static_cast<int32_t>(size.height);
    nH264Encoder_->startEncodingWithResolutionHeight(width, height);
    // The encoder takes the microphone's real rate and layout, set before its start.
    const uint64_t sampleRate = microphoneSampleRate();
    nAACEncoder_->setSampleRate(sampleRate);
    if (audioCapture_) nAACEncoder_->setChannelsNumber(audioCapture_->channels());
    nAACEncoder_->setBitRate(static_cast<uint64_t>(audioBitrate_.load()));
    nAACEncoder_->startEncoding();
    if (localSaver_) {
        localSaver_->setVideoWidthHeight(width, height);
        localSaver_->setAudioSampleRate(sampleRate);
    }
}

void KNInternalRecorder::startAdaptiveBitrateService() {
    linkShowedLimit_ = false;
    adaptiveBitrateOn_ = true;
    streamSourcesManager_->setAdaptiveBitRateOn(true);
}

void KNInternalRecorder::stopAdaptiveBitrateService() {
    streamSourcesManager_->setAdaptiveBitRateOn(false);
    {
        std::lock_guard lock(bitrateMutex_);
        adaptiveBitrateOn_ = false;
        linkShowedLimit_ = false;
        const auto settings = this->settings();
        if (settings) nH264Encoder_->updateBitrate(static_cast<int32_t>(settings->videoBitrate()));
    }
    nAACEncoder_->setBitRate(static_cast<uint64_t>(audioBitrate_.load()));
}

void KNInternalRecorder::streamSourcesManagerDidEstimateNewBitrate(KNStreamSourcesManager*, uint64_t bitsPerSecond) {
    adaptBitrateToBandwidthEstimation(bitsPerSecond);
}

void KNInternalRecorder::adaptBitrateToBandwidthEstimation(uint64_t bitsPerSecond) {
    adaptVideoToBandwidthEstimation(bitsPerSecond);
}

void KNInternalRecorder::adaptVideoToBandwidthEstimation(uint64_t bitsPerSecond) {
    // The estimate is what the connection carries of the whole stream: the audio takes its share,
    // or a full link never stops dropping.
    const uint64_t audio = static_cast<uint64_t>(std::max<int64_t>(audioBitrate_.load(), 0));
    const uint64_t forVideo =
        bitsPerSecond > audio + kMinimumAdaptedVideoBps ? bitsPerSecond - audio : kMinimumAdaptedVideoBps;
    // Until a destination drops, an estimate measures what the stream itself sent, not what the
    // link could carry: taken as a limit, it would walk the picture down on a link with room to spare.
    const auto settings = this->settings();
    const int64_t asked = settings ? settings->videoBitrate() : 0;
    if (!linkShowedLimit_ && forVideo < static_cast<uint64_t>(std::max<int64_t>(asked, 0))) return;
    const auto estimate = static_cast<int64_t>(std::min<uint64_t>(forVideo, INT32_MAX));
    const int64_t bitrate =
        videoSettingsValidator_ ? videoSettingsValidator_->validateBitrate(estimate, resolution_.load(), nullptr)
                                : estimate;
    // An estimate already on its way when adaptive bitrate went off must not undo the restored rate.
    std::lock_guard lock(bitrateMutex_);
    if (!adaptiveBitrateOn_) return;
    adaptedVideoBitrate_ = bitrate;
    nH264Encoder_->updateBitrate(static_cast<int32_t>(std::clamp<int64_t>(bitrate, 0, INT32_MAX)));
}

uint64_t KNInternalRecorder::adaptAudioToBandwidthEstimation(uint64_t bitsPerSecond) {
    uint64_t bitrate = 256000;
    if (bitsPerSecond <= 1048576) {
        bitrate = 80000;
    } else if (bitsPerSecond <= 2097152) {
        bitrate = 96000;
    } else if (bitsPerSecond <= 4194304) {
        bitrate = 128000;
    }
    nAACEncoder_->setBitRate(bitrate);
    return bitrate;
}

void KNInternalRecorder::videoEncoderSettingsValidatorDidAdjustBitrate(int64_t bitrate) {
    if (const auto settings = this->settings()) settings->setVideoBitrate(bitrate);
    nH264Encoder_->updateBitrate(static_cast<int32_t>(bitrate));
    const std::string message =
        "Bitrate adjusted to maximum for current resolution " + std::to_string(bitrate / 1024) + " kbps";
    forwardWarning(KNWarning::warningWithCodesMessage({3001}, message));
}

void KNInternalRecorder::streamSourcesManagerDidUpdateBitrate(KNStreamSourcesManager*, uint64_t kilobytes) {
    if (auto delegate = internalRecorderDelegate()) delegate->recorderDidUpdateBitrate(this, kilobytes);
}

void KNInternalRecorder::streamSourcesManagerDidDropPacket(KNStreamSourcesManager*) {
    linkShowedLimit_ = true;
    if (auto delegate = internalRecorderDelegate()) delegate->recorderDidDropPacket(this);
}

KNHubStreamSources::Sources KNInternalRecorder::streamSources() const { return streamSourcesManager_->streamSources(); }

std::shared_ptr<KNStreamSource> KNInternalRecorder::addStreamingSourceWithInfo(std::shared_ptr<KNStreamInfo> info) {
    return streamSourcesManager_->addSourceWithStreamInfo(std::move(info));
}

void KNInternalRecorder::removeStreamingSourceWithInfo(const std::shared_ptr<KNStreamSource>& source) {
    if (!source) return;
    // The listed destination, even when the host hands back a copy of it: that one holds the connection.
    auto listed = source;
    for (const auto& candidate : streamSourcesManager_->streamSources()) {
        if (candidate == source || candidate->isEqual(*source)) {
            listed = candidate;
            break;
        }
    }
    streamSourcesManager_->closeConnectionToSource(listed);
    streamSourcesManager_->removeSource(listed);
}

void KNInternalRecorder::setRTMPTimeout(uint64_t seconds) { streamSourcesManager_->setRtmpTimeout(seconds); }
