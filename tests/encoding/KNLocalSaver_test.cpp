// The saver's switches, refusals and write reports, on synthetic packets; its recording names.
#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <fstream>

#include "core/KNUtils.h"
#include "encoding/LocalSaverTestSupport.h"
#include "platform/Documents.h"
#include "support/ScopedEnv.h"

namespace {

namespace fs = std::filesystem;
using platform::MediaTime;

const KNLocalSaver::Bytes kCookie = std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{0x12, 0x08});

KNLocalSaver::Bytes packet(uint8_t fill, size_t sizeBytes = 12) {
    return std::make_shared<const std::vector<uint8_t>>(sizeBytes, fill);
}

// An audio-only saver (its file's header is written at the start), enabled.
std::shared_ptr<KNLocalSaver> audioSaver(std::shared_ptr<savertest::SaverDelegate> delegate,
                                         KNLocalSaver::Platform platform = KNLocalSaver::Platform::system()) {
    auto saver = KNLocalSaver::create(std::move(platform));
    saver->setDelegate(delegate);
    saver->setFilename(kntest::uniqueName("saver"));
    saver->setAudioSampleRate(44100);
    saver->setMagicCookie(kCookie);
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

std::string describe(const std::shared_ptr<KNError>& error) {
    if (!error) return "none";
    return std::to_string(error->errorCodes().at(0)) + " " + error->message().value_or("");
}

// Fails every write once `limitBytes` have been written; writes through to a real file before.
struct FailingSink : platform::AssetByteSink {
    explicit FailingSink(const std::string& path) : file(path, std::ios::binary) {}
    bool write(const uint8_t* data, size_t size) override {
        if (written + size > limit) return false;
        written += size;
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return file.good();
    }
    bool seek(int64_t offset) override {
        file.seekp(offset);
        return file.good();
    }
    bool close() override {
        file.close();
        return true;
    }
    std::ofstream file;
    std::atomic<size_t> limit{SIZE_MAX};
    std::atomic<size_t> written{0};
};

struct Refusal {
    std::string name;
    std::function<void(KNLocalSaver&)> prepare;
    std::function<std::shared_ptr<KNError>(KNLocalSaver&)> act;
    std::string expected;
};

std::shared_ptr<KNError> switchEnabled(KNLocalSaver& saver) {
    std::shared_ptr<KNError> error;
    saver.setSavingEnabledError(false, &error);
    return error;
}

std::shared_ptr<KNError> switchTracks(KNLocalSaver& saver, bool audio, bool video) {
    std::shared_ptr<KNError> error;
    saver.setSavingAudioAndVideoError(audio, video, &error);
    return error;
}

TEST(KNLocalSaver, RefusalsCarryTheirCodeAndMessage) {
    const auto start = [](KNLocalSaver& saver) { EXPECT_EQ(startAndWait(saver), nullptr); };
    const auto nothing = [](KNLocalSaver&) {};
    const std::vector<Refusal> rows = {
        {"video of no size", [](KNLocalSaver& s) { s.setSavingAudioAndVideoError(true, true, nullptr); },
         startAndWait, "110000 Resolution not supported for local saving"},
        {"video too large",
         [](KNLocalSaver& s) {
             s.setSavingAudioAndVideoError(false, true, nullptr);
             s.setVideoWidthHeight(20000, 720);
         },
         startAndWait, "110000 Resolution not supported for local saving"},
        {"no AAC rate", [](KNLocalSaver& s) { s.setAudioSampleRate(45000); },
         startAndWait, "110001 Failed to get format description with given sample rate"},
        {"start while writing", start, startAndWait, "110003 Local saver already started"},
        {"stop while idle", nothing, [](KNLocalSaver& s) { return savertest::stopAndWait(s).error; },
         "110003 Local saver not running"},
        {"enable switch while writing", start, switchEnabled,
         "110004 Cannot enable/disable local saving while already started"},
        {"track switch while writing", start, [](KNLocalSaver& s) { return switchTracks(s, true, true); },
         "110004 Cannot enable/disable audio/video while already started"},
        {"both tracks off", nothing, [](KNLocalSaver& s) { return switchTracks(s, false, false); },
         "110006 Cannot disable both audio and video. Disable saving insead."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto saver = audioSaver(std::make_shared<savertest::SaverDelegate>());
        row.prepare(*saver);
        const bool audio = saver->savingAudio();
        const bool video = saver->savingVideo();
        EXPECT_EQ(describe(row.act(*saver)), row.expected);
        EXPECT_EQ(saver->savingAudio(), audio);
        EXPECT_EQ(saver->savingVideo(), video);
        EXPECT_TRUE(saver->savingEnabled());
    }
}

TEST(KNLocalSaver, AWriterThatCantBeMadeOrStartedFailsTheStart) {
    const auto missingFolder = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("gone");
    const std::vector<std::pair<KNLocalSaver::Platform, std::string>> rows = {
        {{[](const std::string&, platform::AssetFileType) { return nullptr; }}, "110002 Failed to create file"},
        {{[&](const std::string&, platform::AssetFileType type) {
              fs::create_directories(missingFolder);
              auto writer = platform::AssetWriter::create(missingFolder + "/x.m4a", type);
              fs::remove_all(missingFolder);  // gone before the file is opened
              return writer;
          }},
         "110003 Failed to start writing stream in locally"},
    };
    for (const auto& [platform, expected] : rows) {
        auto saver = audioSaver(std::make_shared<savertest::SaverDelegate>(), platform);
        EXPECT_EQ(describe(startAndWait(*saver)), expected);
        EXPECT_FALSE(saver->started());
    }
}

TEST(KNLocalSaver, WhileDisabledNothingIsStartedStoppedOrWritten) {
    auto delegate = std::make_shared<savertest::SaverDelegate>();
    auto saver = audioSaver(delegate);
    saver->setSavingEnabledError(false, nullptr);
    std::atomic<int> calls{0};
    saver->startSavingStream([&](std::shared_ptr<KNError>) { ++calls; });
    saver->writeEncodedAudioDurationPresentationTime(packet(1), MediaTime::make(1024, 44100), MediaTime::make(0, 44100));
    saver->stopSavingStream([&](std::optional<platform::URL>, std::shared_ptr<KNError>) { ++calls; });
    savertest::drain(*saver);
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(saver->fileAssetWriter(), nullptr);
    EXPECT_TRUE(delegate->calls().empty());
}

TEST(KNLocalSaver, AFailedVideoWriteIsStillReportedAsWrittenAFailedAudioWriteIsNot) {
    auto delegate = std::make_shared<savertest::SaverDelegate>();
    auto saver = audioSaver(delegate);
    saver->setSavingAudioAndVideoError(true, true, nullptr);
    saver->setVideoWidthHeight(64, 64);
    ASSERT_EQ(startAndWait(*saver), nullptr);
    // A key frame whose format brings no parameter sets can't open the video track.
    auto format = platform::FormatDescription::createVideo(platform::FormatDescription::kCodecH264, 64, 64);
    auto frame = platform::SampleBuffer::createWithData(platform::BlockBuffer::createWithBytes({0, 0, 0, 1, 0x65}), format, 1,
                                                        {MediaTime::make(1, 30), MediaTime::make(0, 30), MediaTime::invalid()});
    saver->writeEncodedVideo(frame);
    savertest::drain(*saver);
    EXPECT_EQ(delegate->calls(), (std::vector<std::string>{"video failed: Failed to append data", "video"}));

    auto audioDelegate = std::make_shared<savertest::SaverDelegate>();
    auto audio = audioSaver(audioDelegate);
    ASSERT_EQ(startAndWait(*audio), nullptr);
    for (const int64_t pts : {0, 1024, 1024})  // the same time twice: the file can't take the second
        audio->writeEncodedAudioDurationPresentationTime(packet(2), MediaTime::make(1024, 44100), MediaTime::make(pts, 44100));
    savertest::drain(*audio);
    EXPECT_EQ(audioDelegate->calls(), (std::vector<std::string>{"audio", "audio", "audio failed: Failed to append audio sample"}));
    EXPECT_EQ(savertest::stopAndWait(*audio).error, nullptr);
}

TEST(KNLocalSaver, AWriterThatFailsGivesNoURL) {
    // Full once started (more than the writer buffers follows), or full just before the file's index.
    for (const bool failAtFinish : {false, true}) {
        SCOPED_TRACE(failAtFinish ? "at the finish" : "while recording");
        const auto path = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("failing") + ".m4a";
        auto sink = std::make_shared<FailingSink>(path);
        KNLocalSaver::Platform failing{[sink](const std::string& p, platform::AssetFileType type) {
            return platform::AssetWriter::create(p, type, nullptr, sink);
        }};
        auto saver = audioSaver(std::make_shared<savertest::SaverDelegate>(), failing);
        ASSERT_EQ(startAndWait(*saver), nullptr);
        if (!failAtFinish) sink->limit = sink->written.load();
        for (int i = 0; i < 50; ++i)
            saver->writeEncodedAudioDurationPresentationTime(packet(3, 2000), MediaTime::make(1024, 44100), MediaTime::make(1024 * i, 44100));
        savertest::drain(*saver);
        if (failAtFinish) sink->limit = sink->written.load();
        const auto stop = savertest::stopAndWait(*saver);
        EXPECT_FALSE(stop.url.has_value());
        EXPECT_EQ(describe(stop.error), failAtFinish ? "110003 Failed to finish writing" : "110003 Local saver not running");
        EXPECT_EQ(saver->fileAssetWriter()->status(), platform::AssetWriterStatus::Failed);
    }
}

TEST(KNLocalSaver, TwoRecordingsWithinOneSecondKeepBothFiles) {
    auto saver = audioSaver(std::make_shared<savertest::SaverDelegate>());
    std::vector<std::string> paths;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(startAndWait(*saver), nullptr);
        saver->writeEncodedAudioDurationPresentationTime(packet(4), MediaTime::make(1024, 44100), MediaTime::make(0, 44100));
        const auto stop = savertest::stopAndWait(*saver);
        ASSERT_TRUE(stop.url.has_value());
        paths.push_back(stop.url->filePath().value_or(""));
    }
    const auto base = platform::documentsDirectory() + "/" + saver->filename();
    EXPECT_EQ(paths, (std::vector<std::string>{base + ".m4a", base + " (2).m4a"}));
    EXPECT_TRUE(fs::exists(paths[0]));
    EXPECT_TRUE(fs::exists(paths[1]));
}

TEST(KNLocalSaver, TheRecordingNameIsUTCWhateverTheZoneAndLocale) {
    kntest::ScopedEnv zone("TZ", "Asia/Tokyo");
    tzset();
    const std::string oldLocale = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "de_DE.UTF-8");
    const std::vector<std::pair<std::time_t, std::string>> rows = {
        {1803891903, "Stream rec 1-03-2027-09:05:03"},
        {1796501887, "Stream rec 5-12-2026-20:18:07"},
        {1798761599, "Stream rec 31-12-2026-23:59:59"},
    };
    for (const auto& [time, expected] : rows) EXPECT_EQ(KNUtils::nameForLocalFileAtTime(time), expected);
    const std::time_t before = std::time(nullptr);
    const std::string now = KNUtils::utils()->nameForLocalFile();
    EXPECT_TRUE(now == KNUtils::nameForLocalFileAtTime(before) || now == KNUtils::nameForLocalFileAtTime(before + 1)) << now;
    std::setlocale(LC_ALL, oldLocale.c_str());
}

}  // namespace
