#include "kestrune/KNStreamSource.h"

#include "core/KNLog.h"
#include "kestrune/KNError.h"
#include "kestrune/KNStreamInfo.h"
#include "transport/KNBandwidthDetector.h"
#include "transport/KNBandwidthDetectorDelegate.h"
#include "transport/KNRTMPManager.h"
#include "transport/KNRTMPManagerDelegate.h"
#include "transport/KNServerPath.h"
#include "transport/KNStreamSourcePrivateDelegate.h"
#include "transport/KNStreamSourcesManager.h"

namespace {
constexpr int64_t kConnectionAlreadyInitialized = 30001;
}

struct KNStreamSource::Events : KNRTMPManagerDelegate, KNBandwidthDetectorDelegate {
    explicit Events(std::weak_ptr<KNStreamSource> source) : source(std::move(source)) {}

    void RTMPManagerDidConnectToServer(KNRTMPManager* manager) override {
        if (auto s = source.lock()) s->RTMPManagerDidConnectToServer(manager);
    }
    void RTMPManagerDidFailConnectingWithError(KNRTMPManager* manager, std::shared_ptr<KNError> error) override {
        if (auto s = source.lock()) s->RTMPManagerDidFailConnectingWithError(manager, std::move(error));
    }
    void RTMPManagerDidDisconnect(KNRTMPManager* manager) override {
        if (auto s = source.lock()) s->RTMPManagerDidDisconnect(manager);
    }
    void RTMPManagerDidCloseConnection(KNRTMPManager* manager) override {
        if (auto s = source.lock()) s->RTMPManagerDidCloseConnection(manager);
    }
    void RTMPManagerWillSendPacketWithSize(KNRTMPManager* manager, uint64_t sizeBytes) override {
        if (auto s = source.lock()) s->RTMPManagerWillSendPacketWithSize(manager, sizeBytes);
    }
    void RTMPManagerDidSendPacketWithSize(KNRTMPManager* manager, uint64_t sizeBytes) override {
        if (auto s = source.lock()) s->RTMPManagerDidSendPacketWithSize(manager, sizeBytes);
    }
    void RTMPManagerDidDropPacket(KNRTMPManager* manager) override {
        if (auto s = source.lock()) s->RTMPManagerDidDropPacket(manager);
    }
    void bandwidthDetectorDidEstimateNewBitrate(KNBandwidthDetector* detector, uint64_t bitsPerSecond) override {
        if (auto s = source.lock()) s->bandwidthDetectorDidEstimateNewBitrate(detector, bitsPerSecond);
    }

    const std::weak_ptr<KNStreamSource> source;
};

std::shared_ptr<KNStreamSource> KNStreamSource::create() {
    auto source = std::make_shared<KNStreamSource>();
    source->rtmpManager_ = KNRTMPManager::create();
    source->bandwidthDetector_ = KNBandwidthDetector::create();
    source->events_ = std::make_shared<Events>(source);
    source->rtmpManager_->setDelegate(source->events_);
    source->bandwidthDetector_->setDelegate(source->events_);
    return source;
}

std::shared_ptr<KNStreamSource> KNStreamSource::copy() {
    auto copy = std::make_shared<KNStreamSource>();
    // The copy shares this source's publisher and detector, which keep reporting to this source.
    copy->rtmpManager_ = rtmpManager_;
    copy->bandwidthDetector_ = bandwidthDetector_;
    copy->events_ = events_;
    {
        std::lock_guard lock(mutex_);
        copy->delegate_ = delegate_;
        copy->streamInfo_ = streamInfo_;
        copy->manager_ = manager_;
        copy->privateDelegate_ = privateDelegate_;
    }
    copy->internalOn_ = internalOn_.load();
    copy->setAdaptiveBitrateOn(adaptiveBitrateOn_.load());
    return copy;
}

bool KNStreamSource::isEqual(const KNStreamSource& other) const {
    auto mine = streamInfo();
    auto theirs = other.streamInfo();
    return mine && theirs && mine->isEqual(theirs);
}

void KNStreamSource::setOn(bool on) {
    if (on == internalOn_.load()) return;
    auto manager = streamSourcesManager();
    if (!manager) {
        KNLog::sharedInstance()->logWarningScope(
            "You are using a stream source that was removed from the SDK management so it won't work as expected.",
            KNLogScopeAll);
        return;
    }
    auto self = shared_from_this();
    if (on) {
        manager->establishConnectionToSource(self);
    } else {
        manager->closeConnectionToSource(self);
    }
}

void KNStreamSource::setAdaptiveBitrateOn(bool on) {
    adaptiveBitrateOn_ = on;
    // The detector decides on its queue (a second start is ignored there); its flag read here can
    // still miss a start or stop queued but not yet run, so it is always told.
    if (on) {
        bandwidthDetector_->startMonitoringBandwidth();
    } else {
        bandwidthDetector_->stopMonitoringBandwidth();
    }
}

void KNStreamSource::setRtmpTimeout(uint64_t timeoutSeconds) {
    rtmpTimeout_ = timeoutSeconds;
    rtmpManager_->setTimeout(timeoutSeconds);
}

bool KNStreamSource::sendingAudio() const { return rtmpManager_->sendingAudio(); }
void KNStreamSource::setSendingAudio(bool sending) { rtmpManager_->setSendingAudio(sending); }
bool KNStreamSource::sendingVideo() const { return rtmpManager_->sendingVideo(); }
void KNStreamSource::setSendingVideo(bool sending) { rtmpManager_->setSendingVideo(sending); }

std::shared_ptr<KNStreamSourceDelegate> KNStreamSource::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void KNStreamSource::setDelegate(std::weak_ptr<KNStreamSourceDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<KNStreamInfo> KNStreamSource::streamInfo() const {
    std::lock_guard lock(mutex_);
    return streamInfo_;
}

void KNStreamSource::setStreamInfo(std::shared_ptr<KNStreamInfo> info) {
    std::lock_guard lock(mutex_);
    streamInfo_ = std::move(info);
}

std::shared_ptr<KNStreamSourcesManager> KNStreamSource::streamSourcesManager() const {
    std::lock_guard lock(mutex_);
    return manager_.lock();
}

void KNStreamSource::setStreamSourcesManager(std::weak_ptr<KNStreamSourcesManager> manager) {
    std::lock_guard lock(mutex_);
    manager_ = std::move(manager);
}

void KNStreamSource::setPrivateDelegate(std::weak_ptr<KNStreamSourcePrivateDelegate> delegate) {
    std::lock_guard lock(mutex_);
    privateDelegate_ = std::move(delegate);
}

KNStreamSource::Listeners KNStreamSource::listeners() const {
    std::lock_guard lock(mutex_);
    return {privateDelegate_.lock(), delegate_.lock()};
}

void KNStreamSource::establishConnection() {
    auto info = streamInfo();
    std::optional<std::string> url;
    if (info) url = KNServerPath::serverPath()->rtmpPathFromStreamInfo(info);
    rtmpManager_->setConnectionURL(std::move(url));
    auto manager = streamSourcesManager();
    rtmpManager_->setMetadata(manager ? manager->metadata() : nullptr);
    // On before the connect is queued: a failure reported at once must be able to turn it off.
    internalOn_ = true;
    rtmpManager_->establishConnection();
}

void KNStreamSource::closeConnection() {
    rtmpManager_->closeConnection();
    internalOn_ = false;
}

void KNStreamSource::setVideoSPSAndPPS(const Bytes& sps, const Bytes& pps) { rtmpManager_->setVideoSPSAndPPS(sps, pps); }

void KNStreamSource::sendVideoPacketIsKeyFrameTimestamp(const Bytes& packet, bool isKeyFrame, uint64_t timestampMs) {
    rtmpManager_->sendVideoPacketIsKeyFrameTimestamp(packet, isKeyFrame, timestampMs);
}

void KNStreamSource::sendAudioPacketTimestamp(const Bytes& packet, uint64_t timestampMs) {
    rtmpManager_->sendAudioPacketTimestamp(packet, timestampMs);
}

void KNStreamSource::RTMPManagerDidConnectToServer(KNRTMPManager*) {
    internalOn_ = true;
    auto self = shared_from_this();
    auto [privateDelegate, delegate] = listeners();
    if (privateDelegate) privateDelegate->streamSourceDidConnect(self);
    if (delegate) delegate->streamSourceDidConnect(self);
    if (adaptiveBitrateOn_.load()) bandwidthDetector_->startMonitoringBandwidth();
}

void KNStreamSource::RTMPManagerDidFailConnectingWithError(KNRTMPManager*, std::shared_ptr<KNError> error) {
    internalOn_ = error && !error->errorCodes().empty() && error->errorCodes().front() == kConnectionAlreadyInitialized;
    auto self = shared_from_this();
    auto [privateDelegate, delegate] = listeners();
    if (privateDelegate) privateDelegate->streamSourceDidFailConnectingWithError(self, error);
    if (delegate) delegate->streamSourceDidFailConnectingWithError(self, error);
}

void KNStreamSource::reportDisconnected(bool closed) {
    internalOn_ = false;
    auto self = shared_from_this();
    auto [privateDelegate, delegate] = listeners();
    if (closed) {
        if (privateDelegate) privateDelegate->streamSourceDidCloseConnection(self);
        if (delegate) delegate->streamSourceDidCloseConnection(self);
    } else {
        if (privateDelegate) privateDelegate->streamSourceDidDisconnect(self);
        if (delegate) delegate->streamSourceDidDisconnect(self);
    }
    bandwidthDetector_->stopMonitoringBandwidth();
}

void KNStreamSource::RTMPManagerDidDisconnect(KNRTMPManager*) { reportDisconnected(false); }

void KNStreamSource::RTMPManagerDidCloseConnection(KNRTMPManager*) { reportDisconnected(true); }

void KNStreamSource::RTMPManagerWillSendPacketWithSize(KNRTMPManager*, uint64_t sizeBytes) {
    bandwidthDetector_->willSendPacketOfSize(sizeBytes);
}

void KNStreamSource::RTMPManagerDidSendPacketWithSize(KNRTMPManager*, uint64_t sizeBytes) {
    bandwidthDetector_->didSendPacketOfSize(sizeBytes);
    if (auto privateDelegate = listeners().privateDelegate) {
        privateDelegate->streamSourceDidSendPacketWithSize(shared_from_this(), sizeBytes);
    }
}

void KNStreamSource::RTMPManagerDidDropPacket(KNRTMPManager*) {
    bandwidthDetector_->didDropPacket();
    if (auto privateDelegate = listeners().privateDelegate) privateDelegate->streamSourceDidDropPacket(shared_from_this());
}

void KNStreamSource::bandwidthDetectorDidEstimateNewBitrate(KNBandwidthDetector*, uint64_t bitsPerSecond) {
    if (auto privateDelegate = listeners().privateDelegate) {
        privateDelegate->streamSourceDidEstimateNewBitrate(shared_from_this(), bitsPerSecond);
    }
}
