#pragma once
// One stream destination as the host sees it: switch it on and off, choose audio and video,
// listen to its connection. Made by the recorder or the push streamer, never directly.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class KNError;
class KNStreamInfo;
class KNStreamSource;
class KNStreamSourcesManager;
class KNStreamSourcePrivateDelegate;
class KNRTMPManager;
class KNBandwidthDetector;

// Every operation is optional. Calls arrive on the thread of the event (the publisher's queue).
class KNStreamSourceDelegate {
public:
    virtual ~KNStreamSourceDelegate() = default;
    virtual void streamSourceDidConnect(const std::shared_ptr<KNStreamSource>& /*source*/) {}
    virtual void streamSourceDidDisconnect(const std::shared_ptr<KNStreamSource>& /*source*/) {}
    virtual void streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>& /*source*/) {}
    virtual void streamSourceDidFailConnectingWithError(const std::shared_ptr<KNStreamSource>& /*source*/,
                                                        const std::shared_ptr<KNError>& /*error*/) {}
};

class KNStreamSource : public std::enable_shared_from_this<KNStreamSource> {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

    static std::shared_ptr<KNStreamSource> create();
    // A second handle on the same destination: same publisher, detector and stream info.
    std::shared_ptr<KNStreamSource> copy();
    // Equal when both stream infos are equal; a source without stream info equals nothing.
    bool isEqual(const KNStreamSource& other) const;

    bool on() const { return internalOn_.load(); }
    void setOn(bool on);

    bool adaptiveBitrateOn() const { return adaptiveBitrateOn_.load(); }
    void setAdaptiveBitrateOn(bool on);
    // Seconds; 0 leaves the connect time-out at its default.
    uint64_t rtmpTimeout() const { return rtmpTimeout_.load(); }
    void setRtmpTimeout(uint64_t timeoutSeconds);
    bool sendingAudio() const;
    void setSendingAudio(bool sending);
    bool sendingVideo() const;
    void setSendingVideo(bool sending);

    std::shared_ptr<KNStreamSourceDelegate> delegate() const;
    void setDelegate(std::weak_ptr<KNStreamSourceDelegate> delegate);
    std::shared_ptr<KNStreamInfo> streamInfo() const;

    // The owner's side: the stream sources manager drives these.
    void setStreamInfo(std::shared_ptr<KNStreamInfo> info);
    std::shared_ptr<KNStreamSourcesManager> streamSourcesManager() const;
    void setStreamSourcesManager(std::weak_ptr<KNStreamSourcesManager> manager);
    void setPrivateDelegate(std::weak_ptr<KNStreamSourcePrivateDelegate> delegate);
    const std::shared_ptr<KNRTMPManager>& rtmpManager() const { return rtmpManager_; }
    const std::shared_ptr<KNBandwidthDetector>& bandwidthDetector() const { return bandwidthDetector_; }
    void establishConnection();
    void closeConnection();
    void setVideoSPSAndPPS(const Bytes& sps, const Bytes& pps);
    void sendVideoPacketIsKeyFrameTimestamp(const Bytes& packet, bool isKeyFrame, uint64_t timestampMs);
    void sendAudioPacketTimestamp(const Bytes& packet, uint64_t timestampMs);

    // Publisher and detector events, handed on by a listener of the source's own.
    void RTMPManagerDidConnectToServer(KNRTMPManager* manager);
    void RTMPManagerDidFailConnectingWithError(KNRTMPManager* manager, std::shared_ptr<KNError> error);
    void RTMPManagerDidDisconnect(KNRTMPManager* manager);
    void RTMPManagerDidCloseConnection(KNRTMPManager* manager);
    void RTMPManagerWillSendPacketWithSize(KNRTMPManager* manager, uint64_t sizeBytes);
    void RTMPManagerDidSendPacketWithSize(KNRTMPManager* manager, uint64_t sizeBytes);
    void RTMPManagerDidDropPacket(KNRTMPManager* manager);
    void bandwidthDetectorDidEstimateNewBitrate(KNBandwidthDetector* detector, uint64_t bitsPerSecond);

    KNStreamSource() = default;

    struct Events;

private:
    struct Listeners {
        std::shared_ptr<KNStreamSourcePrivateDelegate> privateDelegate;
        std::shared_ptr<KNStreamSourceDelegate> delegate;
    };
    Listeners listeners() const;
    void reportDisconnected(bool closed);

    std::atomic<bool> internalOn_{false};
    std::atomic<bool> adaptiveBitrateOn_{false};
    std::atomic<uint64_t> rtmpTimeout_{0};
    std::shared_ptr<KNRTMPManager> rtmpManager_;
    std::shared_ptr<KNBandwidthDetector> bandwidthDetector_;
    // The publisher's and detector's listener; it holds the source weakly, as they did.
    std::shared_ptr<Events> events_;

    mutable std::mutex mutex_;
    std::shared_ptr<KNStreamInfo> streamInfo_;
    std::weak_ptr<KNStreamSourceDelegate> delegate_;
    std::weak_ptr<KNStreamSourcesManager> manager_;
    std::weak_ptr<KNStreamSourcePrivateDelegate> privateDelegate_;
};
