// The saver's switches and refusals on synthetic packets; its recording names.
#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <set>

#include "core/KNUtils.h"
#include "encoding/LocalSaverTestSupport.h"
#include "platform/Documents.h"
#include "support/ScopedEnv.h"

namespace {

namespace fs = std::filesystem;
using platform::MediaTime;
using savertest::describe;

// An audio-only saver (its file's header is written at the start), enabled.
std::shared_ptr<KNLocalSaver> audioSaver(KNLocalSaver::Platform platform = KNLocalSaver::Platform::system()) {
    auto saver = KNLocalSaver::create(std::move(platform));
    saver->setFilename(kntest::uniqueName("saver"));
    saver->setAudioSampleRate(44100);
    saver->setMagicCookie(std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{0x12, 0x08}));
    saver->setSavingAudioAndVideoError(true, false, nullptr);
    saver->setSavingEnabledError(true, nullptr);
    return saver;
}

std::shared_ptr<KNError> startAndWait(KNLocalSaver& saver) {
    std::shared_ptr<KNError> error;
    saver.startSavingStream([&](std::shared_ptr<KNError> e) { error = e; });
    savertest::drain(saver);
    return error;
}

std::shared_ptr<KNError> switchTracks(KNLocalSaver& saver, bool audio, bool video) {
    std::shared_ptr<KNError> error;
    saver.setSavingAudioAndVideoError(audio, video, &error);
    return error;
}

struct Refusal {
    std::string name;
    std::function<void(KNLocalSaver&)> prepare;
    std::function<std::shared_ptr<KNError>(KNLocalSaver&)> act;
    std::string expected;
    KNLocalSaver::Platform platform = KNLocalSaver::Platform::system();
};

TEST(KNLocalSaver, RefusalsCarryTheirCodeAndMessage) {
    const auto start = [](KNLocalSaver& saver) { EXPECT_EQ(startAndWait(saver), nullptr); };
    const auto nothing = [](KNLocalSaver&) {};
    const KNLocalSaver::Platform noWriter{[](const std::string&, platform::AssetFileType) { return nullptr; }};
    const std::vector<Refusal> rows = {
        {"video of no size", [](KNLocalSaver& s) { s.setSavingAudioAndVideoError(true, true, nullptr); },
         startAndWait, "110000 Resolution not supported for local saving"},
        {"no AAC rate", [](KNLocalSaver& s) { s.setAudioSampleRate(45000); },
         startAndWait, "110001 Failed to get format description with given sample rate"},
        {"no writer", nothing, startAndWait, "110002 Failed to create file", noWriter},
        {"start while writing", start, startAndWait, "110003 Local saver already started"},
        {"stop while idle", nothing, [](KNLocalSaver& s) { return savertest::stopAndWait(s).error; },
         "110003 Local saver not running"},
        {"enable switch while writing", start,
         [](KNLocalSaver& s) {
             std::shared_ptr<KNError> error;
             s.setSavingEnabledError(false, &error);
             return error;
         },
         "110004 Cannot enable/disable local saving while already started"},
        {"track switch while writing", start, [](KNLocalSaver& s) { return switchTracks(s, true, true); },
         "110004 Cannot enable/disable audio/video while already started"},
        {"both tracks off", nothing, [](KNLocalSaver& s) { return switchTracks(s, false, false); },
         "110006 Cannot disable both audio and video. Disable saving insead."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto saver = audioSaver(row.platform);
        row.prepare(*saver);
        const bool audio = saver->savingAudio();
        const bool video = saver->savingVideo();
        EXPECT_EQ(describe(row.act(*saver)), row.expected);
        EXPECT_EQ(saver->savingAudio(), audio);
        EXPECT_EQ(saver->savingVideo(), video);
        EXPECT_TRUE(saver->savingEnabled());
    }
}

TEST(KNLocalSaver, TwoRecordingsWithinOneSecondKeepBothFiles) {
    auto saver = audioSaver();
    std::vector<std::string> paths;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(startAndWait(*saver), nullptr);
        const auto bytes = std::make_shared<const std::vector<uint8_t>>(12, 4);
        saver->writeEncodedAudioDurationPresentationTime(bytes, MediaTime::make(1024, 44100), MediaTime::make(0, 44100));
        const auto stop = savertest::stopAndWait(*saver);
        ASSERT_TRUE(stop.url.has_value());
        paths.push_back(stop.url->filePath().value_or(""));
    }
    const auto base = platform::documentsDirectory() + "/" + saver->filename();
    EXPECT_EQ(paths, (std::vector<std::string>{base + ".m4a", base + " (2).m4a"}));
    EXPECT_TRUE(fs::exists(paths[0]));
    EXPECT_TRUE(fs::exists(paths[1]));
}

// Savers that choose one name in the same instant, and a link planted at the name: each
// recording gets a file of its own, and nothing the link points at is touched.
TEST(KNLocalSaver, ARecordingNameIsTakenExclusivelyAndNeverThroughALink) {
    std::vector<std::shared_ptr<KNLocalSaver>> savers;
    for (int i = 0; i < 4; ++i) savers.push_back(audioSaver());
    for (auto& saver : savers) saver->setFilename(savers.front()->filename());
    const auto base = platform::documentsDirectory() + "/" + savers.front()->filename();
    const std::string victim = platform::documentsDirectory() + "/" + kntest::uniqueName("victim");
    { std::ofstream(victim) << "keep me"; }
    fs::create_symlink(victim, base + ".m4a");
    for (auto& saver : savers) saver->startSavingStream({});
    std::set<std::string> paths;
    for (auto& saver : savers) {
        savertest::drain(*saver);
        const auto bytes = std::make_shared<const std::vector<uint8_t>>(12, 4);
        saver->writeEncodedAudioDurationPresentationTime(bytes, MediaTime::make(1024, 44100), MediaTime::make(0, 44100));
        const auto stop = savertest::stopAndWait(*saver);
        ASSERT_TRUE(stop.url.has_value()) << describe(stop.error);
        paths.insert(stop.url->filePath().value_or(""));
    }
    EXPECT_EQ(paths, (std::set<std::string>{base + " (2).m4a", base + " (3).m4a", base + " (4).m4a", base + " (5).m4a"}));
    std::string kept;
    std::getline(std::ifstream(victim), kept);
    EXPECT_EQ(kept, "keep me");
    EXPECT_TRUE(fs::is_symlink(base + ".m4a"));
}

TEST(KNLocalSaver, TheRecordingNameIsUTCWhateverTheZoneAndLocale) {
    kntest::ScopedEnv zone("TZ", "Asia/Tokyo");
    tzset();
    const std::string oldLocale = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "de_DE.UTF-8");
    EXPECT_EQ(KNUtils::nameForLocalFileAtTime(1803891903), "Stream rec 1-03-2027-09:05:03");
    const std::time_t before = std::time(nullptr);
    const std::string now = KNUtils::utils()->nameForLocalFile();
    EXPECT_TRUE(now == KNUtils::nameForLocalFileAtTime(before) || now == KNUtils::nameForLocalFileAtTime(before + 1)) << now;
    std::setlocale(LC_ALL, oldLocale.c_str());
}

}  // namespace
