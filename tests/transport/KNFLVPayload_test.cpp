// Tag bodies byte for byte, and the refusal of input that is not what it claims to be.
#include "transport/KNFLVPayload.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/KNMetadata.h"

namespace {

using Bytes = std::vector<uint8_t>;

// An ADTS header (AAC LC) for a frame of `payloadBytes`, with a 2-byte CRC when asked.
Bytes adtsFrame(int samplingIndex, int channels, size_t payloadBytes, bool crc = false) {
    const size_t headerBytes = crc ? 9 : 7;
    const size_t length = headerBytes + payloadBytes;
    Bytes frame = {0xFF, static_cast<uint8_t>(crc ? 0xF0 : 0xF1),
                   static_cast<uint8_t>((1 << 6) | (samplingIndex << 2) | (channels >> 2)),
                   static_cast<uint8_t>(((channels & 3) << 6) | (length >> 11)),
                   static_cast<uint8_t>(length >> 3), static_cast<uint8_t>(((length & 7) << 5) | 0x1F), 0xFC};
    if (crc) frame.insert(frame.end(), {0xAB, 0xCD});
    for (size_t i = 0; i < payloadBytes; ++i) frame.push_back(static_cast<uint8_t>(0x40 + i));
    return frame;
}

TEST(KNFLVPayload, VideoBodyCarriesFrameTypeAndBigEndianLength) {
    const Bytes nal = {0x65, 0x88, 0x84, 0x00, 0x33};
    Bytes body(nal.size() + 9, 0xEE);
    KNFLVPayload::writeVideoBody(body.data(), nal.data(), nal.size(), true);
    EXPECT_EQ(body, (Bytes{0x17, 0x01, 0, 0, 0, 0, 0, 0, 5, 0x65, 0x88, 0x84, 0x00, 0x33}));

    Bytes large(70000 + 9);
    Bytes bigNal(70000, 0x41);
    KNFLVPayload::writeVideoBody(large.data(), bigNal.data(), bigNal.size(), false);
    EXPECT_EQ(Bytes(large.begin(), large.begin() + 9), (Bytes{0x27, 0x01, 0, 0, 0, 0x00, 0x01, 0x11, 0x70}));
}

TEST(KNFLVPayload, AVCSequenceHeaderRecord) {
    const Bytes sps = {0x67, 0x4D, 0x40, 0x1E, 0xAA};
    const Bytes pps = {0x68, 0xEE, 0x3C};
    ASSERT_TRUE(KNFLVPayload::parameterSetsUsable(sps, pps));
    EXPECT_EQ(KNFLVPayload::avcSequenceHeader(sps, pps),
              (Bytes{0x17, 0x00, 0, 0, 0, 0x01, 0x4D, 0x40, 0x1E, 0xFF, 0xE1, 0x00, 0x05, 0x67, 0x4D, 0x40,
                     0x1E, 0xAA, 0x01, 0x00, 0x03, 0x68, 0xEE, 0x3C}));

    const Bytes big(0xFFFF, 0x67);
    const auto header = KNFLVPayload::avcSequenceHeader(big, pps);
    ASSERT_EQ(header.size(), big.size() + pps.size() + 16);
    EXPECT_EQ(header[11], 0xFF);
    EXPECT_EQ(header[12], 0xFF);
}

TEST(KNFLVPayload, UnusableParameterSetsAreRefused) {
    const Bytes pps = {0x68, 0xEE};
    EXPECT_FALSE(KNFLVPayload::parameterSetsUsable({}, pps));
    EXPECT_FALSE(KNFLVPayload::parameterSetsUsable({0x67, 0x4D, 0x40}, pps));  // no level byte
    EXPECT_FALSE(KNFLVPayload::parameterSetsUsable({0x67, 0x4D, 0x40, 0x1E}, {}));
    EXPECT_FALSE(KNFLVPayload::parameterSetsUsable(Bytes(0x10000, 0x67), pps));
    EXPECT_FALSE(KNFLVPayload::parameterSetsUsable({0x67, 0x4D, 0x40, 0x1E}, Bytes(0x10000, 0x68)));
    EXPECT_TRUE(KNFLVPayload::parameterSetsUsable({0x67, 0x4D, 0x40, 0x1E}, Bytes(0xFFFF, 0x68)));
}

TEST(KNFLVPayload, SamplingFrequencyIndexFollowsTheStandardTable) {
    const std::pair<int64_t, int> cases[] = {
        {96000, 0}, {88200, 1}, {64000, 2}, {48000, 3}, {44100, 4}, {32000, 5}, {24000, 6},
        {22050, 7}, {16000, 8}, {12000, 9}, {11025, 10}, {8000, 11}, {7350, 12},
        {0, 3},     {44000, 3}, {-1, 3}};
    for (const auto& [rate, index] : cases) {
        EXPECT_EQ(KNFLVPayload::samplingFrequencyIndex(rate), index) << rate;
    }
}

TEST(KNFLVPayload, AACSequenceHeaderDeclaresRateAndChannels) {
    auto header = [](int32_t rate, bool stereo) {
        auto metadata = KNMetadata::create();
        metadata->setAudioSampleRate(rate);
        metadata->setAudioStereo(stereo);
        const auto bytes = KNFLVPayload::aacSequenceHeader(KNFLVPayload::audioConfigFromMetadata(metadata.get()));
        return Bytes(bytes.begin(), bytes.end());
    };
    EXPECT_EQ(header(44100, false), (Bytes{0xAF, 0x00, 0x12, 0x08}));
    EXPECT_EQ(header(44100, true), (Bytes{0xAF, 0x00, 0x12, 0x10}));
    EXPECT_EQ(header(48000, false), (Bytes{0xAF, 0x00, 0x11, 0x88}));
    EXPECT_EQ(header(48000, true), (Bytes{0xAF, 0x00, 0x11, 0x90}));
    // Rates that used to be declared as 48 kHz.
    EXPECT_EQ(header(32000, false), (Bytes{0xAF, 0x00, 0x12, 0x88}));
    EXPECT_EQ(header(24000, false), (Bytes{0xAF, 0x00, 0x13, 0x08}));
    EXPECT_EQ(header(22050, true), (Bytes{0xAF, 0x00, 0x13, 0x90}));
    EXPECT_EQ(header(16000, false), (Bytes{0xAF, 0x00, 0x14, 0x08}));
    EXPECT_EQ(header(8000, false), (Bytes{0xAF, 0x00, 0x15, 0x88}));

    const auto none = KNFLVPayload::aacSequenceHeader(KNFLVPayload::audioConfigFromMetadata(nullptr));
    EXPECT_EQ(Bytes(none.begin(), none.end()), (Bytes{0xAF, 0x00, 0x11, 0x88}));
}

TEST(KNFLVPayload, ADTSFramesAreParsedOrRefused) {
    const auto plain = adtsFrame(4, 2, 10);
    auto parsed = KNFLVPayload::parseADTS(plain.data(), plain.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->headerLengthBytes, 7u);
    EXPECT_EQ(parsed->config, (KNFLVPayload::AudioConfig{4, 2}));

    const auto withCrc = adtsFrame(8, 1, 10, true);
    parsed = KNFLVPayload::parseADTS(withCrc.data(), withCrc.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->headerLengthBytes, 9u);
    EXPECT_EQ(parsed->config, (KNFLVPayload::AudioConfig{8, 1}));

    const auto headerOnly = adtsFrame(4, 1, 0);
    EXPECT_FALSE(KNFLVPayload::parseADTS(headerOnly.data(), headerOnly.size()));
    EXPECT_FALSE(KNFLVPayload::parseADTS(headerOnly.data(), 3));
    EXPECT_FALSE(KNFLVPayload::parseADTS(nullptr, 0));
    const auto crcHeaderOnly = adtsFrame(4, 1, 0, true);
    EXPECT_FALSE(KNFLVPayload::parseADTS(crcHeaderOnly.data(), crcHeaderOnly.size()));
    auto noSync = plain;
    noSync[1] = 0x71;
    EXPECT_FALSE(KNFLVPayload::parseADTS(noSync.data(), noSync.size()));
    auto reservedRate = plain;
    reservedRate[2] = static_cast<uint8_t>((reservedRate[2] & ~0x3C) | (13 << 2));
    EXPECT_FALSE(KNFLVPayload::parseADTS(reservedRate.data(), reservedRate.size()));
}

TEST(KNFLVPayload, AudioBodyDropsTheADTSHeaderWithItsCRC) {
    for (bool crc : {false, true}) {
        const auto frame = adtsFrame(4, 1, 6, crc);
        Bytes body(frame.size(), 0xEE);
        const size_t written = KNFLVPayload::writeAudioBody(body.data(), frame.data(), frame.size(), crc ? 9 : 7);
        body.resize(written);
        EXPECT_EQ(body, (Bytes{0xAF, 0x01, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45})) << crc;
    }
}

// AMF0 written out by hand, to hold the encoder to the layout players read.
struct AMFWriter {
    Bytes out;
    void u16(size_t v) { out.insert(out.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}); }
    void raw(const std::string& s) { out.insert(out.end(), s.begin(), s.end()); }
    void string(const std::string& s) { out.push_back(0x02); u16(s.size()); raw(s); }
    void name(const std::string& s) { u16(s.size()); raw(s); }
    void number(const std::string& n, double v) {
        name(n);
        out.push_back(0x00);
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        for (int i = 7; i >= 0; --i) out.push_back(static_cast<uint8_t>(bits >> (i * 8)));
    }
    void namedString(const std::string& n, const std::string& v) { name(n); string(v); }
    void boolean(const std::string& n, bool v) { name(n); out.insert(out.end(), {0x01, static_cast<uint8_t>(v)}); }
};

TEST(KNFLVPayload, OnMetaDataListsTheStreamInOrder) {
    auto metadata = KNMetadata::create();
    metadata->setVideoCodecId("avc1");
    metadata->setVideoWidth(1280);
    metadata->setVideoHeight(720);
    metadata->setVideoBitrate(2500000);
    metadata->setVideoFramerate(30);
    metadata->setAudioCodecId("mp4a");
    metadata->setAudioBitrate(80000);
    metadata->setAudioSampleRate(44100);
    metadata->setAudioSampleSize(16);
    metadata->setAudioStereo(true);

    AMFWriter w;
    w.string("@setDataFrame");
    w.string("onMetaData");
    w.out.push_back(0x03);
    w.number("duration", 0);
    w.number("fileSize", 0);
    w.namedString("videocodecid", "avc1");
    w.number("width", 1280);
    w.number("height", 720);
    w.number("videodatarate", 2500);
    w.number("framerate", 30);
    w.namedString("audiocodecid", "mp4a");
    w.number("audiodatarate", 80);
    w.number("audiosamplerate", 44100);
    w.number("audiosamplesize", 16);
    w.boolean("stereo", true);
    w.out.insert(w.out.end(), {0x00, 0x00, 0x09});
    EXPECT_EQ(KNFLVPayload::onMetaData(*metadata), w.out);
}

}  // namespace
