// Media time arithmetic, PCM sample buffers and their slicing, attachments, and the shapes a
// pixel buffer refuses.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/media/SampleBuffer.h"

using namespace platform;

TEST(MediaTime, ArithmeticAcrossTimeScalesIsExactOrSaturatesAndOrderCompareInstants) {
    EXPECT_EQ(MediaTime::make(1, 3) + MediaTime::make(1, 2), MediaTime::make(5, 6));
    EXPECT_EQ(MediaTime::make(1, 48000) + MediaTime::make(1, 90000), MediaTime::make(1 * 15 + 8, 720000));
    // Rounded half away from zero, and marked as rounded.
    EXPECT_EQ(MediaTime::make(1, 3).convertScale(2).value, 1);
    EXPECT_EQ(MediaTime::make(-1, 4).convertScale(2).value, -1);
    EXPECT_TRUE(MediaTime::make(1, 3).convertScale(1000).flags & MediaTime::kHasBeenRounded);
    EXPECT_FALSE(MediaTime::make(1, 2).convertScale(1000).flags & MediaTime::kHasBeenRounded);

    const MediaTime huge = MediaTime::make(INT64_MAX - 1, 1);
    EXPECT_EQ(huge + huge, MediaTime::positiveInfinity());
    EXPECT_EQ(MediaTime::make(INT64_MIN + 1, 1) - huge, MediaTime::negativeInfinity());
    EXPECT_EQ(huge.convertScale(90000), MediaTime::positiveInfinity());
    EXPECT_FALSE((MediaTime::positiveInfinity() + MediaTime::negativeInfinity()).isValid());
    EXPECT_FALSE((MediaTime::invalid() + MediaTime::make(1, 1)).isValid());
    EXPECT_FALSE(MediaTime::makeWithSeconds(std::nan(""), 600).isValid());

    EXPECT_EQ(MediaTime::make(1, 2), MediaTime::make(300, 600));
    EXPECT_LT(MediaTime::make(INT64_MAX / 2, 3), MediaTime::make(INT64_MAX / 2, 2));  // no overflow in the cross product
    EXPECT_LT(MediaTime::invalid(), MediaTime::negativeInfinity());
    EXPECT_LT(MediaTime::negativeInfinity(), MediaTime::make(INT64_MIN, 1));
    EXPECT_LT(MediaTime::make(INT64_MAX, 1), MediaTime::positiveInfinity());
    EXPECT_LT(MediaTime::positiveInfinity(), MediaTime::indefinite());
}

TEST(SampleBuffer, PcmBuffersKnowTheirDurationAndSliceExactly) {
    auto format = FormatDescription::createAudio(AudioStreamDescription::pcmInt16(48000, 2));
    ASSERT_TRUE(format);
    std::vector<uint8_t> pcm(4096 * 4);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = uint8_t(i / 4);  // frame n holds n (mod 256)
    auto buffer = SampleBuffer::createAudioPCM(BlockBuffer::createWithBytes(pcm), format, 4096, MediaTime::make(480, 48000));
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->duration(), MediaTime::make(4096, 48000));
    EXPECT_EQ(buffer->sampleSize(4095), 4u);
    EXPECT_EQ(buffer->sampleSize(4096), 0u);

    auto slice = buffer->copyForRange(1024, 1024);
    ASSERT_TRUE(slice);
    EXPECT_EQ(slice->presentationTimeStamp(), MediaTime::make(480 + 1024, 48000));
    EXPECT_EQ(slice->duration(), MediaTime::make(1024, 48000));
    EXPECT_EQ(slice->dataBuffer()->size(), 4096u);
    EXPECT_EQ(slice->dataBuffer()->data()[0], uint8_t(1024 % 256));
    EXPECT_TRUE(buffer->copyForRange(4000, 96));
    EXPECT_FALSE(buffer->copyForRange(4000, 97));
    EXPECT_FALSE(buffer->copyForRange(-1, 10));
    EXPECT_FALSE(buffer->copyForRange(0, 0));

    // Bytes that don't hold the frames claimed are refused, as is a format that isn't PCM.
    EXPECT_FALSE(SampleBuffer::createAudioPCM(BlockBuffer::createWithBytes(pcm), format, 4097, MediaTime::zero()));
    auto aac = FormatDescription::createAudio(AudioStreamDescription::aac(48000, 1), {0x11, 0x88});
    EXPECT_FALSE(SampleBuffer::createAudioPCM(BlockBuffer::createWithBytes(pcm), aac, 4096, MediaTime::zero()));
    EXPECT_FALSE(SampleBuffer::createWithData(BlockBuffer::createWithBytes({1, 2, 3}), aac, 2, SampleTiming{}, {2, 2}));
}

TEST(SampleBuffer, AttachmentsAreMadeOnlyWhenAskedFor) {
    auto buffer = SampleBuffer::createWithData(BlockBuffer::createWithBytes({0, 0, 0, 1, 0x65}), nullptr, 1, SampleTiming{});
    EXPECT_TRUE(buffer->sampleAttachmentsArray(false).empty());  // what marks a key frame
    ASSERT_EQ(buffer->sampleAttachmentsArray(true).size(), 1u);
    EXPECT_TRUE(buffer->sampleAttachmentsArray(false)[0].empty());
    buffer->setSampleAttachment(0, kSampleAttachmentNotSync, true);
    buffer->setSampleAttachment(5, kSampleAttachmentNotSync, true);  // no such sample: ignored
    auto attachments = buffer->sampleAttachmentsArray(false);
    ASSERT_EQ(attachments.size(), 1u);
    EXPECT_TRUE(attachments[0].contains(kSampleAttachmentNotSync));
}

TEST(PixelBuffer, ShapesAndStartingContent) {
    EXPECT_FALSE(PixelBuffer::create(641, 360, PixelFormat::NV12VideoRange));
    EXPECT_FALSE(PixelBuffer::create(0, 360, PixelFormat::BGRA));
    EXPECT_TRUE(PixelBuffer::create(641, 361, PixelFormat::BGRA));

    auto nv12 = PixelBuffer::create(642, 362, PixelFormat::NV12VideoRange);
    ASSERT_TRUE(nv12);
    EXPECT_EQ(nv12->planeHeight(1), 181);
    EXPECT_EQ(nv12->planeData(2), nullptr);
    // Video-range black, to the last byte of the chroma plane.
    EXPECT_EQ(nv12->planeData(0)[0], 16);
    EXPECT_EQ(nv12->planeData(1)[180 * nv12->bytesPerRow(1) + 641], 128);
    auto frame = SampleBuffer::createWithImageBuffer(nv12, SampleTiming{});
    ASSERT_TRUE(frame && frame->formatDescription());
    EXPECT_EQ(frame->formatDescription()->mediaSubType(), fourCC("420v"));
    EXPECT_EQ(frame->formatDescription()->width(), 642);
}
