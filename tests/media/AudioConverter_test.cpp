// The AAC audio converter refuses PCM it would misread and bit rates the stream can't carry.
// What it makes, and how a refused rate leaves it, is checked through the AAC encoders' tests.
#include "platform/media/AudioConverter.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(AudioConverterAAC, RefusesPCMItWouldMisreadAndBitRatesTheStreamCantCarry) {
    const auto aac = AudioFormat::encoders(AudioStreamDescription::kFormatMPEG4AAC);
    std::shared_ptr<AudioConverter> converter;
    AudioStreamDescription bigEndian = AudioStreamDescription::pcmInt16(48000, 1), threeBytes = bigEndian;
    bigEndian.formatFlags |= AudioStreamDescription::kFlagIsBigEndian;
    threeBytes.bitsPerChannel = 24;
    threeBytes.bytesPerFrame = threeBytes.bytesPerPacket = 3;
    for (const auto& input : {bigEndian, threeBytes, AudioStreamDescription{}}) {
        EXPECT_EQ(AudioConverter::createSpecific(input, AudioStreamDescription::aac(48000, 1), aac, &converter),
                  kAudioConverterErrFormatNotSupported);
        EXPECT_FALSE(converter);
    }
    ASSERT_EQ(AudioConverter::createSpecific(AudioStreamDescription::pcmInt16(48000, 1), AudioStreamDescription::aac(48000, 1), aac,
                                             &converter),
              kMediaNoErr);
    EXPECT_EQ(converter->setEncodeBitRate(7999), kAudioConverterErrBadPropertyValue);
    EXPECT_EQ(converter->setEncodeBitRate(288001), kAudioConverterErrBadPropertyValue);  // 6144 bits a packet
    EXPECT_EQ(converter->setEncodeBitRate(288000), kMediaNoErr);
}
