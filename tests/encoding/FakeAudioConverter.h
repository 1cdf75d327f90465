#pragma once
// A stand-in audio converter: remembers the PCM each packet was made from and answers packets
// that name their chunk, so the encoders' cutting and timing can be checked exactly.
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "encoding/KNAACEncoderBase.h"

namespace aactest {

struct FakeConverterLog {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> chunks;  // the PCM behind each packet
    std::vector<uint32_t> secondAskFrames;     // what a second request within a packet got
    std::vector<platform::AudioStreamDescription> inputs, outputs;
    std::vector<uint32_t> bitRates;
    int made = 0;
    // Knobs.
    std::atomic<bool> noEncoders{false};
    std::atomic<bool> refuseBitRate{false};
    std::atomic<bool> failFill{false};
};

class FakeAudioConverter : public platform::AudioConverter {
public:
    FakeAudioConverter(std::shared_ptr<FakeConverterLog> log, const platform::AudioStreamDescription& in,
                       const platform::AudioStreamDescription& out)
        : log_(std::move(log)), in_(in), out_(out) {}

    const platform::AudioStreamDescription& inputDescription() const override { return in_; }
    const platform::AudioStreamDescription& outputDescription() const override { return out_; }
    platform::MediaStatus setEncodeBitRate(uint32_t bitsPerSecond) override {
        if (log_->refuseBitRate) return platform::kAudioConverterErrBadPropertyValue;
        std::lock_guard lock(log_->mutex);
        log_->bitRates.push_back(bitsPerSecond);
        return platform::kMediaNoErr;
    }
    uint32_t encodeBitRate() const override { return 0; }
    std::vector<uint8_t> magicCookie() const override { return {0x12, 0x08}; }
    PrimeInfo primeInfo() const override { return {2048, 0}; }
    uint32_t maximumOutputPacketSize() const override { return 1536; }
    size_t bufferedFrames() const override { return 0; }
    void reset() override {}

    platform::MediaStatus fillComplexBuffer(platform::AudioConverterInputProc proc, void* userData,
                                            uint32_t* ioOutputPackets, platform::AudioBufferList* output,
                                            std::vector<platform::AudioStreamPacketDescription>*) override {
        if (log_->failFill) return platform::kAudioConverterErrUnspecified;
        platform::AudioBufferList list;
        uint32_t frames = 1024;
        proc(this, &frames, &list, userData);
        std::vector<uint8_t> pcm;
        if (frames > 0 && list.numberBuffers > 0) {
            const auto* data = static_cast<const uint8_t*>(list.buffers[0].data);
            pcm.assign(data, data + list.buffers[0].dataByteSize);
        }
        // A real converter may ask again before it has a packet: nothing may come twice.
        platform::AudioBufferList again;
        uint32_t moreFrames = 1024;
        proc(this, &moreFrames, &again, userData);
        std::lock_guard lock(log_->mutex);
        log_->secondAskFrames.push_back(moreFrames);
        if (pcm.empty()) {
            *ioOutputPackets = 0;
            output->buffers[0].dataByteSize = 0;
            return platform::kMediaNoErr;
        }
        const auto index = static_cast<uint8_t>(log_->chunks.size());
        log_->chunks.push_back(std::move(pcm));
        const uint8_t packet[] = {0xAA, index, 0x55};
        std::memcpy(output->buffers[0].data, packet, sizeof packet);
        output->buffers[0].dataByteSize = sizeof packet;
        *ioOutputPackets = 1;
        return platform::kMediaNoErr;
    }

private:
    std::shared_ptr<FakeConverterLog> log_;
    platform::AudioStreamDescription in_, out_;
};

inline KNAACEncoderBase::Platform fakePlatform(const std::shared_ptr<FakeConverterLog>& log) {
    KNAACEncoderBase::Platform p;
    p.encoders = [log](uint32_t formatId) -> std::vector<platform::AudioClassDescription> {
        if (log->noEncoders) return {};
        return {{platform::kAudioEncoderComponentType, formatId, 0x12345678},
                {platform::kAudioEncoderComponentType, formatId, platform::kAudioCodecManufacturerSoftware}};
    };
    p.newConverter = [log](const platform::AudioStreamDescription& in, const platform::AudioStreamDescription& out,
                           const std::vector<platform::AudioClassDescription>&,
                           std::shared_ptr<platform::AudioConverter>* converter) {
        std::lock_guard lock(log->mutex);
        log->inputs.push_back(in);
        log->outputs.push_back(out);
        ++log->made;
        *converter = std::make_shared<FakeAudioConverter>(log, in, out);
        return platform::kMediaNoErr;
    };
    return p;
}

}  // namespace aactest
