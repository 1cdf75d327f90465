// The real encoders through the saver into files that ffprobe and ffmpeg's decoder read.
#include <gtest/gtest.h>

#include <filesystem>

#include "encoding/LocalSaverTestSupport.h"

namespace {

using savertest::number;

struct Recording {
    std::string path;
    std::shared_ptr<KNError> error;
    nlohmann::json info;
};

// Starts the saver once the encoders have run `before` seconds, records `seconds` more, stops.
// `firstAudio` gets the encoder time of the first audio packet written.
Recording record(savertest::Rig& rig, double before, double seconds, double* firstAudio = nullptr) {
    std::shared_ptr<KNError> startError;
    EXPECT_TRUE(rig.startEncoders());
    EXPECT_TRUE(rig.feedSeconds(before));
    rig.settle();
    rig.saver->setSavingEnabledError(true, nullptr);
    rig.saver->startSavingStream([&](std::shared_ptr<KNError> e) { startError = e; });
    savertest::drain(*rig.saver);
    EXPECT_EQ(startError, nullptr);
    EXPECT_TRUE(rig.feedSeconds(seconds));
    rig.settle();
    if (firstAudio) *firstAudio = static_cast<double>(rig.saver->firstAudioPacketTimeValue()) / savertest::kSampleRate;
    const auto stop = savertest::stopAndWait(*rig.saver);
    rig.stopEncoders();
    Recording recording{stop.url ? stop.url->filePath().value_or("") : "", stop.error, {}};
    if (!recording.path.empty()) recording.info = savertest::probe(recording.path);
    return recording;
}

TEST(KNLocalSaverRecording, AudioAndVideoGiveAnMP4ThatStartsAtZeroAndDecodesCleanly) {
    savertest::Rig rig(320, 240);
    const auto recording = record(rig, 0, 3.0);
    ASSERT_EQ(recording.error, nullptr);
    EXPECT_EQ(std::filesystem::path(recording.path).extension(), ".mp4");
    const auto video = savertest::streamOfType(recording.info, "video");
    const auto audio = savertest::streamOfType(recording.info, "audio");
    EXPECT_EQ(video.value("codec_name", ""), "h264");
    EXPECT_EQ(video.value("profile", ""), "Main");
    EXPECT_EQ(video.value("width", 0), 320);
    EXPECT_EQ(video.value("height", 0), 240);
    EXPECT_EQ(audio.value("codec_name", ""), "aac");
    EXPECT_EQ(audio.value("profile", ""), "LC");
    EXPECT_DOUBLE_EQ(number(video["start_time"]), 0.0);
    EXPECT_DOUBLE_EQ(number(audio["start_time"]), 0.0);
    EXPECT_NEAR(number(video["duration"]), 3.0, 1.0 / savertest::kFps);
    const double packets = number(audio["nb_read_packets"]);
    const double delay = static_cast<double>(rig.saver->audioDecoderDelay());
    EXPECT_NEAR(number(audio["duration"]), (packets * 1024 - delay) / savertest::kSampleRate, 0.002);
    EXPECT_EQ(savertest::firstPacket(recording.path, "v").value("flags", "").substr(0, 1), "K");
    EXPECT_EQ(savertest::decodeErrors(recording.path), "");
}

TEST(KNLocalSaverRecording, AudioOnlyGivesAnM4A) {
    savertest::Rig rig;
    std::shared_ptr<KNError> error;
    rig.saver->setSavingAudioAndVideoError(true, false, &error);
    ASSERT_EQ(error, nullptr);
    const auto recording = record(rig, 0, 1.0);
    ASSERT_EQ(recording.error, nullptr);
    EXPECT_EQ(std::filesystem::path(recording.path).extension(), ".m4a");
    EXPECT_EQ(recording.info["format"]["tags"].value("major_brand", ""), "M4A ");
    EXPECT_EQ(recording.info["streams"].size(), 1u);
    EXPECT_EQ(savertest::decodeErrors(recording.path), "");
}

TEST(KNLocalSaverRecording, AStartInTheMiddleOfAGroupOpensOnTheNextKeyFrame) {
    savertest::Rig rig(320, 240, 45);  // key frames at 0, 1.5 s, 3 s
    double firstAudio = -1;
    const auto recording = record(rig, 1.0, 2.0, &firstAudio);
    ASSERT_EQ(recording.error, nullptr);
    const auto first = savertest::firstPacket(recording.path, "v");
    EXPECT_EQ(first.value("flags", "").substr(0, 1), "K");
    // Audio opens the file with the start (1 s in) and the key frame of 1.5 s joins it later:
    // what was captured together plays together, the picture starting late.
    ASSERT_GE(firstAudio, 1.0 - 2 * 1024.0 / savertest::kSampleRate);
    EXPECT_NEAR(number(first["pts_time"]), 1.5 - firstAudio, 0.001);
    EXPECT_DOUBLE_EQ(number(savertest::streamOfType(recording.info, "audio")["start_time"]), 0.0);
    EXPECT_NEAR(number(savertest::streamOfType(recording.info, "video")["duration"]), 1.5, 1.0 / savertest::kFps);
    EXPECT_EQ(savertest::decodeErrors(recording.path), "");
}

// Sound before the first picture waits for the file's header, up to its bound; the picture
// writes the header and the sound is taken again.
TEST(KNLocalSaverRecording, SoundBeforeTheFirstPictureIsHeldUpToItsBound) {
    savertest::Rig rig(320, 240);
    rig.saver->setSavingEnabledError(true, nullptr);
    ASSERT_TRUE(rig.startEncoders());
    rig.saver->startSavingStream({});
    savertest::drain(*rig.saver);
    const auto input = rig.saver->audioAssetWriterInput();
    ASSERT_TRUE(input);
    const double bound = platform::AssetWriter::kMaxHeldMediaSeconds;
    while (static_cast<double>(rig.audioChunks * savertest::kChunkFrames) < (bound + 1) * savertest::kSampleRate) {
        rig.feedAudioChunk();
    }
    rig.settle();
    EXPECT_FALSE(input->isReadyForMoreMediaData());
    ASSERT_TRUE(rig.feedFrame());
    rig.settle();
    EXPECT_TRUE(input->isReadyForMoreMediaData());
    const auto stop = savertest::stopAndWait(*rig.saver);
    rig.stopEncoders();
    ASSERT_TRUE(stop.url.has_value());
    const auto info = savertest::probe(stop.url->filePath().value_or(""));
    EXPECT_EQ(number(savertest::streamOfType(info, "video")["nb_read_packets"]), 1);
    EXPECT_GT(number(savertest::streamOfType(info, "audio")["nb_read_packets"]), bound * savertest::kSampleRate / 1024 - 2);
}

}  // namespace
