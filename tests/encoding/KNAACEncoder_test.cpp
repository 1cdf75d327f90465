// Cutting, timing, failures and framing of both AAC encoders, on a stand-in converter and a
// controlled host clock.
#include <gtest/gtest.h>

#include "encoding/AACEncoderTestSupport.h"
#include "encoding/KNAACEncoder.h"
#include "encoding/KNAACEncoder2.h"
#include "kestrune/KNAudioResampler.h"
#include "platform/HostClock.h"

using namespace aactest;
using platform::MediaTime;

namespace {

// Bytes of one running count, so every chunk shows where it was cut.
KNAACEncoderBase::Bytes pattern(size_t n, size_t first) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(n);
    for (size_t i = 0; i < n; ++i) (*bytes)[i] = static_cast<uint8_t>((first + i) % 251);
    return bytes;
}

// The first encoder (48 kHz) or the second (44.1 kHz) on a stand-in converter.
struct Rig {
    explicit Rig(bool second) {
        if (second) encoder = KNAACEncoder2::create(fakePlatform(log)); else encoder = KNAACEncoder::create(fakePlatform(log));
        encoder->setDelegate(delegate);
    }
    ~Rig() {
        encoder->stopEncoding();
        drain(encoder);
    }
    std::shared_ptr<FakeConverterLog> log = std::make_shared<FakeConverterLog>();
    std::shared_ptr<KNAACEncoderBase> encoder;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

}  // namespace

// The first encoder stamps with the host clock at the call (48 kHz); the second with the
// caller's time counted from its first chunk (44.1 kHz). Both stamp every chunk where it lies.
TEST(AACEncoderChunks, RechunkingAndTimingTable) {
    static std::atomic<uint64_t> clockMs{0};
    platform::HostClock::setOverride([] { return double(clockMs.load()) / 1000.0; });
    struct Step {
        size_t bytes;
        uint64_t ms;  // the host clock at the call, and the caller's timestamp
        bool restart = false;
    };
    struct Case {
        const char* name;
        bool second;
        std::vector<Step> steps;
        std::vector<size_t> chunkStarts;  // offsets into all the bytes fed
        std::vector<uint64_t> stamps;
        std::vector<int64_t> times;  // presentation times at the stream's rate
        size_t errors = 0;
        uint64_t channels = 1;
    };
    const Case cases[] = {
        {"1000+1000+1000 keeps 952 for the next chunk", false, {{1000, 10000}, {1000, 10010}, {1000, 10020}, {1096, 10040}},
         {0, 2048}, {10020, 10040}, {0, 960}},
        {"2048 leaves nothing pending", false, {{2048, 20000}, {2047, 20100}, {1, 20200}}, {0, 2048}, {20000, 20200}, {0, 9600}},
        {"5000: two chunks 1024 frames apart, 904 kept", false, {{5000, 20500}, {1144, 20600}}, {0, 2048, 4096},
         {20500, 20521, 20600}, {0, 1008, 4800}},
        {"stop then start drops pending bytes", false, {{1000, 2000}, {1048, 4000, true}, {1000, 4500}}, {1000}, {4500}, {0}},
        {"stereo chunks are 1024 frames", true, {{4096, 100}}, {0}, {0}, {0}, 0, 2},
        {"caller's time", true, {{4096, 100}, {2048, 5000}, {2048, 5023}, {2048, 5046}}, {0, 2048, 4096, 6144, 8192},
         {0, 23, 4900, 4923, 4946}, {0, 1014, 216090, 217104, 218118}},
        {"caller's time going back loses the chunk; no wrap", true, {{2048, 5000}, {2048, 4000}, {2048, UINT64_MAX}, {2048, 5100}},
         {0, 4096, 6144}, {0, UINT64_MAX - 5000, 100}, {0, INT64_MAX, 4410}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.second);
        auto& [log, encoder, delegate] = rig;
        encoder->setChannelsNumber(c.channels);
        encoder->encodeAudioDataTimestamp(pattern(4096, 0), 1);  // before the start: dropped
        encoder->startEncoding();
        size_t fed = 0;
        for (const Step& s : c.steps) {
            if (s.restart) encoder->stopEncoding(), encoder->startEncoding();
            drain(encoder);
            clockMs = s.ms;
            encoder->encodeAudioDataTimestamp(pattern(s.bytes, fed), s.ms);
            fed += s.bytes;
            drain(encoder);
        }
        const size_t chunkBytes = 2048 * c.channels;
        std::lock_guard lock(log->mutex);
        ASSERT_EQ(log->chunks.size(), c.chunkStarts.size());
        for (size_t i = 0; i < c.chunkStarts.size(); ++i) EXPECT_EQ(log->chunks[i], *pattern(chunkBytes, c.chunkStarts[i])) << i;
        EXPECT_EQ(log->secondAskFrames, std::vector<uint32_t>(log->chunks.size(), 0)) << "each chunk is handed over once";
        const auto packets = delegate->takePackets();
        std::vector<uint64_t> stamps;
        std::vector<int64_t> times;
        for (const auto& p : packets) {
            stamps.push_back(p.timestamp);
            times.push_back(p.presentationTime.value);
            EXPECT_EQ(p.duration, MediaTime::make(1024, c.second ? 44100 : 48000));
            EXPECT_EQ(p.adts.size(), p.raw.size() + 7);
        }
        EXPECT_EQ(stamps, c.stamps);
        EXPECT_EQ(times, c.times);
        const auto events = delegate->takeEvents();
        EXPECT_EQ(size_t(std::count_if(events.begin(), events.end(), [](auto& e) { return e.rfind("error", 0) == 0; })), c.errors);
    }
    platform::HostClock::clearOverride();
}

TEST(AACEncoderFailures, EachIsReportedAndTheEncoderRecovers) {
    const std::string failed = "error 50003 Failed to encode sample buffer", rate = "error 50001 Audio bit rate not supported";
    const std::pair<std::atomic<bool> FakeConverterLog::*, std::vector<std::string>> cases[] = {
        // No encoder: the chunk fails, and the next one tries again.
        {&FakeConverterLog::noEncoders, {"error 50002 Encoder configuration not supprted", failed, "configured", "raw", "adts"}},
        // A converter that fails a packet loses that chunk only.
        {&FakeConverterLog::failFill, {"configured", failed, "raw", "adts"}},
        // A refused bit rate is reported instead of the configured signal; the converter still encodes.
        {&FakeConverterLog::refuseBitRate, {rate, "raw", "adts", "raw", "adts"}},
    };
    for (const auto& [knob, events] : cases) {
        Rig rig(true);
        rig.encoder->startEncoding();
        *rig.log.*knob = true;
        rig.encoder->encodeAudioDataTimestamp(pattern(2048, 0), 1);
        drain(rig.encoder);
        *rig.log.*knob = false;
        rig.encoder->encodeAudioDataTimestamp(pattern(2048, 0), 2);
        drain(rig.encoder);
        EXPECT_EQ(rig.delegate->takeEvents(), events);
    }
    Rig rig(false);
    rig.encoder->setSampleRate(45000);
    rig.encoder->startEncoding();
    drain(rig.encoder);
    EXPECT_EQ(rig.delegate->takeEvents(), std::vector<std::string>{"error 50000 Sample rate not supported"});
}

TEST(ADTSHeader, CarriesTheStreamsProfileRateChannelsAndLength) {
    using H = std::vector<uint8_t>;
    Rig first(false);  // 48 kHz mono
    // frame_length = length + 7 across the bit-11 boundary, and the largest that fits.
    const std::pair<uint64_t, H> rows[] = {
        {371, {0xFF, 0xF9, 0x4C, 0x40, 0x2F, 0x5F, 0xFC}},  {0, {0xFF, 0xF9, 0x4C, 0x40, 0x00, 0xFF, 0xFC}},
        {2040, {0xFF, 0xF9, 0x4C, 0x40, 0xFF, 0xFF, 0xFC}}, {2041, {0xFF, 0xF9, 0x4C, 0x41, 0x00, 0x1F, 0xFC}},
        {8184, {0xFF, 0xF9, 0x4C, 0x43, 0xFF, 0xFF, 0xFC}},
    };
    for (const auto& [length, header] : rows) EXPECT_EQ(*first.encoder->adtsDataForPacketLength(length), header) << length;
    EXPECT_EQ(first.encoder->adtsDataForPacketLength(8185), nullptr) << "no 13-bit length for it";
}

// The resampler's callback claims a frame per two bytes of four-byte stereo frames and hands its
// buffer again on every request: the converter must still read only what the buffer holds.
TEST(AudioResampler, ConvertsFortyEightToFortyFourOneWithoutOverreading) {
    auto resampler = KNAudioResampler::create();
    ASSERT_TRUE(resampler->audioConverter());
    std::vector<uint8_t> stereo(4800 * 4, 0), pcm(10000 * 4);
    platform::AudioBufferList source, out;
    source.numberBuffers = out.numberBuffers = 1;
    source.buffers[0] = {2, uint32_t(stereo.size()), stereo.data()};
    out.buffers[0] = {2, uint32_t(pcm.size()), pcm.data()};
    uint32_t frames = 4410;
    EXPECT_EQ(resampler->audioConverter()->fillComplexBuffer(inInputDataProc, &source, &frames, &out, nullptr), platform::kMediaNoErr);
    EXPECT_EQ(frames, 4410u);
    EXPECT_EQ(out.buffers[0].dataByteSize, 4410u * 4);
    EXPECT_EQ(resampler->audioConverter()->outputDescription(), AudioStreamDescription::pcmInt16(44100, 2));
}
