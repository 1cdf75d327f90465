// Both AAC encoders on the real converter, their ADTS output decoded again by ffmpeg: what they
// produce must play, at the pitch, delay, rate and channels they report.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "encoding/AACEncoderTestSupport.h"
#include "encoding/KNAACEncoder.h"
#include "encoding/KNAACEncoder2.h"
#include "platform/HostClock.h"
#include "support/TestServer.h"

using namespace aactest;
using platform::MediaTime;

namespace {

struct Decoded {
    std::vector<float> samples;  // the first channel
    std::string probe;           // ffprobe's key=value lines
};

Decoded decodeADTS(const std::vector<Packet>& packets, size_t channels) {
    const std::string path = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("aac");
    std::ofstream file(path + ".aac", std::ios::binary);
    for (const Packet& p : packets) file.write(reinterpret_cast<const char*>(p.adts.data()), std::streamsize(p.adts.size()));
    file.close();
    const auto run = kntest::runCommand({"ffmpeg", "-v", "error", "-y", "-i", path + ".aac", "-f", "f32le", path + ".raw"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "") << "decode errors";
    std::ifstream rawFile(path + ".raw", std::ios::binary);
    const std::vector<char> raw((std::istreambuf_iterator<char>(rawFile)), {});
    Decoded decoded{std::vector<float>(raw.size() / sizeof(float) / channels), kntest::ffprobe(path + ".aac").output};
    for (size_t i = 0; i < decoded.samples.size(); ++i)
        std::memcpy(&decoded.samples[i], &raw[i * channels * sizeof(float)], sizeof(float));
    return decoded;
}

void expectProbed(const Decoded& d, int rate, int channels) {
    for (const std::string& key : std::vector<std::string>{"codec_name=aac", "profile=LC", "sample_rate=" + std::to_string(rate),
                                  "channels=" + std::to_string(channels)})
        EXPECT_NE(d.probe.find(key), std::string::npos) << key << " in\n" << d.probe;
}

// Power at one frequency over the middle half (Goertzel).
double powerAt(const std::vector<float>& x, double rate, double frequency) {
    const double k = 2 * std::cos(2 * M_PI * frequency / rate);
    double s1 = 0, s2 = 0;
    for (size_t i = x.size() / 4; i < x.size() * 3 / 4; ++i) s2 = std::exchange(s1, x[i] + k * s1 - s2);
    return s1 * s1 + s2 * s2 - k * s1 * s2;
}

void expectPeakAt1kHz(const std::vector<float>& x, double rate) {
    ASSERT_GT(x.size(), size_t(rate));
    for (double other : {1000 * 48000 / 44100.0, 1000 * 44100 / 48000.0, 500.0, 2000.0, 3000.0})
        EXPECT_GT(powerAt(x, rate, 1000), 100 * powerAt(x, rate, other)) << "energy at " << other << " Hz";
}

struct Road {
    bool second;  // KNAACEncoder2, else KNAACEncoder
    uint64_t rate;
};

class ToneThroughEncoder : public ::testing::TestWithParam<Road> {
protected:
    void TearDown() override { platform::HostClock::clearOverride(); }
};

std::pair<std::shared_ptr<KNAACEncoderBase>, std::shared_ptr<RecordingDelegate>> startedEncoder(bool second) {
    std::shared_ptr<KNAACEncoderBase> encoder;
    if (second) encoder = KNAACEncoder2::create(); else encoder = KNAACEncoder::create();
    auto delegate = std::make_shared<RecordingDelegate>();
    encoder->setDelegate(delegate);
    encoder->startEncoding();
    return {encoder, delegate};
}

}  // namespace

TEST_P(ToneThroughEncoder, DecodesToTheToneAtTheReportedDelayAndRate) {
    const Road road = GetParam();
    std::atomic<double> clock{1000.0};  // the first encoder stamps with the host clock: it follows the audio
    platform::HostClock::setOverride([&clock] { return clock.load(); });
    auto [encoder, delegate] = startedEncoder(road.second);
    encoder->setSampleRate(road.rate);  // after the start, as the owners do
    encoder->setBitRate(96000);
    drain(encoder);
    const size_t total = road.rate * 3, callFrames = 960;
    for (size_t at = 0; at < total; at += callFrames) {
        const uint64_t ms = at * 1000 / road.rate;
        clock = 1000.0 + double(ms) / 1000.0;
        encoder->encodeAudioDataTimestamp(bytesOf(toneS16(1000, double(road.rate), callFrames, 1, at)), 5000 + ms);
    }
    drain(encoder);
    const uint64_t delay = encoder->decoderDelay();
    const auto cookie = encoder->magicCookie();
    encoder->stopEncoding();
    drain(encoder);

    const auto events = delegate->takeEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), "configured");
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](auto& e) { return e.rfind("error", 0) == 0; }), 0);
    ASSERT_TRUE(cookie && cookie->size() >= 2);
    EXPECT_EQ(delegate->cookieAtConfigure, cookie);
    EXPECT_EQ(delegate->delayAtConfigure, delay);
    const auto& c = *cookie;
    EXPECT_EQ(c[0] >> 3, 2) << "AAC LC";
    EXPECT_EQ(((c[0] & 7) << 1) | (c[1] >> 7), road.rate == 48000 ? 3 : 4) << "frequency index";
    EXPECT_EQ((c[1] >> 3) & 0xF, 1) << "channel configuration";

    const auto packets = delegate->takePackets();
    ASSERT_EQ(packets.size(), (total + callFrames - 1) / callFrames * callFrames / 1024);
    uint64_t rawBytes = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        rawBytes += packets[i].raw.size();
        EXPECT_EQ(packets[i].duration, MediaTime::make(1024, int32_t(road.rate)));
        if (i == 0) continue;
        EXPECT_GT(packets[i].presentationTime, packets[i - 1].presentationTime) << i;
        EXPECT_GT(packets[i].timestamp, packets[i - 1].timestamp) << i;
    }
    EXPECT_EQ(packets.front().presentationTime, MediaTime::make(0, int32_t(road.rate)));
    // The first chunk is whole at the second call.
    EXPECT_EQ(packets.front().timestamp, road.second ? 0u : 1000000u + callFrames * 1000 / road.rate);
    EXPECT_NEAR(double(rawBytes) * 8 * double(road.rate) / (1024.0 * double(packets.size())), 96000, 96000 * 0.25);

    const Decoded decoded = decodeADTS(packets, 1);
    expectProbed(decoded, int(road.rate), 1);
    EXPECT_EQ(decoded.samples.size(), packets.size() * 1024) << "every packet decodes";
    expectPeakAt1kHz(decoded.samples, double(road.rate));
    const auto onset = std::find_if(decoded.samples.begin(), decoded.samples.end(), [](float v) { return std::fabs(v) > 0.1f; });
    EXPECT_NEAR(double(onset - decoded.samples.begin()), double(delay), 64) << "the onset lands at the decoder delay";
}

INSTANTIATE_TEST_SUITE_P(BothEncodersBothRates, ToneThroughEncoder,
                         ::testing::Values(Road{false, 48000}, Road{false, 44100}, Road{true, 48000}, Road{true, 44100}),
                         [](const auto& info) {
                             return std::string(info.param.second ? "Second" : "First") + "At" + std::to_string(info.param.rate);
                         });

TEST(SampleBufferRoad, FloatStereoAt48kIntoMono44kKeepsThePitchAndTheClock) {
    auto [encoder, delegate] = startedEncoder(true);
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
    for (size_t i = 1; i < packets.size(); ++i) {
        EXPECT_GT(packets[i].presentationTime, packets[i - 1].presentationTime) << i;
        EXPECT_GT(packets[i].timestamp, packets[i - 1].timestamp) << i;
    }
    // Packet k holds output frames from k * 1024 on: its time is where they began at the source.
    const size_t k = packets.size() / 2;
    EXPECT_NEAR(packets[k].presentationTime.seconds(), double(k) * 1024 / 44100, 0.001);
    EXPECT_NEAR(double(packets[k].timestamp), double(k) * 1024 * 1000 / 44100, 1.0);
    const Decoded decoded = decodeADTS(packets, 1);
    expectProbed(decoded, 44100, 1);
    expectPeakAt1kHz(decoded.samples, 44100);
}

TEST(SampleBufferRoad, ShortBufferBecomesOnePaddedPacketWithItsOwnDurationAndTimesNeverWrap) {
    auto [encoder, delegate] = startedEncoder(true);
    // 476 frames in a block of exactly 952 bytes: reading a whole packet's worth would overrun it.
    const auto pcm = toneS16(1000, 44100, 476, 1);
    auto block = platform::BlockBuffer::createCopying(pcm.data(), pcm.size() * 2);
    auto format = platform::FormatDescription::createAudio(AudioStreamDescription::pcmInt16(44100, 1));
    auto second = std::static_pointer_cast<KNAACEncoder2>(encoder);
    second->encode(platform::SampleBuffer::createAudioPCM(block, format, 476, MediaTime::make(441000 + 21, 44100)));
    // A buffer from before the first one: its times go negative or clamp at zero, never wrap.
    second->encode(platform::SampleBuffer::createAudioPCM(block, format, 476, MediaTime::make(-44100, 44100)));
    encoder->stopEncoding();
    drain(encoder);
    const auto packets = delegate->takePackets();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].duration, MediaTime::make(476, 44100));
    EXPECT_EQ(packets[0].presentationTime, MediaTime::make(0, 44100));
    EXPECT_EQ(packets[0].timestamp, 10000u) << "the buffer's own time in ms";
    EXPECT_EQ(packets[1].timestamp, 0u);
    EXPECT_EQ(packets[1].presentationTime, MediaTime::make(-44100 - 441021, 44100));
}

TEST(CodecBitRate, StereoAtTheHighestRateKeepsEveryPacketWhole) {
    auto encoder = KNAACEncoder2::create();
    auto delegate = std::make_shared<RecordingDelegate>();
    encoder->setDelegate(delegate);
    encoder->setSampleRate(48000);
    encoder->setChannelsNumber(2);
    encoder->setBitRate(576000);
    encoder->startEncoding();
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-8000, 8000);
    for (size_t at = 0; at < 48000; at += 1024) {
        auto pcm = toneS16(1000, 48000, 1024, 2, at, 0.3);
        for (auto& s : pcm) s = int16_t(std::clamp(s + noise(random), -32768, 32767));
        encoder->encodeAudioDataTimestamp(bytesOf(pcm), at * 1000 / 48000);
    }
    encoder->stopEncoding();
    drain(encoder);
    const auto packets = delegate->takePackets();
    ASSERT_EQ(packets.size(), (48000u + 1023) / 1024);
    size_t largest = 0;
    for (const auto& p : packets) {
        largest = std::max(largest, p.raw.size());
        ASSERT_EQ(p.adts.size(), p.raw.size() + 7);
        EXPECT_EQ(((p.adts[3] & 3) << 11) | (p.adts[4] << 3) | (p.adts[5] >> 5), int(p.adts.size()));
    }
    EXPECT_GT(largest, 1024u) << "no packet over the mono buffer size: the case isn't exercised";
    const Decoded decoded = decodeADTS(packets, 2);
    expectProbed(decoded, 48000, 2);
    EXPECT_EQ(decoded.samples.size(), packets.size() * 1024);
}
