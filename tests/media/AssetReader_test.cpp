#include "platform/media/AssetReader.h"

#include <gtest/gtest.h>

#include <cmath>
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

// Pulls whichever track is behind in time, as a paced reader does, until both have ended.
void pullInStep(AssetReader& reader) {
    double times[2] = {reader.hasTrack(AssetTrack::Video) ? 0 : INFINITY, reader.hasTrack(AssetTrack::Audio) ? 0 : INFINITY};
    while (std::isfinite(times[0]) || std::isfinite(times[1])) {
        const int which = times[0] <= times[1] ? 0 : 1;
        auto sample = reader.copyNextSampleBuffer(which == 0 ? AssetTrack::Video : AssetTrack::Audio);
        times[which] = sample ? sample->presentationTimeStamp().seconds() : INFINITY;
    }
}

// Damaged, partial or foreign input ends in a refusal at creation or in an end that says so.
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
    const std::string sixty = kDir + "/sixty.mp4";
    std::filesystem::copy_file(fastStart, sixty);
    std::filesystem::resize_file(sixty, std::filesystem::file_size(fastStart) * 6 / 10);
    // Lists that name other files or addresses: opening them would read what the host never named.
    const std::string concat = kDir + "/list.mp4";
    std::ofstream(concat) << "ffconcat version 1.0\nfile 'video-only.mp4'\n";
    const std::string playlist = kDir + "/playlist.m3u8";
    std::ofstream(playlist) << "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2.0,\n" << videoOnly
                            << "\n#EXTINF:2.0,\nhttp://192.0.2.1/segment.ts\n#EXT-X-ENDLIST\n";

    struct Row {
        std::string name, path;
        bool opens;
        std::set<AssetReaderStatus> ends;
        size_t minVideo, maxVideo;
        int64_t minAudio, maxAudio;
    };
    const Row rows[] = {
        // The index promises what the file no longer holds: the reading fails rather than completes.
        {"cut in half", cut, true, {AssetReaderStatus::Failed}, 1, 49, 1, 88200},
        {"cut at 60%", sixty, true, {AssetReaderStatus::Failed}, 1, 49, 1, 88200},
        {"no audio", videoOnly, true, {AssetReaderStatus::Completed}, 50, 50, 0, 0},
        {"no video", audioOnly, true, {AssetReaderStatus::Completed}, 0, 0, 87000, 89300},
        {"text named .mp4", text, false, {}, 0, 0, 0, 0},
        {"concat list naming a movie", concat, false, {}, 0, 0, 0, 0},
        {"playlist naming a movie and an address", playlist, false, {}, 0, 0, 0, 0},
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

// Packets wait for the other track only until it takes them: a long file pulled in step never
// holds more than its interleaving, far below a quarter of the file.
TEST(AssetReader, HeldPacketsAreGivenBackAsTheyAreTaken) {
    const auto path = makeMediaFile(kDir, "long", {.seconds = 30, .width = 640, .height = 360});
    ASSERT_FALSE(path.empty());
    auto reader = AssetReader::create(path);
    ASSERT_TRUE(reader);
    reader->setMaxQueuedBytes(std::filesystem::file_size(path) / 4);
    ASSERT_TRUE(reader->startReading());
    pullInStep(*reader);
    EXPECT_EQ(reader->status(), AssetReaderStatus::Completed);
}

}  // namespace
