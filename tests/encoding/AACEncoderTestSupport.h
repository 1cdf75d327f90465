#pragma once
// A recording delegate for the AAC encoders, a stand-in converter that remembers the PCM behind each
// packet and answers packets naming their chunk, and an encoder rig on it or on the real converter.
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "encoding/KNAACEncoder.h"
#include "encoding/KNAACEncoder2.h"

namespace aactest {

using platform::AudioStreamDescription;
using platform::MediaStatus;

struct Packet {
    std::vector<uint8_t> raw, adts;
    platform::MediaTime duration, presentationTime;
    uint64_t timestamp = 0;
};

struct RecordingDelegate : KNAACEncoderDelegate {
    // Each raw packet is followed by its ADTS form.
    void AACEncoderDidEncodeDataWithDurationPresentationTime(KNAACEncoderBase*, const Bytes& data, platform::MediaTime duration,
                                                             platform::MediaTime pts) override {
        std::lock_guard lock(mutex);
        packets.push_back({*data, {}, duration, pts, 0});
    }
    void AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase*, const Bytes& data, platform::MediaTime,
                                                                    uint64_t timestamp) override {
        std::lock_guard lock(mutex);
        packets.back().adts = *data;
        packets.back().timestamp = timestamp;
    }
    void AACEncoderDidFinishConfiguring(KNAACEncoderBase* encoder) override {
        std::lock_guard lock(mutex);
        events.push_back("configured");
        cookieAtConfigure = encoder->magicCookie();
    }
    void AACEncoderDidFailEncodingWithError(KNAACEncoderBase*, std::shared_ptr<KNError>) override {
        std::lock_guard lock(mutex);
        events.push_back("error");
    }
    template <class T> T take(T& what) {
        std::lock_guard lock(mutex);
        return std::exchange(what, {});
    }

    std::mutex mutex;
    std::vector<Packet> packets;
    std::vector<std::string> events;
    Bytes cookieAtConfigure;
};

inline void drain(const std::shared_ptr<KNAACEncoderBase>& encoder) { encoder->encoderQueue()->sync([] {}); }

struct FakeConverterLog {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> chunks;  // the PCM behind each packet
    std::vector<uint32_t> secondAskFrames;     // what a second request within a packet got
    std::vector<AudioStreamDescription> inputs, outputs;
};

class FakeAudioConverter : public platform::AudioConverter {
public:
    FakeAudioConverter(std::shared_ptr<FakeConverterLog> log, const AudioStreamDescription& in, const AudioStreamDescription& out)
        : log_(std::move(log)), in_(in), out_(out) {}
    const AudioStreamDescription& inputDescription() const override { return in_; }
    const AudioStreamDescription& outputDescription() const override { return out_; }
    MediaStatus setEncodeBitRate(uint32_t) override { return platform::kMediaNoErr; }
    uint32_t encodeBitRate() const override { return 0; }
    std::vector<uint8_t> magicCookie() const override { return {0x12, 0x08}; }
    PrimeInfo primeInfo() const override { return {2048, 0}; }
    uint32_t maximumOutputPacketSize() const override { return 1536; }
    size_t bufferedFrames() const override { return 0; }
    void reset() override {}

    MediaStatus fillComplexBuffer(platform::AudioConverterInputProc proc, void* userData, uint32_t* ioOutputPackets,
                                  platform::AudioBufferList* output, std::vector<platform::AudioStreamPacketDescription>*) override {
        platform::AudioBufferList list, again;
        uint32_t frames = 1024, moreFrames = 1024;
        proc(this, &frames, &list, userData);
        std::vector<uint8_t> pcm;
        if (frames > 0 && list.numberBuffers > 0) {
            const auto* data = static_cast<const uint8_t*>(list.buffers[0].data);
            pcm.assign(data, data + list.buffers[0].dataByteSize);
        }
        proc(this, &moreFrames, &again, userData);  // a real converter may ask again before it has a packet
        std::lock_guard lock(log_->mutex);
        log_->secondAskFrames.push_back(moreFrames);
        *ioOutputPackets = pcm.empty() ? 0 : 1;
        output->buffers[0].dataByteSize = pcm.empty() ? 0 : 3;
        if (pcm.empty()) return platform::kMediaNoErr;
        const uint8_t packet[] = {0xAA, uint8_t(log_->chunks.size()), 0x55};
        std::memcpy(output->buffers[0].data, packet, sizeof packet);
        log_->chunks.push_back(std::move(pcm));
        return platform::kMediaNoErr;
    }

private:
    std::shared_ptr<FakeConverterLog> log_;
    AudioStreamDescription in_, out_;
};

// The first encoder (48 kHz) or the second (44.1 kHz), on a stand-in converter or the real one.
struct Rig {
    explicit Rig(bool second, bool real = false) {
        auto platform = KNAACEncoderBase::Platform::system();
        if (!real) {
            platform.encoders = [](uint32_t id) {
                return std::vector<platform::AudioClassDescription>{{platform::kAudioEncoderComponentType, id, platform::kAudioCodecManufacturerSoftware}};
            };
            platform.newConverter = [log = log](const AudioStreamDescription& in, const AudioStreamDescription& out,
                                                const std::vector<platform::AudioClassDescription>&,
                                                std::shared_ptr<platform::AudioConverter>* c) {
                std::lock_guard lock(log->mutex);
                log->inputs.push_back(in);
                log->outputs.push_back(out);
                *c = std::make_shared<FakeAudioConverter>(log, in, out);
                return platform::kMediaNoErr;
            };
        }
        if (second) encoder = KNAACEncoder2::create(platform); else encoder = KNAACEncoder::create(platform);
        encoder->setDelegate(delegate);
    }
    std::shared_ptr<FakeConverterLog> log = std::make_shared<FakeConverterLog>();
    std::shared_ptr<KNAACEncoderBase> encoder;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

}  // namespace aactest
