// A host may let go of its recorder from inside any report, on whatever thread brings it: the
// camera's frame on the video encoder's queue, the microphone's buffer on its input thread. The
// session then ends without waiting on the thread it runs on.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "LettingGoSupport.h"
#include "kestrune/KNRecorder.h"
#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNStreamInfo.h"
#include "recorder/KNInternalRecorder.h"
#include "support/TestServer.h"

using namespace kntest;

namespace {

struct LettingGoHost : KNRecorderDelegate, HeldRecorder {
    void recorderDidOutputSampleBufferFromCaptureOutput(KNRecorder&, const std::shared_ptr<platform::SampleBuffer>&,
                                                        const void*) override {
        if (onFrame) letGo();
    }
    void recorderDidOutputAudioBuffer(KNRecorder&, const Bytes&) override {
        if (!onFrame) letGo();
    }
    bool onFrame = true;
};

}  // namespace

TEST(KNRecorderLetGo, FromInsideAFrameOrAnAudioReportTheSessionEnds) {
    for (const bool onFrame : {true, false}) {
        SCOPED_TRACE(onFrame ? "camera frame" : "audio buffer");
        auto host = std::make_shared<LettingGoHost>();
        host->onFrame = onFrame;
        auto recorder = KNRecorder::recorderWithStreamInfo(KNStreamInfo::create(), KNRecorderSettings::recorderSettings());
        recorder->setRecorderDelegate(host);
        recorder->prepareToRecord();
        const std::weak_ptr<KNRecorder> watched = recorder;
        {
            std::lock_guard lock(host->mutex);
            host->held = std::move(recorder);
        }
        EXPECT_TRUE(waitFor([&] { return watched.expired(); }, 10s));
        EXPECT_TRUE(waitFor([] { return KNInternalRecorder::currentRecorderForTesting() == nullptr; }, 10s));
    }
}
