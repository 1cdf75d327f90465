#include "kestrune/KNFileInputSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "kestrune/KNError.h"
#include "platform/DispatchQueue.h"
#include "recorder/FileSourceTestSupport.h"
#include "support/MediaFiles.h"

namespace {

using namespace kntest;

const std::string kDir = std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("file-source");

std::shared_ptr<KNFileInputSource> sourceFor(const std::string& path, const std::shared_ptr<DeliveryLog>& log) {
    auto source = KNFileInputSource::create();
    source->setDelegate(log);
    source->setVideoURL(platform::URL::fromFilePath(path));
    return source;
}

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

// The file before the "%00" exists and reads: it must not be what a URL naming another one opens.
TEST(KNFileInputSource, AURLWhoseEscapedNulWouldCutThePathIsRefused) {
    const auto path = makeMediaFile(kDir, "cut", {.seconds = 1});
    ASSERT_FALSE(path.empty());
    auto log = std::make_shared<DeliveryLog>();
    auto source = KNFileInputSource::create();
    source->setDelegate(log);
    source->setVideoURL(platform::URL::fromString(platform::URL::fromFilePath(path)->absoluteString() + "%00.txt"));
    std::shared_ptr<KNError> error;
    source->startReadingWithError(&error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), "Failed to create the asset with given URL.");
    EXPECT_FALSE(source->assetReader());
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

}  // namespace
