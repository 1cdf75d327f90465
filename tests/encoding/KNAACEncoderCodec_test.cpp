// Both AAC encoders against libavcodec's AAC decoder and ffprobe: what they produce must play.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>

#include "encoding/AACEncoderTestSupport.h"
#include "support/TestServer.h"
#include "encoding/KNAACEncoder.h"
#include "encoding/KNAACEncoder2.h"
#include "platform/HostClock.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace aactest;
using platform::MediaTime;

namespace {

struct Decoded {
    std::vector<float> samples;  // first channel
    int sampleRate = 0;
    int channels = 0;
    int profile = -1;
    int frames = 0;
    int errors = 0;
};

// libavcodec's AAC decoder; with a cookie it reads raw packets as the file writer's reader does,
// without one an ADTS byte stream cut by libavcodec's own parser, as a player receives it.
class Decoder {
public:
    explicit Decoder(const std::vector<uint8_t>* cookie = nullptr) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
        ctx_ = avcodec_alloc_context3(codec);
        if (cookie) {
            ctx_->extradata = static_cast<uint8_t*>(av_mallocz(cookie->size() + AV_INPUT_BUFFER_PADDING_SIZE));
            std::memcpy(ctx_->extradata, cookie->data(), cookie->size());
            ctx_->extradata_size = static_cast<int>(cookie->size());
        } else {
            parser_ = av_parser_init(AV_CODEC_ID_AAC);
        }
        avcodec_open2(ctx_, codec, nullptr);
    }
    ~Decoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        if (parser_) av_parser_close(parser_);
        avcodec_free_context(&ctx_);
    }

    Decoded adts(const std::vector<uint8_t>& stream) {
        const uint8_t* data = stream.data();
        int left = static_cast<int>(stream.size());
        do {  // an empty call at the end flushes the parser
            uint8_t* out = nullptr;
            int size = 0;
            const int used = av_parser_parse2(parser_, ctx_, &out, &size, data, left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            data = left > 0 ? data + used : nullptr;
            left = std::max(0, left - used);
            if (size > 0) send(out, size);
        } while (data);
        decoded_.profile = ctx_->profile;
        return decoded_;
    }
    Decoded raw(const std::vector<Packet>& packets) {
        for (const Packet& p : packets) send(p.raw.data(), static_cast<int>(p.raw.size()));
        return decoded_;
    }

private:
    void send(const uint8_t* data, int size) {
        av_new_packet(packet_, size);
        std::memcpy(packet_->data, data, static_cast<size_t>(size));
        const int sent = avcodec_send_packet(ctx_, packet_);
        av_packet_unref(packet_);
        if (sent < 0) {
            ++decoded_.errors;
            return;
        }
        while (avcodec_receive_frame(ctx_, frame_) == 0) {
            const auto* samples = reinterpret_cast<const float*>(frame_->data[0]);
            decoded_.samples.insert(decoded_.samples.end(), samples, samples + frame_->nb_samples);
            decoded_.sampleRate = frame_->sample_rate;
            decoded_.channels = frame_->ch_layout.nb_channels;
            ++decoded_.frames;
            av_frame_unref(frame_);
        }
    }

    AVCodecContext* ctx_ = nullptr;
    AVCodecParserContext* parser_ = nullptr;
    AVPacket* packet_ = av_packet_alloc();
    AVFrame* frame_ = av_frame_alloc();
    Decoded decoded_;
};

Decoded decodeADTS(const std::vector<Packet>& packets) {
    std::vector<uint8_t> stream;
    for (const Packet& p : packets) stream.insert(stream.end(), p.adts.begin(), p.adts.end());
    return Decoder().adts(stream);
}

// Power of one frequency over samples [from, to) (Goertzel).
double powerAt(const std::vector<float>& x, double rate, double frequency, size_t from, size_t to) {
    const double w = 2 * M_PI * frequency / rate;
    const double k = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (size_t i = from; i < to && i < x.size(); ++i) {
        const double s = x[i] + k * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return s1 * s1 + s2 * s2 - k * s1 * s2;
}

void expectPeakAt(const std::vector<float>& x, double rate, double frequency) {
    ASSERT_GT(x.size(), static_cast<size_t>(rate));
    const size_t from = x.size() / 4, to = x.size() * 3 / 4;
    const double peak = powerAt(x, rate, frequency, from, to);
    for (double other : {frequency * 48000 / 44100, frequency * 44100 / 48000, frequency / 2, frequency * 2, 3000.0}) {
        EXPECT_GT(peak, 100 * powerAt(x, rate, other, from, to)) << "energy at " << other << " Hz";
    }
}

size_t onset(const std::vector<float>& x, float threshold) {
    for (size_t i = 0; i < x.size(); ++i)
        if (std::fabs(x[i]) > threshold) return i;
    return x.size();
}

struct ASC {
    int objectType, frequencyIndex, channelConfig;
};
ASC parseASC(const std::vector<uint8_t>& c) {
    if (c.size() < 2) return {-1, -1, -1};
    return {c[0] >> 3, ((c[0] & 7) << 1) | (c[1] >> 7), (c[1] >> 3) & 0xF};
}

std::string probe(const std::vector<Packet>& packets, const std::string& name) {
    const std::string path = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName(name) + ".aac";
    std::ofstream file(path, std::ios::binary);
    for (const Packet& p : packets) file.write(reinterpret_cast<const char*>(p.adts.data()), std::streamsize(p.adts.size()));
    file.close();
    return kntest::ffprobe(path).output;
}

struct Road {
    bool second;  // KNAACEncoder2, else KNAACEncoder
    uint64_t rate;
};

class ToneThroughEncoder : public ::testing::TestWithParam<Road> {
protected:
    void TearDown() override { platform::HostClock::clearOverride(); }
};

TEST_P(ToneThroughEncoder, DecodesToTheToneAtTheReportedDelayAndRate) {
    const Road road = GetParam();
    // The first encoder stamps with the host clock: make it follow the audio.
    std::atomic<double> clock{1000.0};
    platform::HostClock::setOverride([&clock] { return clock.load(); });

    std::shared_ptr<KNAACEncoderBase> encoder;
    if (road.second) encoder = KNAACEncoder2::create(); else encoder = KNAACEncoder::create();
    auto delegate = std::make_shared<RecordingDelegate>();
    encoder->setDelegate(delegate);
    encoder->startEncoding();
    encoder->setSampleRate(road.rate);  // after the start, as the owners do
    encoder->setBitRate(96000);
    drain(encoder);

    const size_t total = road.rate * 3, callFrames = 960;
    for (size_t at = 0; at < total; at += callFrames) {
        const uint64_t ms = at * 1000 / road.rate;
        clock = 1000.0 + static_cast<double>(ms) / 1000.0;
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
    EXPECT_EQ(std::count(events.begin(), events.end(), "configured"), 1);
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](auto& e) { return e.rfind("error", 0) == 0; }), 0);

    ASSERT_TRUE(cookie);
    EXPECT_EQ(delegate->cookieAtConfigure, cookie);
    const ASC asc = parseASC(*cookie);
    EXPECT_EQ(asc.objectType, 2) << "AAC LC";
    EXPECT_EQ(asc.frequencyIndex, road.rate == 48000 ? 3 : 4);
    EXPECT_EQ(asc.channelConfig, 1);

    const auto packets = delegate->takePackets();
    const size_t expectedPackets = ((total + callFrames - 1) / callFrames) * callFrames / 1024;
    EXPECT_EQ(packets.size(), expectedPackets);
    uint64_t rawBytes = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        rawBytes += packets[i].raw.size();
        EXPECT_EQ(packets[i].duration, MediaTime::make(1024, int32_t(road.rate)));
        if (i > 0) {
            EXPECT_GT(packets[i].presentationTime, packets[i - 1].presentationTime) << "packet " << i;
            EXPECT_GT(packets[i].timestamp, packets[i - 1].timestamp) << "packet " << i;
        }
    }
    EXPECT_EQ(packets.front().presentationTime, MediaTime::make(0, int32_t(road.rate)));
    // The first chunk is whole at the second call.
    EXPECT_EQ(packets.front().timestamp, road.second ? 0u : 1000000u + callFrames * 1000 / road.rate);
    const double bitRate = double(rawBytes) * 8 * double(road.rate) / (1024.0 * double(packets.size()));
    EXPECT_NEAR(bitRate, 96000, 96000 * 0.25);

    const Decoded adts = decodeADTS(packets);
    EXPECT_EQ(adts.errors, 0);
    EXPECT_EQ(adts.sampleRate, int(road.rate));
    EXPECT_EQ(adts.channels, 1);
    EXPECT_EQ(adts.profile, FF_PROFILE_AAC_LOW);
    EXPECT_EQ(adts.frames, int(packets.size()));
    expectPeakAt(adts.samples, double(road.rate), 1000);
    const size_t start = onset(adts.samples, 0.1f);
    EXPECT_NEAR(double(start), double(delay), 64) << "decoder delay " << delay;

    const Decoded raw = Decoder(cookie.get()).raw(packets);
    EXPECT_EQ(raw.errors, 0);
    EXPECT_EQ(raw.samples.size(), adts.samples.size());

    const std::string info = probe(packets, "tone");
    EXPECT_NE(info.find("codec_name=aac"), std::string::npos) << info;
    EXPECT_NE(info.find("sample_rate=" + std::to_string(road.rate)), std::string::npos) << info;
    EXPECT_NE(info.find("channels=1"), std::string::npos) << info;
    EXPECT_NE(info.find("profile=LC"), std::string::npos) << info;
}

INSTANTIATE_TEST_SUITE_P(BothEncodersBothRates, ToneThroughEncoder,
                         ::testing::Values(Road{false, 48000}, Road{false, 44100}, Road{true, 48000},
                                           Road{true, 44100}),
                         [](const auto& info) {
                             return std::string(info.param.second ? "Second" : "First") + "At" +
                                    std::to_string(info.param.rate);
                         });

std::shared_ptr<platform::SampleBuffer> floatStereoBuffer(double frequency, double rate, size_t frames, size_t start) {
    std::vector<float> pcm(frames * 2);
    for (size_t i = 0; i < frames; ++i)
        pcm[2 * i] = pcm[2 * i + 1] = float(0.5 * std::sin(2 * M_PI * frequency * double(start + i) / rate));
    auto block = platform::BlockBuffer::createCopying(pcm.data(), pcm.size() * sizeof(float));
    auto format = platform::FormatDescription::createAudio(platform::AudioStreamDescription::pcmFloat32(rate, 2));
    return platform::SampleBuffer::createAudioPCM(block, format, int64_t(frames),
                                                  MediaTime::make(int64_t(start), int32_t(rate)));
}

TEST(SampleBufferRoad, FloatStereoAt48kIntoMono44kKeepsThePitchAndTheClock) {
    auto encoder = KNAACEncoder2::create();
    auto delegate = std::make_shared<RecordingDelegate>();
    encoder->setDelegate(delegate);
    encoder->startEncoding();
    const size_t total = 48000 * 3;
    for (size_t at = 0; at < total; at += 1024) encoder->encode(floatStereoBuffer(1000, 48000, 1024, at));
    drain(encoder);
    encoder->stopEncoding();
    drain(encoder);

    const auto packets = delegate->takePackets();
    // 3 s at 44.1 kHz, less what waits for a whole packet.
    EXPECT_NEAR(double(packets.size()), 3.0 * 44100 / 1024, 2);
    for (size_t i = 1; i < packets.size(); ++i) {
        EXPECT_GT(packets[i].presentationTime, packets[i - 1].presentationTime) << "packet " << i;
        EXPECT_GT(packets[i].timestamp, packets[i - 1].timestamp) << "packet " << i;
    }
    // Packet k holds output frames from k * 1024 on: its time is where they began at the source.
    const size_t k = packets.size() / 2;
    EXPECT_NEAR(packets[k].presentationTime.seconds(), double(k) * 1024 / 44100, 0.001);
    EXPECT_NEAR(double(packets[k].timestamp), double(k) * 1024 * 1000 / 44100, 1.0);

    const Decoded adts = decodeADTS(packets);
    EXPECT_EQ(adts.errors, 0);
    EXPECT_EQ(adts.sampleRate, 44100);
    EXPECT_EQ(adts.channels, 1);
    expectPeakAt(adts.samples, 44100, 1000);
}

TEST(SampleBufferRoad, ShortBufferBecomesOnePaddedPacketWithItsOwnDuration) {
    auto encoder = KNAACEncoder2::create();
    auto delegate = std::make_shared<RecordingDelegate>();
    encoder->setDelegate(delegate);
    encoder->startEncoding();
    // 476 frames in a block of exactly 952 bytes: reading a whole packet's worth would overrun it.
    const auto pcm = toneS16(1000, 44100, 476, 1);
    auto block = platform::BlockBuffer::createCopying(pcm.data(), pcm.size() * 2);
    auto format = platform::FormatDescription::createAudio(platform::AudioStreamDescription::pcmInt16(44100, 1));
    encoder->encode(platform::SampleBuffer::createAudioPCM(block, format, 476, MediaTime::make(441000 + 21, 44100)));
    drain(encoder);

    const auto packets = delegate->takePackets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].duration, MediaTime::make(476, 44100));
    EXPECT_EQ(packets[0].presentationTime, MediaTime::make(0, 44100));
    EXPECT_EQ(packets[0].timestamp, 10000u);  // the buffer's own time in ms

    // A buffer from before the first one: its times go negative or clamp at zero, never wrap.
    encoder->encode(platform::SampleBuffer::createAudioPCM(block, format, 476, MediaTime::make(-44100, 44100)));
    drain(encoder);
    const auto later = delegate->takePackets();
    ASSERT_EQ(later.size(), 2u);
    EXPECT_EQ(later[1].timestamp, 0u);
    EXPECT_EQ(later[1].presentationTime, MediaTime::make(-44100 - 441021, 44100));
    encoder->stopEncoding();
    drain(encoder);
}

std::vector<int16_t> noisyTone(double rate, size_t frames, size_t channels, size_t start, unsigned seed) {
    std::vector<int16_t> pcm = toneS16(1000, rate, frames, channels, start, 0.3);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-8000, 8000);
    for (auto& s : pcm) s = static_cast<int16_t>(std::clamp(int(s) + noise(random), -32768, 32767));
    return pcm;
}

TEST(CodecBitRate, StereoAtTheHighestRateKeepsEveryPacketWhole) {
    auto encoder = KNAACEncoder2::create();
    auto delegate = std::make_shared<RecordingDelegate>();
    encoder->setDelegate(delegate);
    encoder->setSampleRate(48000);
    encoder->setChannelsNumber(2);
    encoder->setBitRate(576000);
    encoder->startEncoding();
    for (size_t at = 0; at < 48000; at += 1024)
        encoder->encodeAudioDataTimestamp(bytesOf(noisyTone(48000, 1024, 2, at, unsigned(at))), at * 1000 / 48000);
    drain(encoder);
    EXPECT_EQ(encoder->bufferLength(), 4096u);
    const auto packets = delegate->takePackets();
    ASSERT_EQ(packets.size(), (48000u + 1023) / 1024);
    size_t largest = 0;
    for (const auto& p : packets) {
        largest = std::max(largest, p.raw.size());
        ASSERT_EQ(p.adts.size(), p.raw.size() + 7);
        EXPECT_EQ(((p.adts[3] & 3) << 11) | (p.adts[4] << 3) | (p.adts[5] >> 5), int(p.adts.size()));
    }
    EXPECT_GT(largest, 1024u) << "no packet over the mono buffer size: the case isn't exercised";
    const Decoded adts = decodeADTS(packets);
    EXPECT_EQ(adts.errors, 0);
    EXPECT_EQ(adts.channels, 2);
    EXPECT_EQ(adts.frames, int(packets.size()));
    encoder->stopEncoding();
    drain(encoder);
}

}  // namespace
