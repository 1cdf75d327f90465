#include "kestrune/KNFileInputSource.h"

#include <gtest/gtest.h>

#include "platform/DispatchQueue.h"
#include "recorder/FileSourceTestSupport.h"
#include "support/MediaFiles.h"

namespace {

using namespace kntest;

const std::string kDir = std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("file-source-threads");

// Stops from the delegate's own call, on the reader queue: the stop must not wait for itself.
class StoppingDelegate : public DeliveryLog {
public:
    void fileInputSourceDidReadVideoSample(KNFileInputSource* source,
                                           const std::shared_ptr<platform::SampleBuffer>& sample) override {
        DeliveryLog::fileInputSourceDidReadVideoSample(source, sample);
        source->stopReading();
    }
};

TEST(KNFileInputSourceThreads, StopsRacingTheReaderQueueTurnsEndEveryReadingCleanly) {
    const auto path = makeMediaFile(kDir, "race", {.seconds = 1, .width = 160, .height = 120});
    ASSERT_FALSE(path.empty());
    auto log = std::make_shared<DeliveryLog>();
    auto source = KNFileInputSource::create();
    source->setDelegate(log);
    source->setVideoURL(platform::URL::fromFilePath(path));
    for (int round = 0; round < 200; ++round) {
        std::shared_ptr<KNError> error;
        const size_t before = log->count(true);
        source->startReadingWithError(&error);
        ASSERT_EQ(error, nullptr) << round;
        // Every few rounds the stop waits for the reading to be under way.
        if (round % 8 == 0) {
            ASSERT_TRUE(waitFor([&] { return log->count(true) > before; }, 10s));
        }
        source->stopReading();
        EXPECT_EQ(source->assetReader(), nullptr);
    }
    // A delegate call under way when the last stop returned may still end; none starts after it.
    source->readerQueue()->sync([] {});
    const size_t frames = log->count(true);
    source->readerQueue()->sync([] {});
    EXPECT_EQ(log->count(true), frames);

    auto stopping = std::make_shared<StoppingDelegate>();
    source->setDelegate(stopping);
    source->startReadingWithError();
    ASSERT_TRUE(waitFor([&] { return stopping->count(true) == 1 && source->assetReader() == nullptr; }, 10s));
}

}  // namespace
