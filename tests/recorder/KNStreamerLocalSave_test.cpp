#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "kestrune/KNError.h"
#include "kestrune/KNStreamer.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"
#include "platform/Documents.h"
#include "platform/RunLoop.h"
#include "support/ScopedEnv.h"
#include "support/TestServer.h"
#include "support/VideoTestMedia.h"

namespace {

using namespace kntest;
namespace fs = std::filesystem;

class ErrorLog : public KNStreamerDelegate {
public:
    void streamerDidReceiveError(KNStreamer*, const std::shared_ptr<KNError>& error) override {
        std::lock_guard lock(mutex_);
        errors_.push_back(error->description());
    }
    std::vector<std::string> errors() {
        std::lock_guard lock(mutex_);
        return errors_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> errors_;
};

int countFrames(const std::string& file) {
    const auto result = runCommand({"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                                    "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", file});
    return result.exitCode == 0 ? std::atoi(result.output.c_str()) : -1;
}

TEST(KNStreamerLocalSave, TheStopFinishesTheEncodersBeforeTheFileSoTheLastFramesAreKept) {
    const std::string documents = std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("streamer-documents");
    ScopedEnv env("KESTRUNE_DOCUMENTS", documents);
    auto streamer = KNStreamer::create();
    auto errors = std::make_shared<ErrorLog>();
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
        for (const auto& entry : fs::directory_iterator(documents)) {
            if (entry.path().extension() == ".mp4" && countFrames(entry.path()) > 0) file = entry.path();
        }
        return !file.empty();
    };
    ASSERT_TRUE(waitFor(finished, 20s)) << ::testing::PrintToString(errors->errors());
    EXPECT_EQ(countFrames(file), kFrames);
    EXPECT_EQ(errors->errors(), std::vector<std::string>{});
}

TEST(KNStreamerLocalSave, AStopWithoutAudioEverSentReportsTheSaverNeverRan) {
    const std::string documents = std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("streamer-documents");
    ScopedEnv env("KESTRUNE_DOCUMENTS", documents);
    auto streamer = KNStreamer::create();
    auto errors = std::make_shared<ErrorLog>();
    streamer->setDelegate(errors);
    ASSERT_TRUE(streamer->settings()->setLocalSaveWithError(true));
    streamer->startStreamingWithCompletion();
    streamer->stopStreaming();
    ASSERT_TRUE(waitFor([&] { return !errors->errors().empty(); }, 10s));
    EXPECT_EQ(errors->errors(), std::vector<std::string>{"Local saver not running -> [LocalSaveFailure]"});
}

}  // namespace
