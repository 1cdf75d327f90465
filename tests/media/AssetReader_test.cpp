#include "platform/media/AssetReader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/MediaFiles.h"

namespace {

using namespace kntest;
using platform::AssetReader;
using platform::AssetReaderStatus;
using platform::AssetTrack;

const std::string kDir = std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("asset-reader");

struct Pulled {
    size_t videoFrames = 0;
    int64_t audioFrames = 0;
    bool timesRise = true;
};

// Pulls both tracks in turn, as the file source does, until both have ended.
Pulled pullAll(AssetReader& reader) {
    Pulled pulled;
    double lastVideo = -1e9;
    double lastAudio = -1e9;
    bool videoDone = !reader.hasTrack(AssetTrack::Video);
    bool audioDone = !reader.hasTrack(AssetTrack::Audio);
    for (int guard = 0; guard < 100000 && !(videoDone && audioDone); ++guard) {
        if (!videoDone) {
            auto sample = reader.copyNextSampleBuffer(AssetTrack::Video);
            videoDone = sample == nullptr;
            if (sample) {
                ++pulled.videoFrames;
                pulled.timesRise = pulled.timesRise && sample->presentationTimeStamp().seconds() > lastVideo;
                lastVideo = sample->presentationTimeStamp().seconds();
            }
        }
        if (!audioDone) {
            auto sample = reader.copyNextSampleBuffer(AssetTrack::Audio);
            audioDone = sample == nullptr;
            if (sample) {
                pulled.audioFrames += sample->numSamples();
                pulled.timesRise = pulled.timesRise && sample->presentationTimeStamp().seconds() > lastAudio;
                lastAudio = sample->presentationTimeStamp().seconds();
            }
        }
    }
    return pulled;
}

std::string truncatedCopy(const std::string& path, const std::string& name, double keep) {
    const std::string out = kDir + "/" + name;
    const auto size = std::filesystem::file_size(path);
    std::filesystem::copy_file(path, out, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(out, static_cast<uintmax_t>(static_cast<double>(size) * keep));
    return out;
}

TEST(AssetReader, DecodesBothTracksAsNV12AndInterleavedPCMWithRisingTimes) {
    const auto path = makeMediaFile(kDir, "stereo48k", {.seconds = 2, .sampleRate = 48000, .channels = 2});
    ASSERT_FALSE(path.empty());
    auto reader = AssetReader::create(path);
    ASSERT_TRUE(reader);
    EXPECT_DOUBLE_EQ(reader->nominalFrameRate(), 25.0);
    ASSERT_TRUE(reader->startReading());
    auto first = reader->copyNextSampleBuffer(AssetTrack::Video);
    ASSERT_TRUE(first && first->imageBuffer());
    EXPECT_EQ(first->imageBuffer()->pixelFormat(), platform::PixelFormat::NV12VideoRange);
    EXPECT_EQ(first->imageBuffer()->width(), 320);
    EXPECT_EQ(first->imageBuffer()->height(), 240);
    auto audio = reader->copyNextSampleBuffer(AssetTrack::Audio);
    ASSERT_TRUE(audio && audio->formatDescription());
    EXPECT_EQ(*audio->formatDescription()->audioStreamDescription(), platform::AudioStreamDescription::pcmInt16(48000, 2));
    const Pulled rest = pullAll(*reader);
    EXPECT_EQ(rest.videoFrames + 1, 50u);
    // The encoder's priming is trimmed by the decoder; what is left is the two seconds, within a packet.
    EXPECT_NEAR(static_cast<double>(rest.audioFrames + audio->numSamples()), 96000.0, 1024.0);
    EXPECT_TRUE(rest.timesRise);
    EXPECT_EQ(reader->status(), AssetReaderStatus::Completed);
}

// Damaged or partial input ends in a refusal at creation or in a clean end of the reading.
TEST(AssetReader, DamagedInputIsRefusedOrEndsCleanly) {
    const auto full = makeMediaFile(kDir, "full", {});
    const auto fastStart = makeMediaFile(kDir, "faststart", {.extra = "-movflags +faststart"});
    const auto videoOnly = makeMediaFile(kDir, "video-only", {.audio = false});
    const auto audioOnly = makeMediaFile(kDir, "audio-only", {.video = false});
    ASSERT_FALSE(full.empty() || fastStart.empty() || videoOnly.empty() || audioOnly.empty());
    const std::string text = kDir + "/notes.mp4";
    std::ofstream(text) << "These are plain words, not a movie.\n";
    const std::string empty = kDir + "/empty.mp4";
    std::ofstream{empty};

    struct Row {
        std::string name, path;
        bool opens;
        std::set<AssetReaderStatus> ends;
        size_t minVideo, maxVideo;
        int64_t minAudio, maxAudio;
    };
    const std::set<AssetReaderStatus> cleanEnds{AssetReaderStatus::Completed, AssetReaderStatus::Failed};
    const Row rows[] = {
        {"index at the end, cut in half", truncatedCopy(full, "cut-index.mp4", 0.5), false, {}, 0, 0, 0, 0},
        {"index first, cut in half", truncatedCopy(fastStart, "cut-data.mp4", 0.5), true, cleanEnds, 1, 49, 1, 88200},
        {"no audio", videoOnly, true, {AssetReaderStatus::Completed}, 50, 50, 0, 0},
        {"no video", audioOnly, true, {AssetReaderStatus::Completed}, 0, 0, 87000, 89300},
        {"text named .mp4", text, false, {}, 0, 0, 0, 0},
        {"empty file", empty, false, {}, 0, 0, 0, 0},
        {"missing file", kDir + "/absent.mp4", false, {}, 0, 0, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string error;
        auto reader = AssetReader::create(row.path, &error);
        ASSERT_EQ(reader != nullptr, row.opens) << error;
        if (!reader) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        ASSERT_TRUE(reader->startReading());
        const Pulled pulled = pullAll(*reader);
        EXPECT_TRUE(row.ends.contains(reader->status())) << static_cast<int>(reader->status());
        EXPECT_GE(pulled.videoFrames, row.minVideo);
        EXPECT_LE(pulled.videoFrames, row.maxVideo);
        EXPECT_GE(pulled.audioFrames, row.minAudio);
        EXPECT_LE(pulled.audioFrames, row.maxAudio);
        EXPECT_EQ(reader->copyNextSampleBuffer(AssetTrack::Video), nullptr);
    }
}

TEST(AssetReader, PacketsOfAnUnpulledTrackPastTheBoundFailTheReader) {
    const auto path = makeMediaFile(kDir, "bound", {});
    ASSERT_FALSE(path.empty());
    auto reader = AssetReader::create(path);
    ASSERT_TRUE(reader);
    reader->setMaxQueuedBytes(4096);
    ASSERT_TRUE(reader->startReading());
    size_t frames = 0;
    while (frames < 100 && reader->copyNextSampleBuffer(AssetTrack::Video)) ++frames;
    EXPECT_LT(frames, 50u);
    EXPECT_EQ(reader->status(), AssetReaderStatus::Failed);
    EXPECT_EQ(reader->copyNextSampleBuffer(AssetTrack::Audio), nullptr);
}

TEST(AssetReader, CancelFromAnotherThreadEndsBothTracks) {
    const auto path = makeMediaFile(kDir, "cancel", {});
    ASSERT_FALSE(path.empty());
    auto reader = AssetReader::create(path);
    ASSERT_TRUE(reader);
    ASSERT_TRUE(reader->startReading());
    ASSERT_TRUE(reader->copyNextSampleBuffer(AssetTrack::Video));
    std::thread([&] { reader->cancelReading(); }).join();
    EXPECT_EQ(reader->status(), AssetReaderStatus::Cancelled);
    EXPECT_EQ(reader->copyNextSampleBuffer(AssetTrack::Video), nullptr);
    EXPECT_EQ(reader->copyNextSampleBuffer(AssetTrack::Audio), nullptr);
    EXPECT_FALSE(reader->startReading());
}

}  // namespace
