// Tag bodies byte for byte, and the refusal of input that is not what it claims to be.
#include "transport/KNFLVPayload.h"

#include <gtest/gtest.h>

#include "KNRTMPSessionStandIn.h"
#include "core/KNMetadata.h"

using namespace kntest;

TEST(KNFLVPayload, VideoBodyAndAVCSequenceHeaderAndTheParameterSetsItRefuses) {
    Bytes large(70000 + 9), bigNal(70000, 0x41);
    KNFLVPayload::writeVideoBody(large.data(), bigNal.data(), bigNal.size(), false);
    EXPECT_EQ(Bytes(large.begin(), large.begin() + 9), (Bytes{0x27, 0x01, 0, 0, 0, 0x00, 0x01, 0x11, 0x70}));

    const Bytes sps = {0x67, 0x4D, 0x40, 0x1E, 0xAA}, pps = {0x68, 0xEE, 0x3C};
    EXPECT_EQ(KNFLVPayload::avcSequenceHeader(sps, pps),
              (Bytes{0x17, 0x00, 0, 0, 0, 0x01, 0x4D, 0x40, 0x1E, 0xFF, 0xE1, 0x00, 0x05, 0x67, 0x4D, 0x40,
                     0x1E, 0xAA, 0x01, 0x00, 0x03, 0x68, 0xEE, 0x3C}));
    const auto header = KNFLVPayload::avcSequenceHeader(Bytes(0xFFFF, 0x67), Bytes(0xFFFF, 0x68));
    ASSERT_EQ(header.size(), 2 * 0xFFFFu + 16);
    EXPECT_EQ(Bytes(header.begin() + 11, header.begin() + 14), (Bytes{0xFF, 0xFF, 0x67}));

    const std::pair<Bytes, Bytes> refused[] = {
        {{}, pps}, {{0x67, 0x4D, 0x40}, pps} /* no level byte */, {sps, {}}, {Bytes(0x10000, 0x67), pps},
        {sps, Bytes(0x10000, 0x68)}};
    for (const auto& [s, p] : refused) EXPECT_FALSE(KNFLVPayload::parameterSetsUsable(s, p)) << s.size() << "/" << p.size();
    EXPECT_TRUE(KNFLVPayload::parameterSetsUsable({0x67, 0x4D, 0x40, 0x1E}, Bytes(0xFFFF, 0x68)));
}

TEST(KNFLVPayload, TheStandardSamplingFrequencyTable) {
    const std::pair<int64_t, int> indexes[] = {
        {96000, 0}, {88200, 1}, {64000, 2}, {48000, 3}, {44100, 4}, {32000, 5}, {24000, 6}, {22050, 7},
        {16000, 8}, {12000, 9}, {11025, 10}, {8000, 11}, {7350, 12}, {0, 3},   {44000, 3}, {-1, 3}};
    for (const auto& [rate, index] : indexes) EXPECT_EQ(KNFLVPayload::samplingFrequencyIndex(rate), index) << rate;
}

TEST(KNFLVPayload, ADTSFramesAreParsedOrRefused) {
    const auto plain = adtsBytes(8, 2, 10, true);
    const auto parsed = KNFLVPayload::parseADTS(plain.data(), plain.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->config, (KNFLVPayload::AudioConfig{8, 2}));
    EXPECT_EQ(parsed->headerLengthBytes, 9u);
    auto noSync = plain, reservedRate = plain;
    noSync[1] = 0x71;
    reservedRate[2] = static_cast<uint8_t>((reservedRate[2] & ~0x3C) | (13 << 2));
    for (const auto& frame : {adtsBytes(4, 1, 0), adtsBytes(4, 1, 0, true), noSync, reservedRate}) {
        EXPECT_FALSE(KNFLVPayload::parseADTS(frame.data(), frame.size()));
    }
    EXPECT_FALSE(KNFLVPayload::parseADTS(plain.data(), 8));  // shorter than its header
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
    auto numbers = [&](std::initializer_list<std::pair<const char*, double>> fields) {
        for (auto [n, v] : fields) {
            name(n);
            amf.push_back(0x00);
            uint64_t bits;
            std::memcpy(&bits, &v, 8);
            for (int i = 7; i >= 0; --i) amf.push_back(static_cast<uint8_t>(bits >> (i * 8)));
        }
    };
    string("@setDataFrame");
    string("onMetaData");
    amf.push_back(0x03);
    numbers({{"duration", 0}, {"fileSize", 0}});
    name("videocodecid");
    string("avc1");
    numbers({{"width", 1280}, {"height", 720}, {"videodatarate", 2500}, {"framerate", 30}});
    name("audiocodecid");
    string("mp4a");
    numbers({{"audiodatarate", 80}, {"audiosamplerate", 44100}, {"audiosamplesize", 16}});
    name("stereo");
    amf.insert(amf.end(), {0x01, 0x01, 0x00, 0x00, 0x09});
    EXPECT_EQ(KNFLVPayload::onMetaData(*metadata), amf);
}
