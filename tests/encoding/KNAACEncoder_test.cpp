// Both AAC encoders: cutting and timing on a stand-in converter and clock; on the real one, decoded by ffmpeg.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "encoding/AACEncoderTestSupport.h"
#include "platform/HostClock.h"
#include "support/TestServer.h"

using namespace aactest;
using platform::MediaTime;

// Bytes of one running count, so every chunk shows where it was cut.
static KNAACEncoderBase::Bytes pattern(size_t n, size_t first) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(n);
    for (size_t i = 0; i < n; ++i) (*bytes)[i] = static_cast<uint8_t>((first + i) % 251);
    return bytes;
}

// Signed 16-bit interleaved frames of a 1 kHz tone from frame `start` on, plus uniform noise.
static KNAACEncoderBase::Bytes tone(double rate, size_t frames, size_t channels, size_t start = 0, int noise = 0) {
    std::mt19937 random{uint32_t(start)};
    std::uniform_int_distribution<int> spread(-noise, noise);
    auto bytes = std::make_shared<std::vector<uint8_t>>(frames * channels * 2);
    for (size_t i = 0; i < frames * channels; ++i) {
        const double s = 0.3 * 32767 * std::sin(2 * M_PI * 1000 * double(start + i / channels) / rate);
        const int16_t sample = int16_t(std::clamp(int(std::lround(s)) + spread(random), -32768, 32767));
        std::memcpy(bytes->data() + 2 * i, &sample, 2);
    }
    return bytes;
}

// Decodes the ADTS stream with ffmpeg, checks what ffprobe reads and that the energy peaks at
// 1 kHz (Goertzel, middle half), and answers the samples downmixed to mono.
static std::vector<float> decodeADTS(const std::vector<Packet>& packets, int rate, int channels) {
    const std::string path = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("aac");
    std::ofstream file(path + ".aac", std::ios::binary);
    for (const Packet& p : packets) file.write(reinterpret_cast<const char*>(p.adts.data()), std::streamsize(p.adts.size()));
    file.close();
    const auto run = kntest::runCommand({"ffmpeg", "-v", "error", "-y", "-i", path + ".aac", "-ac", "1", "-f", "f32le", path + ".raw"});
    EXPECT_EQ(std::pair(run.exitCode, run.output), std::pair(0, std::string())) << "decode errors";
    const std::string probe = kntest::ffprobe(path + ".aac").output;
    for (const std::string& key : {std::string("profile=LC"), "sample_rate=" + std::to_string(rate), "channels=" + std::to_string(channels)})
        EXPECT_NE(probe.find(key), std::string::npos) << key << " in\n" << probe;
    std::ifstream raw(path + ".raw", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(raw)), {});
    std::vector<float> x(bytes.size() / sizeof(float));
    std::memcpy(x.data(), bytes.data(), x.size() * sizeof(float));
    auto powerAt = [&](double frequency) {
        const double k = 2 * std::cos(2 * M_PI * frequency / rate);
        double s1 = 0, s2 = 0;
        for (size_t i = x.size() / 4; i < x.size() * 3 / 4; ++i) s2 = std::exchange(s1, x[i] + k * s1 - s2);
        return s1 * s1 + s2 * s2 - k * s1 * s2;
    };
    for (double other : {1000 * 48000 / 44100.0, 1000 * 44100 / 48000.0, 500.0, 2000.0})
        EXPECT_GT(powerAt(1000), 100 * powerAt(other)) << "energy at " << other << " Hz";
    return x;
}

// The first encoder stamps with the host clock at the call (48 kHz); the second with the
// caller's time counted from its first chunk (44.1 kHz). Both stamp every chunk where it lies.
TEST(AACEncoderChunks, RechunkingAndTimingTable) {
    static std::atomic<uint64_t> clockMs{0};
    platform::HostClock::setOverride([] { return double(clockMs.load()) / 1000.0; });
    struct Step {
        size_t bytes;
        uint64_t ms;  // the host clock and the caller's time
        bool restart = false;
    };
    const struct {
        bool second;
        std::vector<Step> steps;
        std::vector<size_t> chunkStarts;  // offsets into all the bytes fed
        std::vector<uint64_t> stamps;
        std::vector<int64_t> times;  // at the stream's rate
    } cases[] = {
        {false, {{1000, 10000}, {1000, 10010}, {1000, 10020}, {1096, 10040}}, {0, 2048}, {10020, 10040}, {0, 960}},
        {false, {{2048, 20000}, {2047, 20100}, {1, 20200}}, {0, 2048}, {20000, 20200}, {0, 9600}},
        {false, {{5000, 20500}, {1144, 20600}}, {0, 2048, 4096}, {20500, 20521, 20600}, {0, 1008, 4800}},
        {false, {{1000, 2000}, {1048, 4000, true}, {1000, 4500}}, {1000}, {4500}, {0}},  // pending bytes dropped
        // The caller's time going back loses the chunk; no wrap.
        {true, {{2048, 5000}, {2048, 4000}, {2048, UINT64_MAX}, {2048, 5100}}, {0, 4096, 6144}, {0, UINT64_MAX - 5000, 100},
         {0, INT64_MAX, 4410}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps[0].ms);
        Rig rig(c.second);
        auto& [log, encoder, delegate] = rig;
        encoder->encodeAudioDataTimestamp(pattern(4096, 0), 1);  // before the start: dropped
        encoder->startEncoding();
        size_t fed = 0;
        for (const Step& s : c.steps) {
            if (s.restart) {
                encoder->stopEncoding();
                encoder->startEncoding();
            }
            drain(encoder);
            clockMs = s.ms;
            encoder->encodeAudioDataTimestamp(pattern(s.bytes, fed), s.ms);
            fed += s.bytes;
            drain(encoder);
        }
        ASSERT_EQ(log->chunks.size(), c.chunkStarts.size());
        for (size_t i = 0; i < c.chunkStarts.size(); ++i) EXPECT_EQ(log->chunks[i], *pattern(2048, c.chunkStarts[i])) << i;
        EXPECT_EQ(log->secondAskFrames, std::vector<uint32_t>(log->chunks.size(), 0)) << "each chunk is handed over once";
        const auto packets = delegate->takePackets();
        ASSERT_EQ(packets.size(), c.stamps.size());
        const int32_t rate = c.second ? 44100 : 48000;
        for (size_t i = 0; i < packets.size(); ++i)
            EXPECT_EQ(std::tuple(packets[i].timestamp, packets[i].presentationTime, packets[i].duration),
                      std::tuple(c.stamps[i], MediaTime::make(c.times[i], rate), MediaTime::make(1024, rate)));
    }
    platform::HostClock::clearOverride();
}

// 3 s of a 1 kHz tone through each encoder at 48 and 44.1 kHz; and noisy stereo at the highest
// bit rate, whose packets outgrow a mono buffer and must still arrive whole.
TEST(AACEncoderCodec, ToneDecodesAtTheReportedDelayRateAndChannels) {
    const struct {
        bool second;
        uint64_t rate, channels, bitRate;
    } roads[] = {
        {false, 48000, 1, 96000}, {false, 44100, 1, 96000}, {true, 48000, 1, 96000}, {true, 44100, 1, 96000}, {true, 48000, 2, 576000}};
    for (const auto& road : roads) {
        SCOPED_TRACE(testing::Message() << road.second << " at " << road.rate << "x" << road.channels);
        Rig rig(road.second, true);
        auto& [log, encoder, delegate] = rig;
        encoder->startEncoding();
        encoder->setSampleRate(road.rate);  // after the start, as the owners do
        encoder->setChannelsNumber(road.channels);
        encoder->setBitRate(road.bitRate);
        drain(encoder);
        const size_t total = road.rate * 3, callFrames = 960;
        for (size_t at = 0; at < total; at += callFrames)
            encoder->encodeAudioDataTimestamp(tone(double(road.rate), callFrames, road.channels, at, road.channels == 1 ? 0 : 8000),
                                              5000 + at * 1000 / road.rate);
        drain(encoder);
        const uint64_t delay = encoder->decoderDelay();
        const auto cookie = encoder->magicCookie();

        EXPECT_EQ(std::pair(delegate->configured.load(), delegate->errors.load()), std::pair(1, 0));
        ASSERT_TRUE(cookie && cookie->size() >= 2);
        EXPECT_EQ(delegate->cookieAtConfigure, cookie);
        const auto& c = *cookie;  // AAC LC, frequency index, channel configuration
        EXPECT_EQ(std::tuple(c[0] >> 3, ((c[0] & 7) << 1) | (c[1] >> 7), (c[1] >> 3) & 0xF),
                  std::tuple(2, road.rate == 48000 ? 3 : 4, int(road.channels)));

        const auto packets = delegate->takePackets();
        ASSERT_EQ(packets.size(), (total + callFrames - 1) / callFrames * callFrames / 1024);
        size_t rawBytes = 0;
        for (const auto& p : packets) rawBytes += p.raw.size();
        const double bitRate = double(rawBytes) * 8 * double(road.rate) / (1024.0 * double(packets.size()));
        if (road.channels == 1) EXPECT_NEAR(bitRate, double(road.bitRate), double(road.bitRate) * 0.25);
        else EXPECT_GT(rawBytes / packets.size(), 1024u) << "packets over a mono buffer: the case is exercised";

        const auto decoded = decodeADTS(packets, int(road.rate), int(road.channels));
        EXPECT_EQ(decoded.size(), packets.size() * 1024) << "every packet decodes";
        const auto onset = std::find_if(decoded.begin(), decoded.end(), [](float v) { return std::fabs(v) > 0.1f; });
        EXPECT_NEAR(double(onset - decoded.begin()), double(delay), 64) << "the onset lands at the decoder delay";
    }
}

// The push road: float stereo 48 kHz into the mono 44.1 kHz stream keeps pitch and clock.
TEST(SampleBufferRoad, ConversionsKeepPitchAndClock) {
    Rig rig(true, true);
    auto& [log, encoder, delegate] = rig;
    encoder->startEncoding();
    auto format = platform::FormatDescription::createAudio(AudioStreamDescription::pcmFloat32(48000, 2));
    for (size_t at = 0; at < 48000 * 3; at += 1024) {
        std::vector<float> pcm(2048);
        for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = float(0.5 * std::sin(2 * M_PI * 1000 * double(at + i / 2) / 48000));
        auto block = platform::BlockBuffer::createCopying(pcm.data(), pcm.size() * sizeof(float));
        std::static_pointer_cast<KNAACEncoder2>(encoder)->encode(
            platform::SampleBuffer::createAudioPCM(block, format, 1024, MediaTime::make(int64_t(at), 48000)));
    }
    encoder->stopEncoding();
    drain(encoder);
    const auto packets = delegate->takePackets();
    EXPECT_NEAR(double(packets.size()), 3.0 * 44100 / 1024, 2) << "3 s, less what waits for a whole packet";
    // The last packet's time is where its output frames began at the source.
    EXPECT_NEAR(packets.back().presentationTime.seconds(), double(packets.size() - 1) * 1024 / 44100, 0.001);
    decodeADTS(packets, 44100, 1);
}

// 476 frames in a block of exactly 952 bytes: one padded packet with the buffer's own duration,
// read within its bytes.
TEST(SampleBufferRoad, AShortBufferIsReadWithinItsBytes) {
    Rig rig(true);
    rig.encoder->startEncoding();
    const auto pcm = tone(44100, 476, 1);
    auto block = platform::BlockBuffer::createCopying(pcm->data(), pcm->size());
    auto format = platform::FormatDescription::createAudio(AudioStreamDescription::pcmInt16(44100, 1));
    std::static_pointer_cast<KNAACEncoder2>(rig.encoder)
        ->encode(platform::SampleBuffer::createAudioPCM(block, format, 476, MediaTime::make(441000, 44100)));
    drain(rig.encoder);
    EXPECT_EQ(rig.log->chunks, std::vector<std::vector<uint8_t>>(1, *pcm));
    const auto packets = rig.delegate->takePackets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].duration, MediaTime::make(476, 44100));
}
