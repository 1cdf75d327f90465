// Recordings that go wrong: a byte sink that fails mid-file, at the end or at its close, and an
// audio configuration that comes late or never.
#include <gtest/gtest.h>

#include <atomic>

#include "encoding/LocalSaverTestSupport.h"

namespace {

using savertest::describe;
using savertest::number;

class FailingSink : public platform::AssetByteSink {
public:
    enum class Fails { Writes, Seeks, Close };
    FailingSink(Fails fails, size_t limitBytes) : fails_(fails), limitBytes_(limitBytes) {}
    bool write(const uint8_t*, size_t sizeBytes) override {
        if (failed) ++writesAfterFailure;
        written += sizeBytes;
        if (fails_ == Fails::Writes && written > limitBytes_) failed = true;
        return !failed;
    }
    bool seek(int64_t) override { return fails_ != Fails::Seeks; }
    bool close() override {
        closed = true;
        return fails_ != Fails::Close;
    }
    std::atomic<size_t> written{0};
    std::atomic<bool> failed{false};
    std::atomic<bool> closed{false};
    std::atomic<int> writesAfterFailure{0};

private:
    const Fails fails_;
    const size_t limitBytes_;
};

class FailureCount : public KNLocalSaverDelegate {
public:
    void localSaverDidFailWritingEncodedVideoWithError(KNLocalSaver*, std::shared_ptr<KNError>) override { ++failures; }
    void localSaverDidFailWritingEncodedAudioWithError(KNLocalSaver*, std::shared_ptr<KNError>) override { ++failures; }
    std::atomic<int> failures{0};
};

KNLocalSaver::Platform writingTo(std::shared_ptr<FailingSink> sink) {
    return {[sink](const std::string& path, platform::AssetFileType type) {
        return platform::AssetWriter::create(path, type, nullptr, sink);
    }};
}

TEST(KNLocalSaverFailures, AFailingSinkNeverGivesAURLAndAFailureMidFileClosesAtOnce) {
    struct Row {
        std::string name;
        FailingSink::Fails fails;
        std::string stopAnswer;
        int failuresReported;
    };
    const Row rows[] = {
        {"writes fail mid-file", FailingSink::Fails::Writes, "110005 Failed to append", 1},
        {"the index can't be placed", FailingSink::Fails::Seeks, "110003 Failed to finish writing", 0},
        {"the close fails", FailingSink::Fails::Close, "110003 Failed to finish writing", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto sink = std::make_shared<FailingSink>(row.fails, 100 * 1024);
        savertest::Rig rig(320, 240, 30, writingTo(sink));
        rig.noise = 40;  // about 1 MB in 3 s
        auto failures = std::make_shared<FailureCount>();
        rig.saver->setDelegate(failures);
        rig.saver->setSavingEnabledError(true, nullptr);
        ASSERT_TRUE(rig.startEncoders());
        rig.saver->startSavingStream({});
        ASSERT_TRUE(rig.feedSeconds(3.0));
        rig.settle();
        // Closed as soon as it failed, not at the next start.
        EXPECT_EQ(sink->closed.load(), sink->failed.load());
        const auto stop = savertest::stopAndWait(*rig.saver);
        rig.stopEncoders();
        EXPECT_FALSE(stop.url.has_value());
        // Either track's append may be the one that meets the failure.
        EXPECT_EQ(describe(stop.error).substr(0, row.stopAnswer.size()), row.stopAnswer);
        EXPECT_EQ(failures->failures.load(), row.failuresReported);
        EXPECT_EQ(sink->writesAfterFailure.load(), 0);
        EXPECT_TRUE(sink->closed.load());
        // The failure has been answered: a second stop finds nothing running.
        EXPECT_EQ(describe(savertest::stopAndWait(*rig.saver).error), "110003 Local saver not running");
    }
}

// Saving started before the AAC encoder had configured itself: the configuration that comes
// later goes into the file; one that never comes leaves the file without an audio track.
TEST(KNLocalSaverFailures, EveryAudioTrackCarriesItsConfigurationOrThereIsNone) {
    for (const bool cookieComes : {true, false}) {
        SCOPED_TRACE(cookieComes ? "configured after the start" : "never configured");
        savertest::Rig rig(320, 240);
        rig.saver->setSavingEnabledError(true, nullptr);
        ASSERT_TRUE(rig.startEncoders());
        const auto cookie = rig.saver->magicCookie();
        rig.saver->setMagicCookie(nullptr);
        rig.saver->startSavingStream({});
        savertest::drain(*rig.saver);
        if (cookieComes) rig.saver->setMagicCookie(cookie);
        // Long enough, without a configuration, for the pictures to stop waiting for one.
        const double seconds = cookieComes ? 1.0 : 1.0 + platform::AssetWriter::kMaxAudioConfigurationWaitSeconds;
        ASSERT_TRUE(rig.feedSeconds(seconds));
        rig.settle();
        const auto stop = savertest::stopAndWait(*rig.saver);
        rig.stopEncoders();
        ASSERT_TRUE(stop.url.has_value()) << describe(stop.error);
        const auto path = stop.url->filePath().value_or("");
        const auto info = savertest::probe(path);
        ASSERT_EQ(info["streams"].size(), cookieComes ? 2u : 1u);
        EXPECT_EQ(info["streams"][0].value("codec_type", ""), "video");
        EXPECT_NEAR(number(info["streams"][0]["duration"]), seconds, 1.0 / savertest::kFps);
        if (cookieComes) {
            EXPECT_EQ(info["streams"][1].value("channels", 0), 1);
        }
        EXPECT_EQ(savertest::decodeErrors(path), "");
    }
}

}  // namespace
