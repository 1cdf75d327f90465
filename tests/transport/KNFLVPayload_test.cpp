// Tag bodies byte for byte, and the refusal of input that is not what it claims to be.
#include "transport/KNFLVPayload.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KNRTMPSessionStandIn.h"
#include "core/KNMetadata.h"

namespace {

using kntest::adtsBytes;
using Bytes = std::vector<uint8_t>;

TEST(KNFLVPayload, VideoBodyCarriesFrameTypeAndBigEndianLength) {
    const Bytes nal = {0x65, 0x88, 0x84, 0x00, 0x33};
    Bytes body(nal.size() + 9, 0xEE);
    KNFLVPayload::writeVideoBody(body.data(), nal.data(), nal.size(), true);
    EXPECT_EQ(body, (Bytes{0x17, 0x01, 0, 0, 0, 0, 0, 0, 5, 0x65, 0x88, 0x84, 0x00, 0x33}));

    Bytes large(70000 + 9), bigNal(70000, 0x41);
    KNFLVPayload::writeVideoBody(large.data(), bigNal.data(), bigNal.size(), false);
    EXPECT_EQ(Bytes(large.begin(), large.begin() + 9), (Bytes{0x27, 0x01, 0, 0, 0, 0x00, 0x01, 0x11, 0x70}));
}

TEST(KNFLVPayload, AVCSequenceHeaderRecordAndTheParameterSetsItRefuses) {
    const Bytes sps = {0x67, 0x4D, 0x40, 0x1E, 0xAA}, pps = {0x68, 0xEE, 0x3C};
    ASSERT_TRUE(KNFLVPayload::parameterSetsUsable(sps, pps));
    EXPECT_EQ(KNFLVPayload::avcSequenceHeader(sps, pps),
              (Bytes{0x17, 0x00, 0, 0, 0, 0x01, 0x4D, 0x40, 0x1E, 0xFF, 0xE1, 0x00, 0x05, 0x67, 0x4D, 0x40,
                     0x1E, 0xAA, 0x01, 0x00, 0x03, 0x68, 0xEE, 0x3C}));
    const Bytes big(0xFFFF, 0x67);
    const auto header = KNFLVPayload::avcSequenceHeader(big, pps);
    ASSERT_EQ(header.size(), big.size() + pps.size() + 16);
    EXPECT_EQ(header[11], 0xFF);
    EXPECT_EQ(header[12], 0xFF);

    EXPECT_FALSE(KNFLVPayload::parameterSetsUsable({}, pps));
    EXPECT_FALSE(KNFLVPayload::parameterSetsUsable({0x67, 0x4D, 0x40}, pps));  // no level byte
    EXPECT_FALSE(KNFLVPayload::parameterSetsUsable({0x67, 0x4D, 0x40, 0x1E}, {}));
    EXPECT_FALSE(KNFLVPayload::parameterSetsUsable(Bytes(0x10000, 0x67), pps));
    EXPECT_FALSE(KNFLVPayload::parameterSetsUsable({0x67, 0x4D, 0x40, 0x1E}, Bytes(0x10000, 0x68)));
    EXPECT_TRUE(KNFLVPayload::parameterSetsUsable({0x67, 0x4D, 0x40, 0x1E}, Bytes(0xFFFF, 0x68)));
}

TEST(KNFLVPayload, AACSequenceHeaderUsesTheStandardSamplingFrequencyTable) {
    const std::pair<int64_t, int> indexes[] = {
        {96000, 0}, {88200, 1}, {64000, 2}, {48000, 3}, {44100, 4}, {32000, 5}, {24000, 6}, {22050, 7},
        {16000, 8}, {12000, 9}, {11025, 10}, {8000, 11}, {7350, 12}, {0, 3},   {44000, 3}, {-1, 3}};
    for (const auto& [rate, index] : indexes) EXPECT_EQ(KNFLVPayload::samplingFrequencyIndex(rate), index) << rate;

    auto header = [](const KNMetadata* metadata) {
        const auto bytes = KNFLVPayload::aacSequenceHeader(KNFLVPayload::audioConfigFromMetadata(metadata));
        return Bytes(bytes.begin(), bytes.end());
    };
    const std::tuple<int32_t, bool, Bytes> cases[] = {
        {44100, false, {0xAF, 0x00, 0x12, 0x08}}, {44100, true, {0xAF, 0x00, 0x12, 0x10}},
        {48000, true, {0xAF, 0x00, 0x11, 0x90}},  {32000, false, {0xAF, 0x00, 0x12, 0x88}},
        {22050, true, {0xAF, 0x00, 0x13, 0x90}},  {8000, false, {0xAF, 0x00, 0x15, 0x88}},
    };
    for (const auto& [rate, stereo, expected] : cases) {
        auto metadata = KNMetadata::create();
        metadata->setAudioSampleRate(rate);
        metadata->setAudioStereo(stereo);
        EXPECT_EQ(header(metadata.get()), expected) << rate << (stereo ? " stereo" : " mono");
    }
    EXPECT_EQ(header(nullptr), (Bytes{0xAF, 0x00, 0x11, 0x88}));
}

TEST(KNFLVPayload, ADTSFramesAreParsedOrRefusedAndLoseTheirHeaderWithItsCRC) {
    for (const bool crc : {false, true}) {
        const auto frame = adtsBytes(crc ? 8 : 4, crc ? 1 : 2, 6, crc);
        const auto parsed = KNFLVPayload::parseADTS(frame.data(), frame.size());
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->headerLengthBytes, crc ? 9u : 7u);
        EXPECT_EQ(parsed->config, (KNFLVPayload::AudioConfig{crc ? 8 : 4, crc ? 1 : 2}));
        Bytes body(frame.size(), 0xEE);
        body.resize(KNFLVPayload::writeAudioBody(body.data(), frame.data(), frame.size(), parsed->headerLengthBytes));
        EXPECT_EQ(body, (Bytes{0xAF, 0x01, 0, 1, 2, 3, 4, 5})) << crc;
    }

    const auto plain = adtsBytes(4, 2, 10);
    auto noSync = plain, reservedRate = plain;
    noSync[1] = 0x71;
    reservedRate[2] = static_cast<uint8_t>((reservedRate[2] & ~0x3C) | (13 << 2));
    const Bytes refused[] = {adtsBytes(4, 1, 0), adtsBytes(4, 1, 0, true), noSync, reservedRate};
    for (const auto& frame : refused) EXPECT_FALSE(KNFLVPayload::parseADTS(frame.data(), frame.size()));
    EXPECT_FALSE(KNFLVPayload::parseADTS(plain.data(), 3));
    EXPECT_FALSE(KNFLVPayload::parseADTS(nullptr, 0));
}

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

    // AMF0 written out by hand, to hold the encoder to the layout players read.
    Bytes amf;
    auto name = [&](const std::string& s) {
        amf.insert(amf.end(), {static_cast<uint8_t>(s.size() >> 8), static_cast<uint8_t>(s.size())});
        amf.insert(amf.end(), s.begin(), s.end());
    };
    auto string = [&](const std::string& s) { amf.push_back(0x02); name(s); };
    auto number = [&](const std::string& n, double v) {
        name(n);
        amf.push_back(0x00);
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        for (int i = 7; i >= 0; --i) amf.push_back(static_cast<uint8_t>(bits >> (i * 8)));
    };
    string("@setDataFrame");
    string("onMetaData");
    amf.push_back(0x03);
    number("duration", 0);
    number("fileSize", 0);
    name("videocodecid");
    string("avc1");
    number("width", 1280);
    number("height", 720);
    number("videodatarate", 2500);
    number("framerate", 30);
    name("audiocodecid");
    string("mp4a");
    number("audiodatarate", 80);
    number("audiosamplerate", 44100);
    number("audiosamplesize", 16);
    name("stereo");
    amf.insert(amf.end(), {0x01, 0x01, 0x00, 0x00, 0x09});
    EXPECT_EQ(KNFLVPayload::onMetaData(*metadata), amf);
}

}  // namespace
