#pragma once
// PCM in, AAC packets out (raw for the file, ADTS-framed for publishing), on one serial queue. The
// camera recorder's and the push streamer's encoders are this machine with different defaults and
// timestamps.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "encoding/KNAACEncoderDelegate.h"
#include "kestrune/KNAACEncoderControls.h"
#include "platform/DispatchQueue.h"
#include "platform/media/AudioConverter.h"
#include "platform/media/SampleBuffer.h"

class KNAACEncoderBase : public KNAACEncoderControls, public std::enable_shared_from_this<KNAACEncoderBase> {
public:
    using Bytes = KNAACEncoderDelegate::Bytes;

    // The platform's audio services; tests hand in stand-ins.
    struct Platform {
        std::function<std::vector<platform::AudioClassDescription>(uint32_t formatId)> encoders;
        std::function<platform::MediaStatus(const platform::AudioStreamDescription& input,
                                            const platform::AudioStreamDescription& output,
                                            const std::vector<platform::AudioClassDescription>& classes,
                                            std::shared_ptr<platform::AudioConverter>* converter)>
            newConverter;
        static Platform system();
    };

    ~KNAACEncoderBase() override = default;
    KNAACEncoderBase(const KNAACEncoderBase&) = delete;
    KNAACEncoderBase& operator=(const KNAACEncoderBase&) = delete;

    std::weak_ptr<KNAACEncoderDelegate> delegate() const;
    void setDelegate(std::weak_ptr<KNAACEncoderDelegate> delegate);
    const std::shared_ptr<platform::DispatchQueue>& encoderQueue() const { return encoderQueue_; }

    // Rate and channels take effect on the queue, in the order they were set, for the next
    // converter: one set right after startEncoding() still shapes this start's stream.
    uint64_t sampleRate() const override { return sampleRate_.load(); }
    void setSampleRate(uint64_t sampleRate);
    uint64_t channelsNumber() const override { return channelsNumber_.load(); }
    void setChannelsNumber(uint64_t channelsNumber);
    uint64_t bitRate() const override { return bitRate_.load(); }
    // Stored; a running converter takes it between packets (error 50001 when it refuses).
    void setBitRate(uint64_t bitRate) override;

    // Bytes per frame of the AAC output description: 0.
    uint64_t sampleSize() const { return sampleSize_.load(); }
    // The converter's AudioSpecificConfig; null without a converter.
    Bytes magicCookie() const override;
    // Priming frames ahead of the first input frame in the decoded stream; all ones without a converter.
    uint64_t decoderDelay() const;
    bool isConfigured() const override;
    bool started() const override { return started_.load(); }
    bool firstAudioPacket() const { return firstAudioPacket_.load(); }
    // YES makes the next chunk the zero of the presentation times (a recording's start).
    void setFirstAudioPacket(bool first) { firstAudioPacket_ = first; }
    int64_t firstPacketTimeValue() const { return firstPacketTimeValue_.load(); }
    // Bytes of PCM per chunk: 1024 frames of 16-bit samples.
    uint64_t bufferLength() const { return bufferLength_.load(); }

    // Signed 16-bit interleaved PCM at sampleRate() with channelsNumber() channels, any length.
    virtual void encodeAudioDataTimestamp(Bytes data, uint64_t timestamp) = 0;
    void startEncoding();
    // Always reaches the queue, so a stop right after a start still stops.
    void stopEncoding();

    // The 7-byte ADTS header for a packet of that many bytes, describing the current stream
    // (AAC LC, its rate and channels); null when the frame would be too long for the header.
    Bytes adtsDataForPacketLength(uint64_t packetLength) const;

protected:
    enum class Timestamps {
        // Stamped with the host clock at the call; the ADTS timestamp is that clock.
        HostClock,
        // The caller's timestamp; the ADTS timestamp counts from the first chunk after a start.
        Caller,
    };
    KNAACEncoderBase(uint64_t defaultSampleRate, Timestamps timestamps, Platform platform);

    void enqueueRechunk(Bytes data, uint64_t timestamp);
    void enqueueSampleBuffer(std::shared_ptr<platform::SampleBuffer> buffer);

private:
    friend struct KNAACEncoderInput;

    void rechunk(const std::vector<uint8_t>& data, uint64_t timestamp);
    void encodeBufferTimestamp(const uint8_t* chunk, size_t chunkBytes, uint64_t timestamp);
    void encodeSampleBuffer(const platform::SampleBuffer& buffer);
    void startOnQueue();
    void stopOnQueue();
    bool setupOutStreamDescription();
    // Makes the converter from `input`; false (after reporting) when none results.
    bool setupEncoderFromDescription(const platform::AudioStreamDescription& input);
    bool getAudioClassDescription(uint32_t type, uint32_t manufacturer, platform::AudioClassDescription* description);
    platform::MediaStatus copyPCMSamplesIntoBuffer(platform::AudioConverter* converter, uint32_t* ioNumberFrames,
                                                   platform::AudioBufferList* ioData);
    // The converter's next packet; null when it has none (or failed, after reporting 50003).
    Bytes fillOnePacket();
    void deliver(const Bytes& packet, platform::MediaTime duration, platform::MediaTime presentationTime,
                 uint64_t adtsTimestamp);
    void reportErrorWithCodeAndMessage(int64_t code, const std::string& message);
    std::shared_ptr<KNAACEncoderDelegate> lockedDelegate() const;
    void publishConverter(std::shared_ptr<platform::AudioConverter> converter);

    const Timestamps timestamps_;
    const Platform platform_;
    std::shared_ptr<platform::DispatchQueue> encoderQueue_;

    mutable std::mutex delegateMutex_;
    std::weak_ptr<KNAACEncoderDelegate> delegate_;

    std::atomic<uint64_t> sampleRate_;
    std::atomic<uint64_t> channelsNumber_{1};
    std::atomic<uint64_t> bitRate_{128000};
    std::atomic<uint64_t> sampleSize_{0};
    std::atomic<bool> started_{false};
    std::atomic<bool> firstAudioPacket_{false};
    std::atomic<int64_t> firstPacketTimeValue_{0};
    std::atomic<uint64_t> bufferLength_{2048};
    // The stream the ADTS headers describe.
    std::atomic<uint64_t> streamSampleRate_;
    std::atomic<uint64_t> streamChannels_{1};

    // What the queries read, published by the queue whenever the converter changes.
    mutable std::mutex queryMutex_;
    bool configured_ = false;
    Bytes magicCookie_;
    uint64_t decoderDelay_ = UINT64_MAX;

    // Queue-only from here on.
    uint64_t queueSampleRate_;
    uint64_t queueChannels_ = 1;
    platform::AudioStreamDescription outStreamDescription_;
    std::shared_ptr<platform::AudioConverter> audioConverter_;
    std::vector<uint8_t> aacBuffer_;
    std::vector<uint8_t> leftBuf_;  // the re-chunk buffer; its size is the pending byte count
    bool rechunkReady_ = false;     // a start has made the re-chunk buffer
    std::optional<uint64_t> lastChunkTimestamp_;  // of this start's last chunk
    // The input handed to the converter once: PCM in the converter's input layout.
    const uint8_t* pcmBuffer_ = nullptr;
    size_t pcmBufferSize_ = 0;
    // What the input callback answers once the pending input is gone: 0 has the converter pad
    // a partial packet, kInputExhausted has it keep the frames for the next input.
    platform::MediaStatus inputEndStatus_ = 0;
};
