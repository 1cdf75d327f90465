#include "recorder/KNInternalRecorderComponents.h"

#include <atomic>
#include <ctime>
#include <mutex>

#include "encoding/KNAACEncoder.h"
#include "encoding/KNH264Encoder.h"
#include "kestrune/KNError.h"

namespace {

class VideoEncoder final : public KNHubVideoEncoder {
public:
    void setDelegate(std::weak_ptr<KNH264EncoderDelegate> delegate) override { encoder_->setDelegate(std::move(delegate)); }
    std::shared_ptr<platform::DispatchQueue> encodingQueue() const override { return encoder_->encodingQueue(); }
    void setKeyFrameInterval(uint64_t frames) override { encoder_->setKeyFrameInterval(frames); }
    void updateBitrate(int32_t bitrateBps) override { encoder_->updateBitrate(bitrateBps); }
    void startEncodingWithResolutionHeight(int32_t width, int32_t height) override {
        encoder_->startEncodingWithResolutionHeight(width, height);
    }
    void encode(std::shared_ptr<platform::SampleBuffer> sampleBuffer) override { encoder_->encode(std::move(sampleBuffer)); }
    void stopEncoding() override { encoder_->stopEncoding(); }

private:
    const std::shared_ptr<KNH264Encoder> encoder_ = KNH264Encoder::create();
};

class AudioEncoder final : public KNHubAudioEncoder {
public:
    void setDelegate(std::weak_ptr<KNAACEncoderDelegate> delegate) override { encoder_->setDelegate(std::move(delegate)); }
    std::shared_ptr<platform::DispatchQueue> encoderQueue() const override { return encoder_->encoderQueue(); }
    void setSampleRate(uint64_t rate) override { encoder_->setSampleRate(rate); }
    void setChannelsNumber(uint64_t channels) override { encoder_->setChannelsNumber(channels); }
    uint64_t bitRate() const override { return encoder_->bitRate(); }
    void setBitRate(uint64_t bitRate) override { encoder_->setBitRate(bitRate); }
    uint64_t sampleSize() const override { return encoder_->sampleSize(); }
    void startEncoding() override { encoder_->startEncoding(); }
    void stopEncoding() override { encoder_->stopEncoding(); }
    void encodeAudioDataTimestamp(Bytes data, uint64_t timestamp) override {
        encoder_->encodeAudioDataTimestamp(std::move(data), timestamp);
    }
    bool isConfigured() const override { return encoder_->isConfigured(); }
    Bytes magicCookie() const override { return encoder_->magicCookie(); }
    uint64_t decoderDelay() const override { return encoder_->decoderDelay(); }

private:
    const std::shared_ptr<KNAACEncoder> encoder_ = KNAACEncoder::create();
};

class StreamSources final : public KNHubStreamSources {
public:
    void setDelegate(std::weak_ptr<KNStreamSourcesManagerDelegate> delegate) override {
        manager_->setDelegate(std::move(delegate));
    }
    std::shared_ptr<KNStreamSource> addSourceWithStreamInfo(std::shared_ptr<KNStreamInfo> info) override {
        return manager_->addSourceWithStreamInfo(std::move(info));
    }
    void removeSource(const std::shared_ptr<KNStreamSource>& source) override { manager_->removeSource(source); }
    void closeConnectionToSource(const std::shared_ptr<KNStreamSource>& source) override {
        manager_->closeConnectionToSource(source);
    }
    void establishConnectionToAllSources() override { manager_->establishConnectionToAllSources(); }
    void closeConnectionOnAllSources() override { manager_->closeConnectionOnAllSources(); }
    Sources streamSources() const override { return manager_->streamSources(); }
    Sources connectedStreamSources() const override { return manager_->connectedStreamSources(); }
    void setVideoSPSAndPPS(const Bytes& sps, const Bytes& pps) override { manager_->setVideoSPSAndPPS(sps, pps); }
    void sendVideoPacketIsKeyFrameTimestamp(const Bytes& packet, bool isKeyFrame, uint64_t timestampMs) override {
        manager_->sendVideoPacketIsKeyFrameTimestamp(packet, isKeyFrame, timestampMs);
    }
    void sendAudioPacketTimestamp(const Bytes& adtsPacket, uint64_t timestampMs) override {
        manager_->sendAudioPacketTimestamp(adtsPacket, timestampMs);
    }
    void setAdaptiveBitRateOn(bool on) override { manager_->setAdaptiveBitRateOn(on); }
    void setRtmpTimeout(uint64_t timeoutSeconds) override { manager_->setRtmpTimeout(timeoutSeconds); }
    void setMetadata(std::shared_ptr<const KNMetadata> metadata) override { manager_->setMetadata(std::move(metadata)); }

private:
    const std::shared_ptr<KNStreamSourcesManager> manager_ = KNStreamSourcesManager::create();
};

class Reachability final : public KNHubReachability {
public:
    // A platform that can't watch the network counts as reachable: it can't tell otherwise.
    bool isReachable() override { return !monitor_ || monitor_->isReachable(); }
    void startMonitoring(ChangeBlock change) override {
        if (!monitor_) return;
        monitor_->setNetworkDidChangeReachabilityBlock(std::move(change));
        monitor_->startMonitoringNetworkStatus();
    }
    void stopMonitoring() override {
        if (!monitor_) return;
        monitor_->stopMonitoringNetworkStatus();
        monitor_->setNetworkDidChangeReachabilityBlock(nullptr);
    }

private:
    const std::shared_ptr<KNReachability> monitor_ = KNReachability::reachabilityForInternetConnection();
};

class SystemComponents final : public KNInternalRecorderComponents {
public:
    std::shared_ptr<KNHubStreamSources> makeStreamSources() override { return std::make_shared<StreamSources>(); }
    std::shared_ptr<KNHubVideoEncoder> makeVideoEncoder() override { return std::make_shared<VideoEncoder>(); }
    std::shared_ptr<KNHubAudioEncoder> makeAudioEncoder() override { return std::make_shared<AudioEncoder>(); }
    std::shared_ptr<KNHubValidator> makeValidator() override { return nullptr; }
    std::shared_ptr<KNHubLocalSaver> makeLocalSaver() override { return nullptr; }
    std::shared_ptr<KNHubCaptureSession> makeCaptureSession() override { return nullptr; }
    std::shared_ptr<KNHubAudioCapture> makeAudioCapture() override { return nullptr; }
    std::shared_ptr<KNHubReachability> makeReachability() override { return std::make_shared<Reachability>(); }
    bool cameraAuthorized() override { return true; }
    bool microphoneAuthorized() override { return true; }
    // No screen saver to hold off here; the flag is what a desktop host would follow.
    void setIdleTimerDisabled(bool disabled) override { idleTimerDisabled_ = disabled; }
    std::string nameForLocalFile() override {
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        char name[64];
        std::strftime(name, sizeof name, "Stream rec %d-%m-%Y-%H:%M:%S", &utc);
        return name;
    }
    void addVideoToLibrary(const std::filesystem::path&,
                           std::function<void(bool success, std::shared_ptr<KNError> error)> done) override {
        done(false, KNError::errorWithCodesMessage({100001}, "Could not post video in photos app"));
    }

private:
    std::atomic<bool> idleTimerDisabled_{false};
};

std::mutex& currentMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<KNInternalRecorderComponents>& installed() {
    static std::shared_ptr<KNInternalRecorderComponents> components;
    return components;
}

}  // namespace

std::shared_ptr<KNInternalRecorderComponents> KNInternalRecorderComponents::current() {
    std::lock_guard lock(currentMutex());
    if (installed()) return installed();
    return std::make_shared<SystemComponents>();
}

void KNInternalRecorderComponents::setCurrentForTesting(std::shared_ptr<KNInternalRecorderComponents> components) {
    std::lock_guard lock(currentMutex());
    installed() = std::move(components);
}
