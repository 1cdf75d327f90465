// Cutting, timing, framing and configuration of both AAC encoders, on a stand-in converter and a
// controlled host clock.
#include <gtest/gtest.h>

#include <numeric>

#include "encoding/AACEncoderTestSupport.h"
#include "encoding/FakeAudioConverter.h"
#include "encoding/KNAACEncoder.h"
#include "encoding/KNAACEncoder2.h"
#include "kestrune/KNAudioResampler.h"
#include "platform/HostClock.h"

using namespace aactest;
using platform::MediaTime;

namespace {

// Bytes counting up from `first`, so every chunk shows where it was cut.
KNAACEncoderBase::Bytes pattern(size_t n, size_t first) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(n);
    for (size_t i = 0; i < n; ++i) (*bytes)[i] = static_cast<uint8_t>((first + i) % 251);
    return bytes;
}

std::vector<uint8_t> expectedPattern(size_t n, size_t first) { return *pattern(n, first); }

template <class Encoder>
struct Rig {
    std::shared_ptr<FakeConverterLog> log = std::make_shared<FakeConverterLog>();
    std::shared_ptr<Encoder> encoder = Encoder::create(fakePlatform(log));
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    Rig() { encoder->setDelegate(delegate); }
    ~Rig() {
        encoder->stopEncoding();
        drain(encoder);
    }
    std::vector<std::vector<uint8_t>> chunks() {
        std::lock_guard lock(log->mutex);
        return log->chunks;
    }
};

class FirstEncoder : public ::testing::Test {
protected:
    void SetUp() override {
        platform::HostClock::setOverride([this] { return clockSeconds.load(); });
    }
    void TearDown() override { platform::HostClock::clearOverride(); }
    // The microphone's call: the clock stands at `seconds` when the data is handed in.
    void feed(KNAACEncoderBase::Bytes data, double seconds) {
        clockSeconds = seconds;
        rig.encoder->encodeAudioDataTimestamp(std::move(data), 777);
        drain(rig.encoder);
    }
    void start() {
        rig.encoder->startEncoding();
        drain(rig.encoder);
    }
    std::atomic<double> clockSeconds{10.0};
    Rig<KNAACEncoder> rig;
};

TEST_F(FirstEncoder, CutsWholeChunksAndKeepsTheRest) {
    start();
    // 1000 + 1000 + 1000 bytes: nothing until the third call, which encodes one chunk and keeps 952.
    feed(pattern(1000, 0), 10.000);
    feed(pattern(1000, 1000), 10.010);
    EXPECT_TRUE(rig.chunks().empty());
    feed(pattern(1000, 2000), 10.020);
    ASSERT_EQ(rig.chunks().size(), 1u);
    EXPECT_EQ(rig.chunks()[0], expectedPattern(2048, 0));
    // The 952 kept bytes lead the next chunk.
    feed(pattern(1096, 3000), 10.040);
    ASSERT_EQ(rig.chunks().size(), 2u);
    const auto second = rig.chunks()[1];
    EXPECT_EQ(std::vector<uint8_t>(second.begin(), second.begin() + 952), expectedPattern(952, 2048));

    const auto packets = rig.delegate->takePackets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].timestamp, 10020u) << "the host clock at the call, not the argument";
    EXPECT_EQ(packets[0].presentationTime, MediaTime::make(0, 48000));
    EXPECT_EQ(packets[1].timestamp, 10040u);
    EXPECT_EQ(packets[1].presentationTime, MediaTime::make(960, 48000));
}

TEST_F(FirstEncoder, ExactChunkLeavesNothingAndLongCallsStampEachChunkWhereItLies) {
    start();
    feed(pattern(2048, 0), 20.000);
    EXPECT_EQ(rig.chunks().size(), 1u);
    feed(pattern(2047, 0), 20.100);
    EXPECT_EQ(rig.chunks().size(), 1u) << "2048 bytes left nothing pending";
    feed(pattern(1, 0), 20.200);
    ASSERT_EQ(rig.chunks().size(), 2u);

    // 5000 bytes with nothing pending: two chunks 1024 frames apart in time, 904 bytes kept.
    feed(pattern(5000, 0), 20.500);
    ASSERT_EQ(rig.chunks().size(), 4u);
    feed(pattern(1144, 5000), 20.600);
    ASSERT_EQ(rig.chunks().size(), 5u);
    EXPECT_EQ(rig.chunks()[3], expectedPattern(2048, 2048));
    const auto fifth = rig.chunks()[4];
    EXPECT_EQ(std::vector<uint8_t>(fifth.begin(), fifth.begin() + 904), expectedPattern(904, 4096));
    {
        // Each chunk went to the converter once: a second request within a packet got nothing.
        std::lock_guard lock(rig.log->mutex);
        EXPECT_EQ(rig.log->secondAskFrames, std::vector<uint32_t>(5, 0));
    }

    const auto packets = rig.delegate->takePackets();
    ASSERT_EQ(packets.size(), 5u);
    EXPECT_EQ(packets[2].timestamp, 20500u);
    EXPECT_EQ(packets[3].timestamp, 20521u);  // + 1024 frames at 48 kHz
    EXPECT_EQ(packets[2].presentationTime, MediaTime::make(24000, 48000));  // 500 ms after the first
    EXPECT_EQ(packets[3].presentationTime, MediaTime::make(25008, 48000));
    EXPECT_LT(packets[2].presentationTime, packets[3].presentationTime);
    for (const auto& p : packets) {
        EXPECT_EQ(p.duration, MediaTime::make(1024, 48000));
        EXPECT_EQ(p.raw.size(), 3u);
        EXPECT_EQ(p.adts.size(), 10u);
    }
}

TEST_F(FirstEncoder, StoppedEncoderDropsDataAndARestartBeginsAfresh) {
    feed(pattern(4096, 0), 1.0);  // before any start
    start();
    feed(pattern(1000, 0), 2.0);
    rig.encoder->stopEncoding();
    drain(rig.encoder);
    feed(pattern(4096, 0), 3.0);  // while stopped
    EXPECT_TRUE(rig.chunks().empty());
    EXPECT_TRUE(rig.delegate->takePackets().empty());

    start();
    feed(pattern(1048, 100), 4.0);
    EXPECT_TRUE(rig.chunks().empty()) << "the 1000 bytes from before the stop were dropped";
    feed(pattern(1000, 1148), 4.5);
    ASSERT_EQ(rig.chunks().size(), 1u);
    EXPECT_EQ(rig.chunks()[0], expectedPattern(2048, 100));
    const auto packets = rig.delegate->takePackets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].presentationTime, MediaTime::make(0, 48000)) << "times start at zero again";
    std::lock_guard lock(rig.log->mutex);
    EXPECT_EQ(rig.log->made, 1);
}

TEST_F(FirstEncoder, ConfiguresOncePerStartBeforeTheFirstPacket) {
    EXPECT_FALSE(rig.encoder->isConfigured());
    EXPECT_EQ(rig.encoder->magicCookie(), nullptr);
    EXPECT_EQ(rig.encoder->decoderDelay(), UINT64_MAX);
    rig.encoder->setBitRate(64000);  // only stored: no converter yet
    start();
    EXPECT_FALSE(rig.encoder->isConfigured()) << "the converter comes with the first chunk";
    EXPECT_EQ(rig.encoder->sampleSize(), 0u);
    feed(pattern(4096, 0), 6.0);
    EXPECT_TRUE(rig.encoder->isConfigured());
    ASSERT_TRUE(rig.encoder->magicCookie());
    EXPECT_EQ(*rig.encoder->magicCookie(), (std::vector<uint8_t>{0x12, 0x08}));
    EXPECT_EQ(rig.encoder->decoderDelay(), 2048u);
    EXPECT_EQ(rig.delegate->delayAtConfigure, 2048u) << "readable from within the configured signal";

    rig.encoder->stopEncoding();
    drain(rig.encoder);
    EXPECT_FALSE(rig.encoder->isConfigured());
    EXPECT_EQ(rig.encoder->decoderDelay(), UINT64_MAX);
    start();
    feed(pattern(2048, 0), 7.0);
    EXPECT_EQ(rig.delegate->takeEvents(),
              (std::vector<std::string>{"configured", "raw", "adts", "raw", "adts", "configured", "raw", "adts"}));
    std::lock_guard lock(rig.log->mutex);
    EXPECT_EQ(rig.log->made, 2);
    EXPECT_EQ(rig.log->bitRates, (std::vector<uint32_t>{64000, 64000}));
    EXPECT_EQ(rig.log->outputs[0].formatFlags, platform::AudioStreamDescription::kAACObjectLC);
    EXPECT_EQ(rig.log->outputs[0].framesPerPacket, 1024u);
}

TEST_F(FirstEncoder, ReportsEachFailureAndRecovers) {
    // A rate AAC can't carry is refused at the start.
    rig.encoder->setSampleRate(45000);
    start();
    EXPECT_EQ(rig.delegate->takeEvents(), (std::vector<std::string>{"error 50000 Sample rate not supported"}));
    rig.encoder->stopEncoding();
    rig.encoder->setSampleRate(48000);
    drain(rig.encoder);

    // No encoder: the chunk fails, and the next one tries again.
    rig.log->noEncoders = true;
    start();
    feed(pattern(2048, 0), 1.0);
    rig.log->noEncoders = false;
    feed(pattern(2048, 0), 1.1);
    EXPECT_EQ(rig.delegate->takeEvents(),
              (std::vector<std::string>{"error 50002 Encoder configuration not supprted",
                                        "error 50003 Failed to encode sample buffer", "configured", "raw", "adts"}));

    // A converter that fails a packet loses that chunk only.
    rig.log->failFill = true;
    feed(pattern(2048, 0), 1.2);
    rig.log->failFill = false;
    feed(pattern(2048, 0), 1.3);
    EXPECT_EQ(rig.delegate->takeEvents(),
              (std::vector<std::string>{"error 50003 Failed to encode sample buffer", "raw", "adts"}));

    // A refused bit rate: reported, no configured signal, the converter stays and encodes.
    rig.encoder->stopEncoding();
    rig.log->refuseBitRate = true;
    start();
    feed(pattern(2048, 0), 2.0);
    rig.encoder->setBitRate(5);
    drain(rig.encoder);
    EXPECT_EQ(rig.delegate->takeEvents(),
              (std::vector<std::string>{"error 50001 Audio bit rate not supported", "raw", "adts",
                                        "error 50001 Audio bit rate not supported"}));
    EXPECT_TRUE(rig.encoder->isConfigured());
}

TEST_F(FirstEncoder, SettersAfterTheStartShapeTheConverterInOrder) {
    rig.encoder->startEncoding();
    rig.encoder->setSampleRate(44100);
    rig.encoder->setChannelsNumber(2);
    rig.encoder->setSampleRate(32000);
    drain(rig.encoder);
    feed(pattern(4096, 0), 1.0);
    std::lock_guard lock(rig.log->mutex);
    ASSERT_EQ(rig.log->made, 1);
    EXPECT_EQ(rig.log->inputs[0], platform::AudioStreamDescription::pcmInt16(32000, 2));
    EXPECT_EQ(rig.log->outputs[0].sampleRate, 32000);
    EXPECT_EQ(rig.log->outputs[0].channelsPerFrame, 2u);
    EXPECT_EQ(rig.encoder->bufferLength(), 4096u) << "a chunk is 1024 stereo frames";
    ASSERT_EQ(rig.log->chunks.size(), 1u);
    EXPECT_EQ(rig.log->chunks[0].size(), 4096u);
}

// Second encoder: the caller's timestamps, chunks of 1024 frames whatever the channel count.
TEST(SecondEncoder, ChunksFollowTheChannelCountAndTimesCountFromTheFirstChunk) {
    Rig<KNAACEncoder2> stereo;
    stereo.encoder->setChannelsNumber(2);
    stereo.encoder->startEncoding();
    stereo.encoder->encodeAudioDataTimestamp(pattern(4096, 0), 100);
    drain(stereo.encoder);
    EXPECT_EQ(stereo.chunks().size(), 1u);

    Rig<KNAACEncoder2> mono;
    mono.encoder->startEncoding();
    mono.encoder->encodeAudioDataTimestamp(pattern(4096, 0), 100);
    drain(mono.encoder);
    EXPECT_EQ(mono.chunks().size(), 2u);
    for (uint64_t t : {5000u, 5023u, 5046u}) mono.encoder->encodeAudioDataTimestamp(pattern(2048, 0), t);
    drain(mono.encoder);

    const auto packets = mono.delegate->takePackets();
    ASSERT_EQ(packets.size(), 5u);
    EXPECT_EQ(packets[0].timestamp, 0u);
    EXPECT_EQ(packets[1].timestamp, 23u) << "the second chunk of one call lies 1024 frames later";
    EXPECT_EQ(packets[1].presentationTime, MediaTime::make(1014, 44100));
    std::vector<uint64_t> stamps;
    std::vector<int64_t> times;
    for (size_t i = 2; i < 5; ++i) {
        stamps.push_back(packets[i].timestamp);
        times.push_back(packets[i].presentationTime.value);
        EXPECT_EQ(packets[i].presentationTime.timeScale, 44100);
    }
    EXPECT_EQ(stamps, (std::vector<uint64_t>{4900, 4923, 4946}));
    EXPECT_EQ(times, (std::vector<int64_t>{216090, 217104, 218118}));
}

TEST(SecondEncoder, CallerTimeGoingBackLosesTheChunkNotTheStream) {
    Rig<KNAACEncoder2> rig;
    rig.encoder->encodeAudioDataTimestamp(pattern(2048, 0), 1);  // before the first start: dropped
    rig.encoder->startEncoding();
    rig.encoder->encodeAudioDataTimestamp(pattern(2048, 0), 5000);
    rig.encoder->encodeAudioDataTimestamp(pattern(2048, 0), 4000);
    rig.encoder->encodeAudioDataTimestamp(pattern(2048, 0), UINT64_MAX);
    rig.encoder->encodeAudioDataTimestamp(pattern(2048, 0), 5100);
    drain(rig.encoder);
    const auto packets = rig.delegate->takePackets();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].timestamp, 0u);
    EXPECT_EQ(packets[1].timestamp, UINT64_MAX - 5000);
    EXPECT_EQ(packets[1].presentationTime.value, INT64_MAX) << "saturated, not wrapped";
    EXPECT_EQ(packets[2].timestamp, 100u);
    const auto events = rig.delegate->takeEvents();
    EXPECT_EQ(std::count(events.begin(), events.end(), "error 50003 Failed to encode sample buffer"), 1);
}

TEST(BothEncoders, AStopRightAfterAStartStops) {
    Rig<KNAACEncoder> first;
    Rig<KNAACEncoder2> second;
    for (KNAACEncoderBase* encoder : {static_cast<KNAACEncoderBase*>(first.encoder.get()),
                                      static_cast<KNAACEncoderBase*>(second.encoder.get())}) {
        encoder->startEncoding();
        encoder->stopEncoding();
        encoder->encodeAudioDataTimestamp(pattern(2048, 0), 1);
        encoder->encoderQueue()->sync([] {});
        EXPECT_FALSE(encoder->started());
    }
    EXPECT_TRUE(first.chunks().empty());
    EXPECT_TRUE(second.chunks().empty());
}

// ADTS headers describe the stream they frame.
TEST(ADTSHeader, CarriesTheStreamsProfileRateAndChannels) {
    using H = std::vector<uint8_t>;
    Rig<KNAACEncoder> first;
    EXPECT_EQ(*first.encoder->adtsDataForPacketLength(371), (H{0xFF, 0xF9, 0x4C, 0x40, 0x2F, 0x5F, 0xFC}));
    // frame_length = length + 7 across the bit-11 boundary, and the largest that fits.
    EXPECT_EQ(*first.encoder->adtsDataForPacketLength(0), (H{0xFF, 0xF9, 0x4C, 0x40, 0x00, 0xFF, 0xFC}));
    EXPECT_EQ(*first.encoder->adtsDataForPacketLength(2040), (H{0xFF, 0xF9, 0x4C, 0x40, 0xFF, 0xFF, 0xFC}));
    EXPECT_EQ(*first.encoder->adtsDataForPacketLength(2041), (H{0xFF, 0xF9, 0x4C, 0x41, 0x00, 0x1F, 0xFC}));
    EXPECT_EQ(*first.encoder->adtsDataForPacketLength(8184), (H{0xFF, 0xF9, 0x4C, 0x43, 0xFF, 0xFF, 0xFC}));
    EXPECT_EQ(first.encoder->adtsDataForPacketLength(8185), nullptr) << "no 13-bit length for it";

    Rig<KNAACEncoder2> second;
    EXPECT_EQ((*second.encoder->adtsDataForPacketLength(371))[2], 0x50);  // 44.1 kHz, mono
    second.encoder->setSampleRate(48000);
    second.encoder->setChannelsNumber(2);
    second.encoder->startEncoding();
    drain(second.encoder);
    EXPECT_EQ(*second.encoder->adtsDataForPacketLength(371), (H{0xFF, 0xF9, 0x4C, 0x80, 0x2F, 0x5F, 0xFC}));
}

// The resampler's callback claims a frame per two bytes of four-byte stereo frames and hands its
// buffer again on every request: the converter must still read only what the buffer holds.
TEST(AudioResampler, ConvertsFortyEightToFortyFourOneWithoutOverreading) {
    auto resampler = KNAudioResampler::create();
    ASSERT_TRUE(resampler->audioConverter());
    std::vector<uint8_t> stereo(4800 * 4, 0);
    platform::AudioBufferList source;
    source.numberBuffers = 1;
    source.buffers[0] = {2, uint32_t(stereo.size()), stereo.data()};
    std::vector<uint8_t> pcm(10000 * 4);
    platform::AudioBufferList outPCM;
    outPCM.numberBuffers = 1;
    outPCM.buffers[0] = {2, uint32_t(pcm.size()), pcm.data()};
    uint32_t frames = 4410;
    EXPECT_EQ(resampler->audioConverter()->fillComplexBuffer(inInputDataProc, &source, &frames, &outPCM, nullptr),
              platform::kMediaNoErr);
    EXPECT_EQ(frames, 4410u);
    EXPECT_EQ(outPCM.buffers[0].dataByteSize, 4410u * 4);
    EXPECT_EQ(resampler->audioConverter()->outputDescription(), platform::AudioStreamDescription::pcmInt16(44100, 2));
}

}  // namespace
