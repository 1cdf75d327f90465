// A host that lets go of a streaming recorder from inside its reports, against the nginx-rtmp
// fixture: in the start completion (the main queue) and in a throughput report (the
// destinations' queue). The stream ends there, and the server sees it end.
#include <gtest/gtest.h>

#include <mutex>

#include "HubFakes.h"
#include "LettingGoSupport.h"
#include "kestrune/KNRecorder.h"
#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNStreamInfo.h"

using namespace kntest;

namespace {

struct LettingGoHost : KNRecorderDelegate, HeldRecorder {
    void recorderDidUpdateBitrate(KNRecorder&, uint64_t kilobytes) override {
        if (inThroughput && kilobytes > 0) letGo();
    }
    bool inThroughput = false;
};

}  // namespace

TEST(KNRecorderLetGoE2E, InsideTheStartCompletionOrAThroughputReportTheStreamEnds) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    for (const bool inThroughput : {false, true}) {
        SCOPED_TRACE(inThroughput ? "throughput report" : "start completion");
        const std::string stream = uniqueName("letgo");
        auto info = KNStreamInfo::create();
        info->setCustomStreamURLString(server->url(stream));
        auto settings = KNRecorderSettings::recorderSettings();
        settings->setVideoFrameResolution(KNVideoFrameResolution640x480);
        auto host = std::make_shared<LettingGoHost>();
        host->inThroughput = inThroughput;
        auto recorder = KNRecorder::recorderWithStreamInfo(info, settings);
        recorder->setRecorderDelegate(host);
        recorder->prepareToRecord();
        const std::weak_ptr<KNRecorder> watched = recorder;
        std::atomic<bool> answered{false};
        recorder->startStreaming([&, host](bool success, std::shared_ptr<KNError>) {
            EXPECT_TRUE(success);
            answered = true;
            if (!host->inThroughput) host->letGo();
        });
        {
            std::lock_guard lock(host->mutex);
            host->held = std::move(recorder);
        }
        EXPECT_TRUE(runMainUntil([&] { return answered && watched.expired(); }));
        EXPECT_FALSE(server->waitForRecording(stream).empty()) << "the server saw the stream end";
        EXPECT_TRUE(runMainUntil([] { return KNInternalRecorder::currentRecorderForTesting() == nullptr; }));
    }
}
