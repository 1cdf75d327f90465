// The audio converter on libavcodec and libswresample: format queries, packet-per-request timing,
// how input ends, and that nothing is read or written beyond the buffers handed over.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "platform/media/AudioConverter.h"

using namespace platform;

namespace {

struct Feed {
    std::vector<uint8_t> bytes;
    uint32_t bytesPerFrame = 2;
    bool given = false;
    MediaStatus whenEmpty = kMediaNoErr;
    int asked = 0;
};

// Hands its bytes over once, then answers `whenEmpty` with no frames.
MediaStatus feedOnce(AudioConverter*, uint32_t* ioFrames, AudioBufferList* io, void* user) {
    auto* feed = static_cast<Feed*>(user);
    ++feed->asked;
    if (feed->given || feed->bytes.empty()) {
        *ioFrames = 0;
        return feed->whenEmpty;
    }
    feed->given = true;
    io->numberBuffers = 1;
    io->buffers[0] = {1, uint32_t(feed->bytes.size()), feed->bytes.data()};
    *ioFrames = uint32_t(feed->bytes.size() / feed->bytesPerFrame);
    return kMediaNoErr;
}

std::vector<uint8_t> silenceS16(size_t frames, size_t channels = 1) { return std::vector<uint8_t>(frames * channels * 2, 0); }

std::shared_ptr<AudioConverter> aacConverter(double rate = 48000, uint32_t channels = 1,
                                             AudioStreamDescription input = {}) {
    if (input.formatId == 0) input = AudioStreamDescription::pcmInt16(rate, channels);
    std::shared_ptr<AudioConverter> converter;
    EXPECT_EQ(AudioConverter::createSpecific(input, AudioStreamDescription::aac(rate, channels),
                                             AudioFormat::encoders(AudioStreamDescription::kFormatMPEG4AAC), &converter),
              kMediaNoErr);
    return converter;
}

struct Filled {
    MediaStatus status;
    uint32_t packets;
    std::vector<uint8_t> bytes;
};

Filled fill(AudioConverter& converter, Feed& feed, uint32_t room = 8192, AudioConverterInputProc proc = feedOnce) {
    std::vector<uint8_t> out(room);
    AudioBufferList list;
    list.numberBuffers = 1;
    list.buffers[0] = {1, room, out.data()};
    uint32_t n = 1;
    const MediaStatus status = converter.fillComplexBuffer(proc, &feed, &n, &list, nullptr);
    out.resize(list.buffers[0].dataByteSize);
    return {status, n, out};
}

TEST(AudioFormatQueries, AACTakesOnlyWhatItsHeadersCanDescribe) {
    AudioStreamDescription d = AudioStreamDescription::aac(7350, 8);
    d.framesPerPacket = 0;
    EXPECT_EQ(AudioFormat::completeFormatInfo(&d), kMediaNoErr);
    EXPECT_EQ(d.framesPerPacket, 1024u);
    for (auto [rate, channels] : {std::pair{45000.0, 1u}, {0.0, 1u}, {48000.0, 0u}, {48000.0, 9u}}) {
        AudioStreamDescription bad = AudioStreamDescription::aac(rate, channels);
        EXPECT_EQ(AudioFormat::completeFormatInfo(&bad), kAudioFormatErrUnsupportedDataFormat) << rate << " " << channels;
    }
}

TEST(AudioConverterAAC, InputThatEndsIsPaddedAndInputThatWaitsIsKept) {
    auto converter = aacConverter();
    Feed ending{silenceS16(476)};
    EXPECT_EQ(fill(*converter, ending).packets, 1u) << "padded to a whole packet";

    Feed waiting{silenceS16(500)};
    waiting.whenEmpty = MediaStatus(fourCC("wait"));
    const Filled kept = fill(*converter, waiting);
    EXPECT_EQ(kept.status, MediaStatus(fourCC("wait")));
    EXPECT_EQ(kept.packets, 0u);
    EXPECT_EQ(converter->bufferedFrames(), 500u);
    Feed more{silenceS16(600)};
    more.whenEmpty = MediaStatus(fourCC("wait"));
    EXPECT_EQ(fill(*converter, more).packets, 1u);
    EXPECT_EQ(converter->bufferedFrames(), 76u);
}

TEST(AudioConverterAAC, NeverReadsPastTheBuffersItIsHanded) {
    auto converter = aacConverter();
    // Claims a whole packet of frames behind a buffer of 100.
    Feed liar{silenceS16(100)};
    const auto claimMore = [](AudioConverter* c, uint32_t* ioFrames, AudioBufferList* io, void* user) {
        const MediaStatus s = feedOnce(c, ioFrames, io, user);
        if (*ioFrames) *ioFrames = 1024;
        return s;
    };
    const Filled filled = fill(*converter, liar, 8192, claimMore);
    EXPECT_EQ(filled.status, kMediaNoErr);
    EXPECT_EQ(filled.packets, 1u);
}

TEST(AudioConverterAAC, APacketLargerThanTheRoomLeftIsKeptWhole) {
    auto converter = aacConverter();
    Feed feed{std::vector<uint8_t>(2048)};
    for (size_t i = 0; i < feed.bytes.size(); i += 2) feed.bytes[i + 1] = uint8_t(i * 7919 % 251);  // noise
    const Filled small = fill(*converter, feed, 8);
    EXPECT_EQ(small.status, kAudioConverterErrBufferTooSmall);
    EXPECT_EQ(small.packets, 0u);
    Feed none{};
    const Filled later = fill(*converter, none);
    EXPECT_EQ(later.packets, 1u);
    EXPECT_GT(later.bytes.size(), 8u);
}

TEST(AudioConverterAAC, BitRateWithinWhatTheStreamCanCarry) {
    auto mono = aacConverter(48000, 1);
    EXPECT_EQ(mono->setEncodeBitRate(7999), kAudioConverterErrBadPropertyValue);
    EXPECT_EQ(mono->setEncodeBitRate(288001), kAudioConverterErrBadPropertyValue);  // 6144 bits a packet
    EXPECT_EQ(mono->setEncodeBitRate(64000), kMediaNoErr);
    EXPECT_EQ(mono->primeInfo().leadingFrames, 2048u) << "still primed after opening again";
    Feed feed{silenceS16(1024)};
    EXPECT_EQ(fill(*mono, feed).packets, 1u);
}

TEST(AudioConverterAAC, RefusesPCMItWouldMisread) {
    std::shared_ptr<AudioConverter> converter;
    AudioStreamDescription bigEndian = AudioStreamDescription::pcmInt16(48000, 1);
    bigEndian.formatFlags |= AudioStreamDescription::kFlagIsBigEndian;
    AudioStreamDescription threeBytes = AudioStreamDescription::pcmInt16(48000, 1);
    threeBytes.bitsPerChannel = 24;
    threeBytes.bytesPerFrame = threeBytes.bytesPerPacket = 3;
    for (const auto& input : {bigEndian, threeBytes, AudioStreamDescription{}}) {
        EXPECT_EQ(AudioConverter::createSpecific(input, AudioStreamDescription::aac(48000, 1),
                                                 AudioFormat::encoders(AudioStreamDescription::kFormatMPEG4AAC),
                                                 &converter),
                  kAudioConverterErrFormatNotSupported);
        EXPECT_FALSE(converter);
    }
    EXPECT_EQ(AudioConverter::createSpecific(AudioStreamDescription::pcmInt16(48000, 1),
                                             AudioStreamDescription::aac(48000, 1), {}, &converter),
              kAudioConverterErrNoEncoder);
}

}  // namespace
