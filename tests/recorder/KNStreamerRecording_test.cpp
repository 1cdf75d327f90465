// The push road's local recording: the audio track, one saver start, what the stop reports.
#include <gtest/gtest.h>

#include "encoding/KNLocalSaver.h"
#include "encoding/LocalSaverTestSupport.h"
#include "recorder/StreamerTestSupport.h"

namespace {

using namespace kntest;

// Waiting for the encoder's configuration (sendingAudio on) and starting at once (off) both give
// a file whose sound decodes; neither reports a second start.
TEST(KNStreamerRecording, EveryRecordingHoldsDecodableSoundAndNoSpuriousReport) {
    for (const bool sendingAudio : {true, false}) {
        SCOPED_TRACE(sendingAudio ? "sendingAudio on" : "sendingAudio off");
        StreamerRecordingRig rig;
        rig.streamer->audioSettings()->setSendingAudioWithError(sendingAudio);
        rig.streamer->startStreamingWithCompletion();
        rig.feed(45);
        rig.streamer->stopStreaming();
        const auto file = rig.waitForFile();
        ASSERT_FALSE(file.empty()) << ::testing::PrintToString(rig.reports->errors());
        const auto info = savertest::probe(file);
        const auto audio = savertest::streamOfType(info, "audio");
        EXPECT_EQ(audio.value("codec_name", ""), "aac");
        EXPECT_EQ(audio.value("sample_rate", ""), "48000");
        EXPECT_EQ(audio.value("channels", 0), 1);
        EXPECT_GT(savertest::number(audio["nb_read_packets"]), 40);
        EXPECT_EQ(savertest::streamOfType(info, "video").value("width", 0), StreamerRecordingRig::kWidth);
        EXPECT_EQ(savertest::decodeErrors(file), "");
        EXPECT_EQ(rig.reports->errors(), std::vector<std::string>{});
    }
}

TEST(KNStreamerRecording, WhenNoAudioEverComesTheStopReportsTheSaverNeverRan) {
    StreamerRecordingRig rig;
    rig.streamer->startStreamingWithCompletion();
    rig.feed(10, false);
    rig.streamer->stopStreaming();
    ASSERT_TRUE(waitFor([&] { return !rig.reports->errors().empty(); }, 10s));
    const auto errors = rig.reports->errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors.front().find("Local saver not running"), std::string::npos) << errors.front();
    const bool named = errors.front().find("90001") != std::string::npos || errors.front().find("LocalSave") != std::string::npos;
    EXPECT_TRUE(named) << errors.front();
}

// Audio and pictures handed over on one timeline play together in the file, whichever track the
// recording opens with: the later one starts late by as much as it was captured later.
TEST(KNStreamerRecording, SoundAndPictureOfOneInstantPlayTogether) {
    StreamerRecordingRig rig;
    rig.streamer->startStreamingWithCompletion();
    rig.feed(60);
    // The times, from the start of the feed, of the first picture and sound the file took.
    const auto saver = localSaverOf(*rig.streamer);
    ASSERT_TRUE(waitFor([&] { return saver->firstVideoPacketTimeValue() >= 0 && saver->firstAudioPacketTimeValue() >= 0; }, 10s));
    const double firstVideo = static_cast<double>(saver->firstVideoPacketTimeValue()) / StreamerRecordingRig::kFps;
    const double firstAudio = static_cast<double>(saver->firstAudioPacketTimeValue()) / StreamerRecordingRig::kSampleRate;
    rig.streamer->stopStreaming();
    const auto file = rig.waitForFile();
    ASSERT_FALSE(file.empty()) << ::testing::PrintToString(rig.reports->errors());
    const auto info = savertest::probe(file);
    const double video = savertest::number(savertest::streamOfType(info, "video")["start_time"]);
    const double audio = savertest::number(savertest::streamOfType(info, "audio")["start_time"]);
    EXPECT_NEAR(video - audio, firstVideo - firstAudio, 1024.0 / StreamerRecordingRig::kSampleRate);
}

// A start right behind a stop, before that file is finished: each session gets its file, and no
// start is refused as one already running.
TEST(KNStreamerRecording, ARestartRightAfterAStopRecordsBothSessions) {
    StreamerRecordingRig rig;
    rig.streamer->audioSettings()->setSendingAudioWithError(false);
    for (int session = 0; session < 2; ++session) {
        rig.streamer->startStreamingWithCompletion();
        rig.feed(20, false);
        rig.streamer->stopStreaming();
    }
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    ASSERT_TRUE(waitFor(
        [&] {
            files.clear();
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(rig.photos, ec)) {
                if (entry.path().extension() == ".mp4" && savertest::decodeErrors(entry.path()) == "") files.push_back(entry.path());
            }
            return files.size() == 2;
        },
        20s))
        << ::testing::PrintToString(rig.reports->errors());
    EXPECT_EQ(rig.reports->errors(), std::vector<std::string>{});
}

}  // namespace
