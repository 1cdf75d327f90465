#pragma once
// Turns raw video frames into H.264 on a compression session. Start, encode and stop run in order
// on encodingQueue; the outputs come from the session's own thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "encoding/KNH264EncoderDelegate.h"
#include "kestrune/KNH264EncoderControls.h"
#include "kestrune/KNTypes.h"
#include "platform/DispatchQueue.h"
#include "platform/media/CompressionSession.h"
#include "platform/media/SampleBuffer.h"

class KNH264Encoder : public KNH264EncoderControls, public std::enable_shared_from_this<KNH264Encoder> {
public:
    static constexpr int32_t kDefaultBitrate = 3036000;  // bits per second

    static std::shared_ptr<KNH264Encoder> create();
    ~KNH264Encoder() override;
    KNH264Encoder(const KNH264Encoder&) = delete;
    KNH264Encoder& operator=(const KNH264Encoder&) = delete;

    std::shared_ptr<KNH264EncoderDelegate> delegate() const;
    void setDelegate(std::weak_ptr<KNH264EncoderDelegate> delegate);
    const std::shared_ptr<platform::DispatchQueue>& encodingQueue() const { return encodingQueue_; }
    void setEncodingQueue(std::shared_ptr<platform::DispatchQueue> queue) { encodingQueue_ = std::move(queue); }
    int32_t bitrate() const override { return bitrate_.load(); }
    void setBitrate(int32_t bitrateBps) { bitrate_.store(bitrateBps); }
    // Frames; 0 means no limit.
    uint64_t keyFrameInterval() const override { return keyFrameInterval_.load(); }
    void setKeyFrameInterval(uint64_t frames) { keyFrameInterval_.store(frames); }
    // When true the first unit of each key frame is not delivered, unless it is a picture.
    bool extraSpsPps() const { return extraSpsPps_.load(); }
    void setExtraSpsPps(bool extra) { extraSpsPps_.store(extra); }
    KNVideoFrameSize resolution() const override;
    bool started() const override { return started_.load(); }
    bool firstPacket() const { return firstPacket_.load(); }
    // Frames the session dropped because encoding fell behind, since creation. The log says so
    // at warning level, at most once a second, with the count since its last line.
    uint64_t droppedFrameCount() const override { return droppedFrames_.load(); }
    int64_t firstPacketTimeValue() const { return firstPacketTimeValue_.load(); }

    void startEncodingWithResolutionHeight(int32_t width, int32_t height);
    // Holds the buffer until its frame has been handed to the session.
    void encode(std::shared_ptr<platform::SampleBuffer> sampleBuffer);
    void changeResolutionHeight(int32_t width, int32_t height);
    // Always queued, so that it also stops a start still waiting on the queue.
    void stopEncoding();
    // Applies at once, on the caller's thread.
    void updateBitrate(int32_t bitrateBps) override;
    // The rate the running session encodes at; 0 without one.
    int32_t configuredAverageBitRate() const;
    // Ends the session without finishing pending frames; `started` stays as it is.
    void endEncodingSession();

    // The session's output callback; `outputContext` is the encoder's own weak reference.
    static void outputCallback(void* outputContext, void* frameContext, platform::MediaStatus status,
                               uint32_t infoFlags, std::shared_ptr<platform::SampleBuffer> sampleBuffer);

    // One frame's output as the callback hands it on: parameter sets, NAL units, sample buffer.
    void handleOutput(double frameContextMs, platform::MediaStatus status,
                      const std::shared_ptr<platform::SampleBuffer>& sampleBuffer);

    KNH264Encoder();

private:
    void startBlock(int32_t width, int32_t height);
    void encodeBlock(const std::shared_ptr<platform::SampleBuffer>& sampleBuffer);
    void stopBlock();
    bool initializeEncoderWithResolutionHeight(int32_t width, int32_t height);
    void setInitialProperties(platform::CompressionSession& session);
    void sendPpsSps(const platform::SampleBuffer& sampleBuffer);
    void sendNALUnitsKeyframeTimestamp(const platform::SampleBuffer& sampleBuffer, bool keyframe, uint64_t timestampMs);
    void reportStartingErrorWithCodeAndMessage(int64_t code, const std::string& message);
    void reportEncodingErrorWithCodeAndMessage(int64_t code, const std::string& message);
    std::shared_ptr<platform::CompressionSession> session() const;
    void noteDroppedFrame();
    void logDroppedFrames();

    mutable std::mutex mutex_;  // guards delegate_, resolution_ and session_
    std::weak_ptr<KNH264EncoderDelegate> delegate_;
    std::shared_ptr<platform::DispatchQueue> encodingQueue_;
    std::atomic<int32_t> bitrate_{kDefaultBitrate};
    std::atomic<uint64_t> keyFrameInterval_{0};
    std::atomic<bool> extraSpsPps_{true};
    KNVideoFrameSize resolution_{};
    std::atomic<bool> started_{false};
    std::atomic<bool> firstPacket_{false};
    std::atomic<int64_t> firstPacketTimeValue_{0};
    std::shared_ptr<platform::CompressionSession> session_;
    std::atomic<uint64_t> droppedFrames_{0};
    std::mutex dropLogMutex_;  // guards the three below
    uint64_t droppedSinceLogLine_ = 0;
    double lastDropLogLine_ = -1e9;  // host clock, seconds
    bool dropLogLineDue_ = false;
    // Handed to the session as its context; outlives every session because the destructor ends it.
    std::unique_ptr<std::weak_ptr<KNH264Encoder>> callbackTarget_;
};

// The session's output callback under its exported name.
void didCompressH264(void* outputContext, void* frameContext, platform::MediaStatus status, uint32_t infoFlags,
                     std::shared_ptr<platform::SampleBuffer> sampleBuffer);
