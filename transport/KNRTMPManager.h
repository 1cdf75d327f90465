#pragma once
// Publishes one stream to one RTMP or RTMPS server. Connecting, closing and every write run on
// the publisher's own serial queue; packets are handed in on the caller's thread, bounded by
// kMaxQueueLoad, and interleaved by timestamp on the queue.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/KNFrame.h"
#include "core/KNMetadata.h"
#include "platform/DispatchQueue.h"
#include "transport/KNFLVPayload.h"
#include "transport/KNInterleaver.h"
#include "transport/KNRTMPManagerDelegate.h"
#include "transport/KNRTMPPacketBuffer.h"
#include "transport/KNRTMPSession.h"

// Packets waiting on a publisher's queue beyond which new ones are dropped.
inline constexpr int64_t kMaxQueueLoad = 150;

class KNRTMPManager : public std::enable_shared_from_this<KNRTMPManager> {
public:
    using Bytes = KNFrame::Bytes;

    // Size reported for a packet on top of its payload: the library's packet record, its header
    // room and the FLV tag header.
    static constexpr uint64_t kPacketOverheadBytes = sizeof(RTMPPacket) + RTMP_MAX_HEADER_SIZE + 9;
    // Time-out of a connect when none is set.
    static constexpr int32_t kDefaultTimeoutSeconds = 30;
    static constexpr uint32_t kInitialPacketBufferBytes = 50000;

    static std::shared_ptr<KNRTMPManager> create();
    // With another kind of session, e.g. a stand-in in tests.
    static std::shared_ptr<KNRTMPManager> createWithSessionFactory(KNRTMPSessionFactory factory);
    ~KNRTMPManager();

    std::shared_ptr<KNRTMPManagerDelegate> delegate() const;
    void setDelegate(std::weak_ptr<KNRTMPManagerDelegate> delegate);
    // The library's connect string.
    std::optional<std::string> connectionURL() const;
    void setConnectionURL(std::optional<std::string> url);
    std::shared_ptr<const KNMetadata> metadata() const;
    void setMetadata(std::shared_ptr<const KNMetadata> metadata);
    // Seconds; 0 means the default of kDefaultTimeoutSeconds.
    uint64_t timeout() const;
    void setTimeout(uint64_t timeoutSeconds);
    bool sendingAudio() const { return sendingAudio_.load(); }
    void setSendingAudio(bool sending) { sendingAudio_.store(sending); }
    bool sendingVideo() const { return sendingVideo_.load(); }
    void setSendingVideo(bool sending) { sendingVideo_.store(sending); }
    const std::shared_ptr<platform::DispatchQueue>& senderQueue() const { return senderQueue_; }
    int64_t queueLoad() const { return queueLoad_.load(); }
    bool droppingFrames() const { return droppingFrames_.load(); }

    void establishConnection();
    void closeConnection();
    void setVideoSPSAndPPS(const Bytes& sps, const Bytes& pps);
    // One H.264 NAL unit without start code or length prefix.
    void sendVideoPacketIsKeyFrameTimestamp(const Bytes& packet, bool isKeyFrame, uint64_t timestampMs);
    // One AAC packet with its ADTS header.
    void sendAudioPacketTimestamp(const Bytes& packet, uint64_t timestampMs);

    explicit KNRTMPManager(KNRTMPSessionFactory factory);

private:
    struct WaitingPacket {
        Bytes data;
        bool video = false;
        bool keyFrame = false;
        uint64_t timestampMs = 0;
    };
    void enqueuePacket(WaitingPacket packet);
    // On the queue, run from the caller's thread: false when the connection can't take what
    // the packet may release without waiting, and the packet must be queued instead.
    bool processInline(const WaitingPacket& packet);
    void processPacket(const WaitingPacket& packet);
    // Reports that lead the caller back into its own destinations' locks wait for the queue's
    // next turn while a packet runs on the caller's thread.
    void report(std::function<void(KNRTMPManagerDelegate&)> call);
    void runAfterWaitingPackets(platform::DispatchQueue::Task task);

    // Queue side.
    void processWaitingPackets(const std::shared_ptr<std::vector<WaitingPacket>>& batch);
    void initConnection();
    void stopRtmpConnect();
    void releaseSession();
    void reportErrorWithCodeAndMessage(int64_t code, const std::string& message);
    void processVideoPacket(const Bytes& packet, bool isKeyFrame, uint64_t timestampMs);
    void processAudioPacket(const Bytes& packet, uint64_t timestampMs);
    void sendReadyFrames(const std::vector<KNInterleaver::Entry>& frames);
    bool sendH264Packet(const KNInterleaver::Entry& frame);
    bool sendAACPacket(const KNInterleaver::Entry& frame);
    bool sendSequenceHeader(const std::vector<uint8_t>& body, uint8_t packetType);
    void sendMetaData(const KNMetadata& metadata);
    int sendUnqueuedPacket(const std::vector<uint8_t>& body, uint8_t packetType, int channel, bool absoluteTimestamp);
    int sendRTMPPacketWithSize(RTMPPacket& packet, uint64_t sizeBytes);
    void tearDownLostConnection();

    const KNRTMPSessionFactory sessionFactory_;
    const std::shared_ptr<platform::DispatchQueue> senderQueue_;

    mutable std::mutex mutex_;  // the settings below, written by the host, read on the queue
    std::weak_ptr<KNRTMPManagerDelegate> delegate_;
    std::optional<std::string> connectionURL_;
    std::shared_ptr<const KNMetadata> metadata_;
    uint64_t timeout_ = 0;

    std::mutex waitingMutex_;
    // Packets handed in whose task is queued and not yet started.
    std::shared_ptr<std::vector<WaitingPacket>> waiting_;

    std::atomic<bool> sendingAudio_{true};
    std::atomic<bool> sendingVideo_{true};
    std::atomic<int64_t> queueLoad_{0};
    std::atomic<bool> droppingFrames_{false};
    // Copies of the stream bases for the enqueue log lines, written on the queue.
    std::atomic<uint64_t> loggedVideoBase_{0};
    std::atomic<uint64_t> loggedAudioBase_{0};

    // Only touched on the queue.
    bool runningInline_ = false;
    std::unique_ptr<KNRTMPSession> rtmp_;
    bool firstVideoPacket_ = true;
    bool firstAudioPacket_ = true;
    KNFLVPayload::AudioConfig declaredAudio_;
    std::vector<uint8_t> sps_;
    std::vector<uint8_t> pps_;
    KNInterleaver interleaver_;
    KNRTMPPacketBuffer packetBuffer_;
};
