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

// Pulls both tracks in turn, as the file source does, until both have ended: video frames, audio frames.
std::pair<size_t, int64_t> pullAll(AssetReader& reader) {
    std::pair<size_t, int64_t> pulled{0, 0};
    bool videoDone = !reader.hasTrack(AssetTrack::Video);
    bool audioDone = !reader.hasTrack(AssetTrack::Audio);
    for (int guard = 0; guard < 100000 && !(videoDone && audioDone); ++guard) {
        if (!videoDone) {
            auto sample = reader.copyNextSampleBuffer(AssetTrack::Video);
            videoDone = sample == nullptr;
            pulled.first += sample != nullptr;
        }
        if (!audioDone) {
            auto sample = reader.copyNextSampleBuffer(AssetTrack::Audio);
            audioDone = sample == nullptr;
            if (sample) pulled.second += sample->numSamples();
        }
    }
    return pulled;
}

// Damaged or partial input ends in a refusal at creation or in a clean end of the reading.
TEST(AssetReader, DamagedInputIsRefusedOrEndsCleanly) {
    const auto fastStart = makeMediaFile(kDir, "faststart", {.extra = "-movflags +faststart"});
    const auto videoOnly = makeMediaFile(kDir, "video-only", {.audio = false});
    const auto audioOnly = makeMediaFile(kDir, "audio-only", {.video = false});
    ASSERT_FALSE(fastStart.empty() || videoOnly.empty() || audioOnly.empty());
    // The index comes first, so the cut falls in the media data.
    const std::string cut = kDir + "/cut.mp4";
    std::filesystem::copy_file(fastStart, cut);
    std::filesystem::resize_file(cut, std::filesystem::file_size(fastStart) / 2);
    const std::string text = kDir + "/notes.mp4";
    std::ofstream(text) << "These are plain words, not a movie.\n";

    struct Row {
        std::string name, path;
        bool opens;
        std::set<AssetReaderStatus> ends;
        size_t minVideo, maxVideo;
        int64_t minAudio, maxAudio;
    };
    const Row rows[] = {
        {"cut in half", cut, true, {AssetReaderStatus::Completed, AssetReaderStatus::Failed}, 1, 49, 1, 88200},
        {"no audio", videoOnly, true, {AssetReaderStatus::Completed}, 50, 50, 0, 0},
        {"no video", audioOnly, true, {AssetReaderStatus::Completed}, 0, 0, 87000, 89300},
        {"text named .mp4", text, false, {}, 0, 0, 0, 0},
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
        const auto [video, audio] = pullAll(*reader);
        EXPECT_TRUE(row.ends.contains(reader->status())) << static_cast<int>(reader->status());
        EXPECT_GE(video, row.minVideo);
        EXPECT_LE(video, row.maxVideo);
        EXPECT_GE(audio, row.minAudio);
        EXPECT_LE(audio, row.maxAudio);
        EXPECT_EQ(reader->copyNextSampleBuffer(AssetTrack::Video), nullptr);
    }
}

}  // namespace
