#include "transport/KNStreamSourcesManager.h"

#include <algorithm>
#include <chrono>

#include "kestrune/KNError.h"
#include "kestrune/KNStreamInfo.h"
#include "platform/DispatchQueue.h"
#include "platform/RunLoop.h"
#include "platform/Timer.h"

namespace {

constexpr auto kThroughputInterval = std::chrono::seconds(1);
constexpr uint64_t kMinimumEstimateBps = 1000;
constexpr uint64_t kBytesPerKilobyte = 1000;
constexpr int64_t kConnectionAlreadyInitialized = 30001;

bool contains(const KNStreamSourcesManager::Sources& list, const KNStreamSource* source) {
    return std::any_of(list.begin(), list.end(), [&](const auto& s) { return s.get() == source; });
}

}  // namespace

KNStreamSourcesManager::KNStreamSourcesManager()
    : internalQueue_(platform::DispatchQueue::createConcurrent("com.KestruneSDK.SourcesManagementQueue")),
      delegateQueue_(platform::DispatchQueue::createSerial("com.KestruneSDK.SourcesDelegateQueue")) {}

std::shared_ptr<KNStreamSourcesManager> KNStreamSourcesManager::create() {
    return std::make_shared<KNStreamSourcesManager>();
}

KNStreamSourcesManager::~KNStreamSourcesManager() {
    if (timer_) timer_->invalidate();
}

std::shared_ptr<KNStreamSource> KNStreamSourcesManager::addSourceWithStreamInfo(std::shared_ptr<KNStreamInfo> info) {
    auto source = KNStreamSource::create();
    source->setStreamInfo(std::move(info));
    source->setAdaptiveBitrateOn(adaptiveBitRateOn());
    source->setRtmpTimeout(rtmpTimeout());
    source->setPrivateDelegate(weak_from_this());
    source->setStreamSourcesManager(weak_from_this());
    internalQueue_->barrierSync([&] {
        bool listed = std::any_of(internalStreamSources_.begin(), internalStreamSources_.end(),
                                  [&](const auto& s) { return s->isEqual(*source); });
        if (!listed) internalStreamSources_.push_back(source);
    });
    return source;
}

void KNStreamSourcesManager::removeSource(const std::shared_ptr<KNStreamSource>& source) {
    if (!source) return;
    Emptied emptied;
    internalQueue_->barrierSync([&] {
        std::erase_if(internalStreamSources_, [&](const auto& s) { return s->isEqual(*source); });
        if (source->on()) {
            emptied = removeConnectedSource(source);
            source->closeConnection();
        } else {
            // Off, but its disconnect report may not have reached us yet: once unlinked below it
            // never will, so it must not stay listed as connected.
            emptied = removeConnectedSourceIfPresent(source);
        }
        source->setPrivateDelegate({});
        source->setStreamSourcesManager({});
    });
    finishRemoval(emptied);
}

void KNStreamSourcesManager::establishConnectionToSource(const std::shared_ptr<KNStreamSource>& source) {
    internalQueue_->barrierSync([&] { source->establishConnection(); });
}

void KNStreamSourcesManager::closeConnectionToSource(const std::shared_ptr<KNStreamSource>& source) {
    if (!source) return;
    Emptied emptied;
    internalQueue_->barrierSync([&] {
        emptied = removeConnectedSource(source);
        source->closeConnection();
    });
    finishRemoval(emptied);
}

void KNStreamSourcesManager::establishConnectionToAllSources() {
    internalQueue_->barrierSync([&] {
        for (auto& source : internalStreamSources_) {
            if (!source->on()) source->establishConnection();
        }
    });
}

void KNStreamSourcesManager::closeConnectionOnAllSources() {
    Emptied emptied;
    internalQueue_->barrierSync([&] {
        auto connected = internalConnectedStreamSources_;
        for (auto& source : connected) {
            if (removeConnectedSource(source).lastClosed) emptied.lastClosed = true;
            source->closeConnection();
        }
    });
    finishRemoval(emptied);
}

void KNStreamSourcesManager::setVideoSPSAndPPS(const Bytes& sps, const Bytes& pps) {
    internalQueue_->sync([&] {
        for (auto& source : internalConnectedStreamSources_) source->setVideoSPSAndPPS(sps, pps);
    });
}

void KNStreamSourcesManager::sendVideoPacketIsKeyFrameTimestamp(const Bytes& packet, bool isKeyFrame,
                                                                uint64_t timestampMs) {
    internalQueue_->sync([&] {
        for (auto& source : internalConnectedStreamSources_) {
            source->sendVideoPacketIsKeyFrameTimestamp(packet, isKeyFrame, timestampMs);
        }
    });
}

void KNStreamSourcesManager::sendAudioPacketTimestamp(const Bytes& adtsPacket, uint64_t timestampMs) {
    internalQueue_->sync([&] {
        for (auto& source : internalConnectedStreamSources_) source->sendAudioPacketTimestamp(adtsPacket, timestampMs);
    });
}

bool KNStreamSourcesManager::adaptiveBitRateOn() const {
    std::lock_guard lock(settingsMutex_);
    return adaptiveBitRateOn_;
}

void KNStreamSourcesManager::setAdaptiveBitRateOn(bool on) {
    {
        std::lock_guard lock(settingsMutex_);
        adaptiveBitRateOn_ = on;
    }
    internalQueue_->sync([&] {
        for (auto& source : internalStreamSources_) source->setAdaptiveBitrateOn(on);
    });
}

uint64_t KNStreamSourcesManager::rtmpTimeout() const {
    std::lock_guard lock(settingsMutex_);
    return rtmpTimeout_;
}

void KNStreamSourcesManager::setRtmpTimeout(uint64_t timeoutSeconds) {
    {
        std::lock_guard lock(settingsMutex_);
        rtmpTimeout_ = timeoutSeconds;
    }
    internalQueue_->sync([&] {
        for (auto& source : internalStreamSources_) source->setRtmpTimeout(timeoutSeconds);
    });
}

std::shared_ptr<const KNMetadata> KNStreamSourcesManager::metadata() const {
    std::lock_guard lock(settingsMutex_);
    return metadata_;
}

void KNStreamSourcesManager::setMetadata(std::shared_ptr<const KNMetadata> metadata) {
    std::lock_guard lock(settingsMutex_);
    metadata_ = std::move(metadata);
}

std::shared_ptr<KNStreamSourcesManagerDelegate> KNStreamSourcesManager::delegate() const {
    std::lock_guard lock(settingsMutex_);
    return delegate_.lock();
}

void KNStreamSourcesManager::setDelegate(std::weak_ptr<KNStreamSourcesManagerDelegate> delegate) {
    std::lock_guard lock(settingsMutex_);
    delegate_ = std::move(delegate);
}

KNStreamSourcesManager::Sources KNStreamSourcesManager::streamSources() const {
    Sources copy;
    internalQueue_->sync([&] { copy = internalStreamSources_; });
    return copy;
}

KNStreamSourcesManager::Sources KNStreamSourcesManager::connectedStreamSources() const {
    Sources copy;
    internalQueue_->sync([&] { copy = internalConnectedStreamSources_; });
    return copy;
}

void KNStreamSourcesManager::onDelegateQueue(std::function<void(KNStreamSourcesManagerDelegate&)> call) {
    auto self = shared_from_this();
    delegateQueue_->async([self, call = std::move(call)] {
        if (auto delegate = self->delegate()) call(*delegate);
    });
}

// Called inside a barrier.
void KNStreamSourcesManager::addConnectedSource(const std::shared_ptr<KNStreamSource>& source) {
    // A destination is listed once, however often it reports a connection.
    if (contains(internalConnectedStreamSources_, source.get())) return;
    internalConnectedStreamSources_.push_back(source);
    startTimer();
    if (internalConnectedStreamSources_.size() == 1) {
        onDelegateQueue([this](auto& d) { d.streamSourcesManagerFirstStreamDidConnect(this); });
    }
}

// Called inside a barrier. Stopping when the list is empty, also when it was empty before, is
// how a close reports 0 kilobytes and the last close again.
KNStreamSourcesManager::Emptied KNStreamSourcesManager::removeConnectedSource(
    const std::shared_ptr<KNStreamSource>& source) {
    std::erase_if(internalConnectedStreamSources_, [&](const auto& s) { return s->isEqual(*source); });
    if (!internalConnectedStreamSources_.empty()) return {};
    stopTimer();
    return {true};
}

// Called inside a barrier, for a destination whose own report says its connection is over.
KNStreamSourcesManager::Emptied KNStreamSourcesManager::removeConnectedSourceIfPresent(
    const std::shared_ptr<KNStreamSource>& source) {
    if (!contains(internalConnectedStreamSources_, source.get())) return {};
    return removeConnectedSource(source);
}

// After the exclusive step: the 0 report on this thread, then the last close on the delegate
// queue. A listener may read the manager from the 0 report without deadlocking.
void KNStreamSourcesManager::finishRemoval(const Emptied& emptied) {
    if (!emptied.lastClosed) return;
    if (auto delegate = this->delegate()) delegate->streamSourcesManagerDidUpdateBitrate(this, 0);
    onDelegateQueue([this](auto& d) { d.streamSourcesManagerLastStreamDidCloseConnection(this); });
}

void KNStreamSourcesManager::startTimer() {
    if (timer_) timer_->invalidate();
    std::weak_ptr<KNStreamSourcesManager> weak = weak_from_this();
    timer_ = platform::Timer::scheduledOnRunLoop(platform::RunLoop::main(), kThroughputInterval, true,
                                                 [weak](platform::Timer&) {
                                                     if (auto self = weak.lock()) self->fireTimer();
                                                 });
}

void KNStreamSourcesManager::stopTimer() {
    if (!timer_) return;
    timer_->invalidate();
    timer_.reset();
}

void KNStreamSourcesManager::fireTimer() {
    auto self = shared_from_this();
    delegateQueue_->async([self] {
        uint64_t kilobytes = self->sentBytesSinceTick_.exchange(0) / kBytesPerKilobyte;
        if (auto delegate = self->delegate()) delegate->streamSourcesManagerDidUpdateBitrate(self.get(), kilobytes);
    });
}

void KNStreamSourcesManager::streamSourceDidConnect(const std::shared_ptr<KNStreamSource>& source) {
    // A report already on its way when the destination was removed: its close would no longer
    // reach us, so it must not be listed as connected.
    bool managed = false;
    internalQueue_->barrierSync([&] {
        managed = source->streamSourcesManager().get() == this;
        if (managed) addConnectedSource(source);
    });
    if (!managed) return;
    onDelegateQueue([this, source](auto& d) { d.streamSourcesManagerStreamSourceDidConnect(this, source); });
}

void KNStreamSourcesManager::streamSourceDidDisconnect(const std::shared_ptr<KNStreamSource>& source) {
    Emptied emptied;
    internalQueue_->barrierSync([&] { emptied = removeConnectedSourceIfPresent(source); });
    finishRemoval(emptied);
}

void KNStreamSourcesManager::streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>& source) {
    // A destination closed while still connecting reported its connection after the close had
    // emptied its place: its close report takes it out again.
    Emptied emptied;
    internalQueue_->barrierSync([&] { emptied = removeConnectedSourceIfPresent(source); });
    finishRemoval(emptied);
    onDelegateQueue([this, source](auto& d) { d.streamSourcesManagerStreamSourceDidCloseConnection(this, source); });
}

void KNStreamSourcesManager::streamSourceDidFailConnectingWithError(const std::shared_ptr<KNStreamSource>& source,
                                                                    const std::shared_ptr<KNError>& error) {
    bool alreadyConnected =
        error && !error->errorCodes().empty() && error->errorCodes().front() == kConnectionAlreadyInitialized;
    if (!alreadyConnected) {
        Emptied emptied;
        internalQueue_->barrierSync([&] { emptied = removeConnectedSourceIfPresent(source); });
        finishRemoval(emptied);
    }
    onDelegateQueue([this, source, error](auto& d) {
        d.streamSourcesManagerStreamSourceDidFailConnectingWithError(this, source, error);
    });
}

void KNStreamSourcesManager::streamSourceDidEstimateNewBitrate(const std::shared_ptr<KNStreamSource>& source,
                                                               uint64_t bitsPerSecond) {
    internalQueue_->barrierSync([&] {
        bitrateEstimations_[source.get()] = bitsPerSecond;
        if (bitrateEstimations_.size() < internalConnectedStreamSources_.size()) return;
        uint64_t sum = 0;
        for (auto& [_, estimate] : bitrateEstimations_) sum += estimate;
        uint64_t mean = sum / bitrateEstimations_.size();
        if (mean <= kMinimumEstimateBps) mean = kMinimumEstimateBps;
        bitrateEstimations_.clear();
        onDelegateQueue([this, mean](auto& d) { d.streamSourcesManagerDidEstimateNewBitrate(this, mean); });
    });
}

void KNStreamSourcesManager::streamSourceDidSendPacketWithSize(const std::shared_ptr<KNStreamSource>&,
                                                               uint64_t sizeBytes) {
    // Counted where it is reported: a task per packet and destination would wake the queue as often.
    sentBytesSinceTick_.fetch_add(sizeBytes, std::memory_order_relaxed);
}

void KNStreamSourcesManager::streamSourceDidDropPacket(const std::shared_ptr<KNStreamSource>&) {
    onDelegateQueue([this](auto& d) { d.streamSourcesManagerDidDropPacket(this); });
}
