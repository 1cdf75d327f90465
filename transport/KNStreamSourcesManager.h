#pragma once
// Owns the destinations of one pipeline: connects and closes them, fans every encoded packet out
// to the connected ones, reports the first connection and the last close, the bytes sent each
// second, and one combined bandwidth estimate for the video encoder.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "kestrune/KNStreamSourcesControls.h"
#include "transport/KNStreamSourcePrivateDelegate.h"

class KNMetadata;
class KNStreamSourcesManager;
namespace platform {
class DispatchQueue;
class Timer;
}  // namespace platform

// Every operation is optional; all arrive on the manager's serial delegate queue, except the
// throughput report of 0 when the last connected destination leaves, which is made on the
// thread that removed it (it must not call back into the manager).
class KNStreamSourcesManagerDelegate {
public:
    virtual ~KNStreamSourcesManagerDelegate() = default;
    virtual void streamSourcesManagerFirstStreamDidConnect(KNStreamSourcesManager* /*manager*/) {}
    virtual void streamSourcesManagerLastStreamDidCloseConnection(KNStreamSourcesManager* /*manager*/) {}
    virtual void streamSourcesManagerStreamSourceDidConnect(KNStreamSourcesManager* /*manager*/,
                                                            const std::shared_ptr<KNStreamSource>& /*source*/) {}
    virtual void streamSourcesManagerStreamSourceDidCloseConnection(
        KNStreamSourcesManager* /*manager*/, const std::shared_ptr<KNStreamSource>& /*source*/) {}
    virtual void streamSourcesManagerStreamSourceDidFailConnectingWithError(
        KNStreamSourcesManager* /*manager*/, const std::shared_ptr<KNStreamSource>& /*source*/,
        const std::shared_ptr<KNError>& /*error*/) {}
    // Bits per second, never below 1000.
    virtual void streamSourcesManagerDidEstimateNewBitrate(KNStreamSourcesManager* /*manager*/,
                                                           uint64_t /*bitsPerSecond*/) {}
    // Kilobytes (bytes / 1000) sent over all destinations in the last second.
    virtual void streamSourcesManagerDidUpdateBitrate(KNStreamSourcesManager* /*manager*/,
                                                      uint64_t /*kilobytes*/) {}
    virtual void streamSourcesManagerDidDropPacket(KNStreamSourcesManager* /*manager*/) {}
};

class KNStreamSourcesManager : public KNStreamSourcesControls,
                               public KNStreamSourcePrivateDelegate,
                               public std::enable_shared_from_this<KNStreamSourcesManager> {
public:
    using Bytes = KNStreamSource::Bytes;

    static std::shared_ptr<KNStreamSourcesManager> create();
    ~KNStreamSourcesManager() override;

    std::shared_ptr<KNStreamSource> addSourceWithStreamInfo(std::shared_ptr<KNStreamInfo> info);
    void removeSource(const std::shared_ptr<KNStreamSource>& source);
    void establishConnectionToSource(const std::shared_ptr<KNStreamSource>& source);
    void closeConnectionToSource(const std::shared_ptr<KNStreamSource>& source);
    void establishConnectionToAllSources() override;
    void closeConnectionOnAllSources() override;

    // Fan-out to the connected destinations; the payloads are shared, never copied.
    void setVideoSPSAndPPS(const Bytes& sps, const Bytes& pps);
    void sendVideoPacketIsKeyFrameTimestamp(const Bytes& packet, bool isKeyFrame, uint64_t timestampMs);
    void sendAudioPacketTimestamp(const Bytes& adtsPacket, uint64_t timestampMs);

    bool adaptiveBitRateOn() const override;
    void setAdaptiveBitRateOn(bool on) override;
    uint64_t rtmpTimeout() const override;
    void setRtmpTimeout(uint64_t timeoutSeconds) override;
    std::shared_ptr<const KNMetadata> metadata() const;
    void setMetadata(std::shared_ptr<const KNMetadata> metadata);
    std::shared_ptr<KNStreamSourcesManagerDelegate> delegate() const;
    void setDelegate(std::weak_ptr<KNStreamSourcesManagerDelegate> delegate);

    Sources streamSources() const override;
    Sources connectedStreamSources() const override;

    // Destination events.
    void streamSourceDidConnect(const std::shared_ptr<KNStreamSource>& source) override;
    void streamSourceDidDisconnect(const std::shared_ptr<KNStreamSource>& source) override;
    void streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>& source) override;
    void streamSourceDidFailConnectingWithError(const std::shared_ptr<KNStreamSource>& source,
                                                const std::shared_ptr<KNError>& error) override;
    void streamSourceDidEstimateNewBitrate(const std::shared_ptr<KNStreamSource>& source,
                                           uint64_t bitsPerSecond) override;
    void streamSourceDidSendPacketWithSize(const std::shared_ptr<KNStreamSource>& source,
                                           uint64_t sizeBytes) override;
    void streamSourceDidDropPacket(const std::shared_ptr<KNStreamSource>& source) override;

    KNStreamSourcesManager();

private:
    // What a change of the connected list leaves to do once the exclusive step is over.
    struct Emptied {
        bool lastClosed = false;
    };
    void addConnectedSource(const std::shared_ptr<KNStreamSource>& source);
    Emptied removeConnectedSource(const std::shared_ptr<KNStreamSource>& source);
    Emptied removeConnectedSourceIfPresent(const std::shared_ptr<KNStreamSource>& source);
    void finishRemoval(const Emptied& emptied);
    void startTimer();
    void stopTimer();
    void fireTimer();
    void onDelegateQueue(std::function<void(KNStreamSourcesManagerDelegate&)> call);

    std::shared_ptr<platform::DispatchQueue> internalQueue_;
    std::shared_ptr<platform::DispatchQueue> delegateQueue_;

    // Guarded by internalQueue_ (reads shared, changes exclusive).
    Sources internalStreamSources_;
    Sources internalConnectedStreamSources_;
    std::unordered_map<const KNStreamSource*, uint64_t> bitrateEstimations_;
    std::shared_ptr<platform::Timer> timer_;

    // Added to by every destination's sender, taken on delegateQueue_ at each tick.
    std::atomic<uint64_t> sentBytesSinceTick_{0};

    // Settings read from any thread, including inside the exclusive step.
    mutable std::mutex settingsMutex_;
    bool adaptiveBitRateOn_ = false;
    uint64_t rtmpTimeout_ = 0;
    std::shared_ptr<const KNMetadata> metadata_;
    std::weak_ptr<KNStreamSourcesManagerDelegate> delegate_;
};
