#pragma once
// A recording delegate and a stand-in converter remembering the PCM behind each packet.
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "encoding/KNAACEncoder.h"
#include "encoding/KNAACEncoder2.h"

namespace aactest {

using platform::AudioStreamDescription;

struct Packet {
    std::vector<uint8_t> raw, adts;
    platform::MediaTime duration, presentationTime;
    uint64_t timestamp = 0;
};

struct RecordingDelegate : KNAACEncoderDelegate {
    void AACEncoderDidEncodeDataWithDurationPresentationTime(KNAACEncoderBase*, const Bytes& data, platform::MediaTime duration,
                                                             platform::MediaTime pts) override {
        std::lock_guard lock(mutex);
        packets.push_back({*data, {}, duration, pts});
    }
    void AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase*, const Bytes& data, platform::MediaTime,
                                                                    uint64_t timestamp) override {
        std::lock_guard lock(mutex);
        packets.back().adts = *data;
        packets.back().timestamp = timestamp;
    }
    void AACEncoderDidFinishConfiguring(KNAACEncoderBase* encoder) override {
        std::lock_guard lock(mutex);
        ++configured;
        cookieAtConfigure = encoder->magicCookie();
    }
    void AACEncoderDidFailEncodingWithError(KNAACEncoderBase*, std::shared_ptr<KNError>) override { ++errors; }
    std::vector<Packet> takePackets() {
        std::lock_guard lock(mutex);
        return std::exchange(packets, {});
    }

    std::mutex mutex;
    std::vector<Packet> packets;
    std::atomic<int> configured{0}, errors{0};
    Bytes cookieAtConfigure;
};

inline void drain(const std::shared_ptr<KNAACEncoderBase>& encoder) { encoder->encoderQueue()->sync([] {}); }

struct FakeConverterLog {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> chunks;  // the PCM behind each packet
    std::vector<uint32_t> secondAskFrames;     // what a second request within a packet got
    std::vector<AudioStreamDescription> inputs;
};

struct FakeAudioConverter : platform::AudioConverter {
    FakeAudioConverter(std::shared_ptr<FakeConverterLog> log, const AudioStreamDescription& in, const AudioStreamDescription& out)
        : log(std::move(log)), in(in), out(out) {}
    const AudioStreamDescription& inputDescription() const override { return in; }
    const AudioStreamDescription& outputDescription() const override { return out; }
    platform::MediaStatus setEncodeBitRate(uint32_t) override { return platform::kMediaNoErr; }
    uint32_t encodeBitRate() const override { return 0; }
    std::vector<uint8_t> magicCookie() const override { return {0x12, 0x08}; }
    PrimeInfo primeInfo() const override { return {2048, 0}; }
    uint32_t maximumOutputPacketSize() const override { return 1536; }
    size_t bufferedFrames() const override { return 0; }
    void reset() override {}

    platform::MediaStatus fillComplexBuffer(platform::AudioConverterInputProc proc, void* userData, uint32_t* ioOutputPackets,
                                  platform::AudioBufferList* output, std::vector<platform::AudioStreamPacketDescription>*) override {
        platform::AudioBufferList list, again;
        uint32_t frames = 1024, moreFrames = 1024;
        proc(this, &frames, &list, userData);
        const auto* data = static_cast<const uint8_t*>(list.buffers[0].data);
        std::vector<uint8_t> pcm(data, data + (frames > 0 && list.numberBuffers > 0 ? list.buffers[0].dataByteSize : 0));
        proc(this, &moreFrames, &again, userData);  // a real converter may ask again before it has a packet
        std::lock_guard lock(log->mutex);
        log->secondAskFrames.push_back(moreFrames);
        *ioOutputPackets = output->buffers[0].dataByteSize = pcm.empty() ? 0 : 1;
        if (!pcm.empty()) static_cast<uint8_t*>(output->buffers[0].data)[0] = uint8_t(log->chunks.size());
        if (!pcm.empty()) log->chunks.push_back(std::move(pcm));
        return platform::kMediaNoErr;
    }

    std::shared_ptr<FakeConverterLog> log;
    AudioStreamDescription in, out;
};

// The first encoder (48 kHz) or the second (44.1 kHz), on a stand-in converter or the real one.
struct Rig {
    explicit Rig(bool second, bool real = false) {
        auto platform = KNAACEncoderBase::Platform::system();
        if (!real)
            platform.newConverter = [log = log](const AudioStreamDescription& in, const AudioStreamDescription& out,
                                                const std::vector<platform::AudioClassDescription>&,
                                                std::shared_ptr<platform::AudioConverter>* c) {
                std::lock_guard lock(log->mutex);
                log->inputs.push_back(in);
                *c = std::make_shared<FakeAudioConverter>(log, in, out);
                return platform::kMediaNoErr;
            };
        if (second)
            encoder = KNAACEncoder2::create(platform);
        else
            encoder = KNAACEncoder::create(platform);
        encoder->setDelegate(delegate);
    }
    std::shared_ptr<FakeConverterLog> log = std::make_shared<FakeConverterLog>();
    std::shared_ptr<KNAACEncoderBase> encoder;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

}  // namespace aactest
