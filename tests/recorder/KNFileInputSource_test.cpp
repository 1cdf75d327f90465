#include "kestrune/KNFileInputSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <vector>

#include "kestrune/KNError.h"
#include "kestrune/platform/media/Asset.h"
#include "platform/DispatchQueue.h"
#include "recorder/FileSourceTestSupport.h"
#include "support/MediaFiles.h"

namespace {

using namespace kntest;

const std::string kDir = std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("file-source");

// The second start comes before the queue has opened the first reader.
TEST(KNFileInputSource, ASecondStartBeforeTheFirstOpeningIsRefused) {
    const auto path = makeMediaFile(kDir, "twice", {.seconds = 1});
    ASSERT_FALSE(path.empty());
    auto log = std::make_shared<DeliveryLog>();
    auto twice = sourceFor(path, log);
    twice->readerQueue()->async([] {});
    std::shared_ptr<KNError> error;
    twice->startReadingWithError(&error);
    auto first = twice->assetReader();
    twice->startReadingWithError(&error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), "Reader already started.");
    EXPECT_EQ(twice->assetReader(), first);
    ASSERT_TRUE(waitFor([&] { return readToEnd(*twice); }, 10s));
    EXPECT_EQ(log->count(true), 25u);
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// Every sample comes when its presentation time is due on one clock, whatever the rates.
TEST(KNFileInputSource, SamplesArriveAtTheirPresentationTimes) {
    struct Row {
        std::string name;
        MediaFileOptions options;
        size_t videoFrames;
        int64_t audioFrames;
    };
    const Row rows[] = {
        {"30 fps, 48 kHz stereo", {.seconds = 2, .fps = 30, .sampleRate = 48000, .channels = 2}, 60, 96000},
        {"irregular frame times",
         {.seconds = 2, .fps = 25, .extra = "-vf setpts='(N+0.6*mod(N\\,3))/25/TB' -fps_mode vfr"}, 49, 88200},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto path = makeMediaFile(kDir, uniqueName("pace"), row.options);
        ASSERT_FALSE(path.empty());
        auto log = std::make_shared<DeliveryLog>();
        auto source = sourceFor(path, log);
        source->startReadingWithError();
        ASSERT_TRUE(waitFor([&] { return readToEnd(*source) && log->count(false) * 1024 >= size_t(row.audioFrames); }, 10s));
        source->readerQueue()->sync([] {});
        const auto all = log->all();
        ASSERT_FALSE(all.empty());
        size_t video = 0;
        int64_t audio = 0;
        std::vector<double> offsets;
        for (const auto& d : all) {
            offsets.push_back((d.hostSeconds - all.front().hostSeconds) - (d.mediaSeconds - all.front().mediaSeconds));
            video += d.video ? 1 : 0;
            audio += d.video ? 0 : d.frames;
            EXPECT_LE(d.frames, 1024);
        }
        EXPECT_EQ(video, row.videoFrames);
        EXPECT_NEAR(static_cast<double>(audio), static_cast<double>(row.audioFrames), 1024.0);
        // Host time minus media time: never below its start (nothing comes before it is due), and
        // no drift between the first and the last fifth. A loaded machine may make single samples
        // late, which the medians ignore; pacing at other rates would drift by 0.15-0.3 s here.
        EXPECT_GT(*std::min_element(offsets.begin(), offsets.end()), -0.01);
        const auto fifth = static_cast<std::ptrdiff_t>(offsets.size() / 5);
        const double drift = median({offsets.end() - fifth, offsets.end()}) - median({offsets.begin(), offsets.begin() + fifth});
        EXPECT_LT(std::abs(drift), 0.06);
    }
}

TEST(KNFileInputSource, StartsAreRefusedWithTheirReasonAndStartNothing) {
    std::filesystem::create_directories(kDir);
    const std::string text = kDir + "/words.mp4";
    std::ofstream(text) << "Plain words, not a movie.\n";
    // The file before the "%00" exists and reads: a URL naming another one must not open it.
    const auto movie = makeMediaFile(kDir, "cut", {.seconds = 1});
    ASSERT_FALSE(movie.empty());
    const auto file = [](const std::string& path) { return platform::URL::fromFilePath(path); };
    struct Row {
        std::string name;
        std::optional<platform::URL> url;
        std::string message;
    };
    const Row rows[] = {
        {"no URL", std::nullopt, "No video URL provided."},
        {"a folder", file(kDir), "Failed to create the asset with given URL."},
        {"no such file", file(kDir + "/missing.mp4"), "Failed to create the asset with given URL."},
        {"text named .mp4", file(text), "Failed to create the asset with given URL."},
        {"an escaped NUL", platform::URL::fromString(file(movie)->absoluteString() + "%00.txt"),
         "Failed to create the asset with given URL."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto log = std::make_shared<DeliveryLog>();
        auto source = KNFileInputSource::create();
        source->setDelegate(log);
        source->setVideoURL(row.url);
        std::shared_ptr<KNError> error;
        source->startReadingWithError(&error);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->errorCodes(), std::vector<int64_t>{0});
        EXPECT_EQ(error->message(), row.message);
        EXPECT_EQ(source->assetReader(), nullptr);
        EXPECT_EQ(source->videoAssetTrackOutput(), nullptr);
        source->readerQueue()->sync([] {});
        EXPECT_TRUE(log->all().empty());
    }
}

// A second reading once the first ended, with the reader's outputs in place for each.
TEST(KNFileInputSource, AFileReadToItsEndIsReadAgainFromTheStart) {
    const auto path = makeMediaFile(kDir, "again", {.seconds = 0.5, .width = 160, .height = 120});
    ASSERT_FALSE(path.empty());
    auto log = std::make_shared<DeliveryLog>();
    auto source = sourceFor(path, log);
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        std::shared_ptr<KNError> error;
        source->startReadingWithError(&error);
        ASSERT_EQ(error, nullptr);
        ASSERT_TRUE(source->currentAsset());
        EXPECT_EQ(source->currentAsset()->url().filePath(), path);
        EXPECT_TRUE(source->videoAssetTrackOutput());
        EXPECT_TRUE(source->audioAssetTrackOutput());
        ASSERT_TRUE(waitFor([&] { return readToEnd(*source); }, 10s));
        EXPECT_EQ(log->count(true), 13u * static_cast<size_t>(round));
    }
    source->stopReading();
    EXPECT_EQ(source->videoAssetTrackOutput(), nullptr);
    EXPECT_EQ(source->audioAssetTrackOutput(), nullptr);
}

// FLAC frames of 8192 samples, and a last frame of 1500: every piece is at most 1024 samples,
// in order, each at its own time.
TEST(KNFileInputSource, AudioBuffersAreCutIntoPiecesOfAtMost1024Samples) {
    std::filesystem::create_directories(kDir);
    const std::string path = kDir + "/" + uniqueName("blocks") + ".flac";
    const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100 "
                                "-af atrim=end_sample=17884 -c:a flac -frame_size 8192 '" + path + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    auto log = std::make_shared<DeliveryLog>();
    auto source = sourceFor(path, log);
    source->startReadingWithError();
    ASSERT_TRUE(waitFor([&] { return log->count(false) == 18; }, 10s));
    source->readerQueue()->sync([] {});
    std::vector<int64_t> sizes;
    std::vector<double> times;
    for (const auto& d : log->all()) {
        sizes.push_back(d.frames);
        times.push_back(d.mediaSeconds);
    }
    std::vector<int64_t> expected(17, 1024);
    expected.push_back(476);
    EXPECT_EQ(sizes, expected);
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_NEAR(times[i], static_cast<double>(i) * 1024 / 44100, 1e-6) << i;
    }
}

}  // namespace
