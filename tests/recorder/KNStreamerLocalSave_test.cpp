#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "kestrune/KNError.h"
#include "kestrune/KNMediaFetcher.h"
#include "kestrune/KNStreamer.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"
#include "platform/RunLoop.h"
#include "recorder/StreamerTestSupport.h"
#include "support/ScopedEnv.h"
#include "support/TestServer.h"
#include "support/VideoTestMedia.h"

namespace {

using namespace kntest;
namespace fs = std::filesystem;

int countFrames(const std::string& file) {
    const auto result = runCommand({"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                                    "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", file});
    return result.exitCode == 0 ? std::atoi(result.output.c_str()) : -1;
}

TEST(KNStreamerLocalSave, TheLastFramesReachTheFileWhichEndsInThePhotoLibraryWhereTheFetcherListsIt) {
    const std::string documents = std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("streamer-documents");
    const std::string photos = std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("streamer-photos");
    ScopedEnv env("KESTRUNE_DOCUMENTS", documents);
    ScopedEnv library("KESTRUNE_PHOTO_LIBRARY", photos);
    auto streamer = KNStreamer::create();
    auto errors = std::make_shared<StreamerReports>();
    streamer->setDelegate(errors);
    ASSERT_TRUE(streamer->videoSettings()->setResolutionWithError(KNVideoFrameResolution640x360));
    ASSERT_TRUE(streamer->settings()->setLocalSaveWithError(true));
    // Without audio the recording starts with the stream, so every frame belongs in the file.
    ASSERT_TRUE(streamer->audioSettings()->setSendingAudioWithError(false));
    streamer->startStreamingWithCompletion();
    constexpr int kFrames = 45;
    // At the frames' pace, as a real-time encoder expects; the stop follows the last one at once.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kFrames; ++i) {
        const auto due = start + std::chrono::milliseconds(i * 1000 / 30);
        platform::RunLoop::main().runUntil([&] { return std::chrono::steady_clock::now() >= due; }, 1s);
        streamer->sendVideoBuffer(videoSample(makePatternFrame(640, 360, i), platform::MediaTime::make(i, 30)));
    }
    streamer->stopStreaming();
    std::string file;
    const auto finished = [&] {
        if (!fs::exists(photos)) return false;
        for (const auto& entry : fs::directory_iterator(photos)) {
            if (entry.path().extension() == ".mp4" && countFrames(entry.path()) > 0) file = entry.path();
        }
        return !file.empty();
    };
    ASSERT_TRUE(waitFor(finished, 20s)) << ::testing::PrintToString(errors->errors());
    EXPECT_EQ(countFrames(file), kFrames);
    EXPECT_EQ(errors->errors(), std::vector<std::string>{});

    std::promise<std::vector<std::shared_ptr<KNMovie>>> listed;
    KNMediaFetcher::create()->getMediaMoviesWithCompletionBlock([&](auto movies, std::shared_ptr<KNError>) {
        listed.set_value(movies.value_or(std::vector<std::shared_ptr<KNMovie>>{}));
    });
    auto answer = listed.get_future();
    ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
    const auto movies = answer.get();
    ASSERT_EQ(movies.size(), 1u);
    EXPECT_EQ(movies.front()->url()->filePath(), file);
}

}  // namespace
