// The libavformat asset writer: early audio held for the deferred header, its bound, the priming
// trim, and files with a track that never got media.
#include <gtest/gtest.h>

#include <filesystem>

#include "encoding/LocalSaverTestSupport.h"
#include "platform/media/AssetWriter.h"

namespace {

using platform::AssetFileType;
using platform::AssetWriter;
using platform::AssetWriterInput;
using platform::AssetWriterStatus;
using platform::FormatDescription;
using platform::MediaTime;
using platform::SampleBuffer;
using savertest::number;

constexpr int32_t kRate = 44100;

std::shared_ptr<const FormatDescription> audioFormat() {
    return FormatDescription::createAudio(platform::AudioStreamDescription::aac(kRate, 1), {0x12, 0x08});
}

std::shared_ptr<SampleBuffer> audioPacket(int64_t index, std::optional<MediaTime> trim = std::nullopt) {
    auto sample = SampleBuffer::createWithData(platform::BlockBuffer::createWithBytes(std::vector<uint8_t>(20, 0x21)),
                                               audioFormat(), 1,
                                               {MediaTime::make(1024, kRate), MediaTime::make(1024 * index, kRate), MediaTime::invalid()},
                                               {20});
    if (trim) sample->setAttachment(platform::kBufferAttachmentTrimDurationAtStart, *trim);
    return sample;
}

// Three real H.264 frames of 64x64, the first a key frame.
std::vector<std::shared_ptr<SampleBuffer>> videoFrames() {
    kntest::EncoderRig rig;
    rig.encoder->startEncodingWithResolutionHeight(64, 64);
    for (int i = 0; i < 3; ++i) {
        rig.encoder->encode(kntest::videoSample(kntest::makePatternFrame(64, 64, i), MediaTime::make(i, 30)));
        rig.delegate->waitForFrame(static_cast<size_t>(i) + 1);
    }
    rig.encoder->stopEncoding();
    kntest::drain(*rig.encoder);
    std::vector<std::shared_ptr<SampleBuffer>> frames;
    for (const auto& event : rig.delegate->events())
        if (event.buffer) frames.push_back(event.buffer);
    return frames;
}

struct Writer {
    explicit Writer(AssetFileType type, bool withVideo) {
        path = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("writer") + (withVideo ? ".mp4" : ".m4a");
        writer = AssetWriter::create(path, type);
        if (withVideo) {
            video = AssetWriterInput::create(FormatDescription::MediaType::Video,
                                             FormatDescription::createVideo(FormatDescription::kCodecH264, 64, 64));
            writer->addInput(video);
        }
        audio = AssetWriterInput::create(FormatDescription::MediaType::Audio, audioFormat());
        writer->addInput(audio);
        started = writer->startWriting();
    }
    AssetWriterStatus finish() {
        std::promise<void> done;
        writer->finishWritingWithCompletionHandler([&] { done.set_value(); });
        done.get_future().wait();
        return writer->status();
    }
    std::string path;
    std::shared_ptr<AssetWriter> writer;
    std::shared_ptr<AssetWriterInput> video, audio;
    bool started = false;
};

TEST(AssetWriter, AudioBeforeTheFirstVideoIsHeldForTheHeaderThenWritten) {
    Writer w(AssetFileType::MPEG4, true);
    ASSERT_TRUE(w.started);
    for (int64_t i = 0; i < 5; ++i) EXPECT_TRUE(w.audio->appendSampleBuffer(audioPacket(i)));
    for (const auto& frame : videoFrames()) EXPECT_TRUE(w.video->appendSampleBuffer(frame));
    ASSERT_EQ(w.finish(), AssetWriterStatus::Completed);
    const auto info = savertest::probe(w.path);
    std::vector<std::string> streams;
    for (const auto& s : info["streams"])
        streams.push_back(s.value("codec_name", "") + " " + s.value("nb_read_packets", "") + " " + s.value("start_time", ""));
    EXPECT_EQ(streams, (std::vector<std::string>{"h264 3 0.000000", "aac 5 0.000000"}));
}

TEST(AssetWriter, EarlyAudioIsHeldOnlyUpToItsBound) {
    Writer w(AssetFileType::MPEG4, true);
    int64_t held = 0;
    while (held < 1000 && w.audio->isReadyForMoreMediaData() && w.audio->appendSampleBuffer(audioPacket(held))) ++held;
    EXPECT_NEAR(static_cast<double>(held) * 1024 / kRate, AssetWriter::kMaxHeldMediaSeconds, 1024.0 / kRate);
    EXPECT_FALSE(w.audio->appendSampleBuffer(audioPacket(held)));
    EXPECT_EQ(w.writer->status(), AssetWriterStatus::Writing);
}

TEST(AssetWriter, ThePrimingTrimShortensTheAudioTrack) {
    const std::vector<std::pair<std::optional<MediaTime>, double>> rows = {
        {std::nullopt, 10 * 1024.0 / kRate},
        {MediaTime::make(2112, kRate), (10 * 1024.0 - 2112) / kRate},
        {MediaTime::make(kRate, kRate), 10 * 1024.0 / kRate},  // a second or more is no priming
    };
    for (const auto& [trim, duration] : rows) {
        Writer w(AssetFileType::AppleM4A, false);
        ASSERT_TRUE(w.started);
        for (int64_t i = 0; i < 10; ++i) EXPECT_TRUE(w.audio->appendSampleBuffer(audioPacket(i, i == 0 ? trim : std::nullopt)));
        ASSERT_EQ(w.finish(), AssetWriterStatus::Completed);
        const auto stream = savertest::probe(w.path)["streams"][0];
        // The edit list counts in the movie's milliseconds.
        EXPECT_NEAR(number(stream["duration"]), duration, 0.001) << (trim ? trim->value : -1);
        EXPECT_DOUBLE_EQ(number(stream["start_time"]), 0.0);
    }
}

TEST(AssetWriter, ATrackThatGotNoMediaIsLeftOutAndNoMediaAtAllFails) {
    Writer audioOnly(AssetFileType::MPEG4, true);
    EXPECT_TRUE(audioOnly.audio->appendSampleBuffer(audioPacket(0)));
    ASSERT_EQ(audioOnly.finish(), AssetWriterStatus::Completed);
    EXPECT_EQ(savertest::probe(audioOnly.path)["streams"].size(), 1u);

    Writer empty(AssetFileType::MPEG4, true);
    EXPECT_EQ(empty.finish(), AssetWriterStatus::Failed);
    EXPECT_FALSE(empty.audio->appendSampleBuffer(audioPacket(0)));
}

}  // namespace
