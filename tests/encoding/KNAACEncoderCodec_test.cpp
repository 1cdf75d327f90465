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

// Decodes the ADTS stream with ffmpeg (errors fail the test), checks what ffprobe reads from it,
// and answers the samples, downmixed to mono.
std::vector<float> decodeADTS(const std::vector<Packet>& packets, int rate, int channels) {
    const std::string path = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("aac");
    std::ofstream file(path + ".aac", std::ios::binary);
    for (const Packet& p : packets) file.write(reinterpret_cast<const char*>(p.adts.data()), std::streamsize(p.adts.size()));
    file.close();
    const auto run = kntest::runCommand({"ffmpeg", "-v", "error", "-y", "-i", path + ".aac", "-ac", "1", "-f", "f32le", path + ".raw"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "") << "decode errors";
    const std::string probe = kntest::ffprobe(path + ".aac").output;
    for (const std::string& key : {std::string("codec_name=aac"), std::string("profile=LC"), "sample_rate=" + std::to_string(rate),
                                   "channels=" + std::to_string(channels)})
        EXPECT_NE(probe.find(key), std::string::npos) << key << " in\n" << probe;
    std::ifstream raw(path + ".raw", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(raw)), {});
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
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

std::pair<std::shared_ptr<KNAACEncoderBase>, std::shared_ptr<RecordingDelegate>> startedEncoder(bool second) {
    std::shared_ptr<KNAACEncoderBase> encoder;
    if (second) encoder = KNAACEncoder2::create(); else encoder = KNAACEncoder::create();
    auto delegate = std::make_shared<RecordingDelegate>();
    encoder->setDelegate(delegate);
    encoder->startEncoding();
    return {encoder, delegate};
}

}  // namespace

// 3 s of a 1 kHz tone through each encoder at 48 and 44.1 kHz; and noisy stereo at the highest
// bit rate, whose packets outgrow a mono buffer and must still arrive whole.
TEST(AACEncoderCodec, ToneDecodesAtTheReportedDelayRateAndChannels) {
    struct Road {
        bool second;  // KNAACEncoder2, else KNAACEncoder
        uint64_t rate, channels, bitRate;
    };
    for (const Road road : {Road{false, 48000, 1, 96000}, Road{false, 44100, 1, 96000}, Road{true, 48000, 1, 96000},
                            Road{true, 44100, 1, 96000}, Road{true, 48000, 2, 576000}}) {
        SCOPED_TRACE(testing::Message() << (road.second ? "second" : "first") << " at " << road.rate << "x" << road.channels);
        static std::atomic<double> clock{1000.0};  // the first encoder stamps with the host clock: it follows the audio
        platform::HostClock::setOverride([] { return clock.load(); });
        auto [encoder, delegate] = startedEncoder(road.second);
        encoder->setSampleRate(road.rate);  // after the start, as the owners do
        encoder->setChannelsNumber(road.channels);
        encoder->setBitRate(road.bitRate);
        drain(encoder);
        std::mt19937 random(7);
        std::uniform_int_distribution<int> noise(road.channels == 1 ? 0 : -8000, road.channels == 1 ? 0 : 8000);
        const size_t total = road.rate * 3, callFrames = 960;
        for (size_t at = 0; at < total; at += callFrames) {
            const uint64_t ms = at * 1000 / road.rate;
            clock = 1000.0 + double(ms) / 1000.0;
            auto pcm = toneS16(1000, double(road.rate), callFrames, road.channels, at, 0.3);
            for (auto& v : pcm) v = int16_t(std::clamp(v + noise(random), -32768, 32767));
            encoder->encodeAudioDataTimestamp(bytesOf(pcm), 5000 + ms);
        }
        drain(encoder);
        const uint64_t delay = encoder->decoderDelay();
        const auto cookie = encoder->magicCookie();
        encoder->stopEncoding();
        drain(encoder);
        platform::HostClock::clearOverride();

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
        EXPECT_EQ((c[1] >> 3) & 0xF, int(road.channels)) << "channel configuration";

        const auto packets = delegate->takePackets();
        ASSERT_EQ(packets.size(), (total + callFrames - 1) / callFrames * callFrames / 1024);
        size_t rawBytes = 0, largest = 0;
        for (size_t i = 0; i < packets.size(); ++i) {
            const auto& p = packets[i];
            rawBytes += p.raw.size();
            largest = std::max(largest, p.raw.size());
            EXPECT_EQ(p.duration, MediaTime::make(1024, int32_t(road.rate)));
            ASSERT_EQ(p.adts.size(), p.raw.size() + 7);
            EXPECT_EQ(((p.adts[3] & 3) << 11) | (p.adts[4] << 3) | (p.adts[5] >> 5), int(p.adts.size())) << "frame_length";
            if (i == 0) continue;
            EXPECT_GT(p.presentationTime, packets[i - 1].presentationTime) << i;
            EXPECT_GT(p.timestamp, packets[i - 1].timestamp) << i;
        }
        EXPECT_EQ(packets.front().presentationTime, MediaTime::make(0, int32_t(road.rate)));
        // The first chunk is whole at the second call.
        EXPECT_EQ(packets.front().timestamp, road.second ? 0u : 1000000u + callFrames * 1000 / road.rate);
        const double bitRate = double(rawBytes) * 8 * double(road.rate) / (1024.0 * double(packets.size()));
        if (road.channels == 1) EXPECT_NEAR(bitRate, double(road.bitRate), double(road.bitRate) * 0.25);
        else EXPECT_GT(largest, 1024u) << "no packet over a mono buffer: the case isn't exercised";

        const auto decoded = decodeADTS(packets, int(road.rate), int(road.channels));
        EXPECT_EQ(decoded.size(), packets.size() * 1024) << "every packet decodes";
        expectPeakAt1kHz(decoded, double(road.rate));
        const auto onset = std::find_if(decoded.begin(), decoded.end(), [](float v) { return std::fabs(v) > 0.1f; });
        EXPECT_NEAR(double(onset - decoded.begin()), double(delay), 64) << "the onset lands at the decoder delay";
    }
}

// The push road: sample buffers of float stereo at 48 kHz into the mono 44.1 kHz stream keep the
// tone's pitch and their clock; a short buffer is one padded packet, read within its bytes.
TEST(SampleBufferRoad, ConversionsKeepPitchAndClockAndShortBuffersAreReadWithinTheirBytes) {
    auto [encoder, delegate] = startedEncoder(true);
    auto second = std::static_pointer_cast<KNAACEncoder2>(encoder);
    auto format = platform::FormatDescription::createAudio(AudioStreamDescription::pcmFloat32(48000, 2));
    for (size_t at = 0; at < 48000 * 3; at += 1024) {
        std::vector<float> pcm(2048);
        for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = float(0.5 * std::sin(2 * M_PI * 1000 * double(at + i / 2) / 48000));
        auto block = platform::BlockBuffer::createCopying(pcm.data(), pcm.size() * sizeof(float));
        second->encode(platform::SampleBuffer::createAudioPCM(block, format, 1024, MediaTime::make(int64_t(at), 48000)));
    }
    encoder->stopEncoding();
    drain(encoder);
    const auto packets = delegate->takePackets();
    EXPECT_NEAR(double(packets.size()), 3.0 * 44100 / 1024, 2) << "3 s, less what waits for a whole packet";
    for (size_t i = 1; i < packets.size(); ++i) EXPECT_GT(packets[i].timestamp, packets[i - 1].timestamp) << i;
    // Packet k holds output frames from k * 1024 on: its time is where they began at the source.
    const size_t k = packets.size() / 2;
    EXPECT_NEAR(packets[k].presentationTime.seconds(), double(k) * 1024 / 44100, 0.001);
    EXPECT_NEAR(double(packets[k].timestamp), double(k) * 1024 * 1000 / 44100, 1.0);
    expectPeakAt1kHz(decodeADTS(packets, 44100, 1), 44100);

    delegate->takeEvents();

    // 476 frames in a block of exactly 952 bytes: reading a whole packet's worth would overrun it.
    encoder->startEncoding();
    const auto pcm = toneS16(1000, 44100, 476, 1);
    auto block = platform::BlockBuffer::createCopying(pcm.data(), pcm.size() * 2);
    format = platform::FormatDescription::createAudio(AudioStreamDescription::pcmInt16(44100, 1));
    second->encode(platform::SampleBuffer::createAudioPCM(block, format, 476, MediaTime::make(441000 + 21, 44100)));
    drain(encoder);
    encoder->setBitRate(5);  // refused: the converter keeps its codec
    // A buffer from before the first one: its times go negative or clamp at zero, never wrap.
    second->encode(platform::SampleBuffer::createAudioPCM(block, format, 476, MediaTime::make(-44100, 44100)));
    encoder->stopEncoding();
    drain(encoder);
    const auto shorts = delegate->takePackets();
    ASSERT_EQ(shorts.size(), 2u);
    EXPECT_EQ(shorts[0].duration, MediaTime::make(476, 44100));
    EXPECT_EQ(shorts[0].presentationTime, MediaTime::make(0, 44100));
    EXPECT_EQ(shorts[0].timestamp, 10000u) << "the buffer's own time in ms";
    EXPECT_EQ(shorts[1].timestamp, 0u);
    EXPECT_EQ(shorts[1].presentationTime, MediaTime::make(-44100 - 441021, 44100));
    EXPECT_EQ(delegate->takeEvents(), (std::vector<std::string>{"configured", "raw", "adts", "error 50001 Audio bit rate not supported",
                                                                "raw", "adts"}));
}
