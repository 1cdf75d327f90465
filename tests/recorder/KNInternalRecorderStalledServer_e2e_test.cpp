// A server that stops answering for a while (SIGSTOP, then SIGCONT) under 12 Mbit/s of the camera
// road's detailed picture, beside a second server that keeps going: what waits for the stalled
// one must stay within the publisher's load bound, and the other one's recording must miss nothing.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CameraRoadSupport.h"
#include "platform/capture/CaptureDeviceRegistry.h"
#include "platform/capture/SyntheticCaptureDevice.h"
#include "transport/KNRTMPManager.h"

using namespace kntest;

#if defined(__SANITIZE_ADDRESS__)
// Freed memory held back to catch late uses would count as growth here: hold back little.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=1:thread_local_quarantine_size_kb=64"; }
#endif

namespace {

constexpr int32_t kStreamBps = 12000000;
constexpr int kFramesPerSecond = 30;
#if defined(__SANITIZE_THREAD__)
// The thread checker keeps about four bytes of shadow and half a byte of metadata for every byte
// the program touches.
constexpr int64_t kResidentPerByte = 6;
#else
constexpr int64_t kResidentPerByte = 1;
#endif

int64_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    int64_t pages = 0;
    int64_t resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// The highest resident size seen while it runs.
class ResidentPeak {
public:
    ResidentPeak() : thread_([this] { watch(); }) {}
    ~ResidentPeak() {
        stop_ = true;
        thread_.join();
    }
    int64_t peak() const { return peak_.load(); }

private:
    void watch() {
        while (!stop_) {
            peak_ = std::max(peak_.load(), residentBytes());
            std::this_thread::sleep_for(20ms);  // a sampling period, not a wait for a condition
        }
    }
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> peak_{0};
    std::thread thread_;
};

void signalServer(const TestServer& server, int signal) {
    kill(server.port("NGINX_PID"), signal);
    for (pid_t worker : server.workerPids()) kill(worker, signal);
}

class StalledServer : public CameraRoad {
protected:
    void configure(KNRecorderSettings& settings) override {
        settings.setVideoBitrate(kStreamBps);
        settings.setVideoFrameResolution(KNVideoFrameResolution1280x720);
    }
    std::shared_ptr<TestServer> makeServer() override {
        return TestServer::startPrivate(std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("stalled"));
    }
    void SetUp() override {
        for (const auto& device : platform::CaptureDeviceRegistry::shared().devices()) {
            if (auto camera = std::dynamic_pointer_cast<platform::SyntheticCaptureDevice>(device)) {
                camera->setDetailedPicture(true);
            }
        }
        CameraRoad::SetUp();
    }
    void TearDown() override {
        if (server) signalServer(*server, SIGCONT);
        CameraRoad::TearDown();
    }
};

}  // namespace

TEST_F(StalledServer, WhatWaitsStaysWithinTheLoadBoundAndTheOtherServerGetsEveryFrame) {
    auto steady = TestServer::startPrivate(std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("steady"));
    ASSERT_TRUE(steady);
    const std::string stalledStream = uniqueName("stalled");
    const std::string steadyStream = uniqueName("steady");
    hub->setupWithStreamInfo(destination(server->url(stalledStream)));
    hub->setupWithStreamInfo(destination(steady->url(steadyStream)));
    ASSERT_NO_FATAL_FAILURE(start());
    const auto publishing = [](const TestServer& owner, const std::string& stream) {
        return std::filesystem::exists(owner.value("RECORD_DIR") + "/" + stream + ".flv");
    };
    ASSERT_TRUE(runMainUntil([&] { return publishing(*server, stalledStream) && publishing(*steady, steadyStream); }));
    const int64_t encodedBefore = components->videoEncoder->outputs->frames;
    ASSERT_TRUE(streamFor(5 * kFramesPerSecond));  // the allocator and the buffers reach their steady size
    const int64_t settled = residentBytes();
    int64_t peak = 0;
    {
        ResidentPeak watch;
        signalServer(*server, SIGSTOP);
        ASSERT_TRUE(streamFor(8 * kFramesPerSecond));
        signalServer(*server, SIGCONT);
        ASSERT_TRUE(streamFor(5 * kFramesPerSecond));
        peak = watch.peak();
    }
    hub->stopStreaming();
    const int64_t encoded = components->videoEncoder->outputs->frames - encodedBefore;
    EXPECT_GT(events->drops, 0) << "the stalled destination dropped";
    // The load bound in video frames of this stream, and a few MB for everything else.
    const int64_t frameBytes = kStreamBps / 8 / kFramesPerSecond;
    const int64_t bound = (kMaxQueueLoad * frameBytes + 8 * 1024 * 1024) * kResidentPerByte;
    EXPECT_LE(peak - settled, bound) << "settled at " << settled / 1048576 << " MB, peak " << peak / 1048576 << " MB";

    for (const auto& stream : {stalledStream, steadyStream}) {
        const auto& owner = stream == stalledStream ? *server : *steady;
        const std::string flv = owner.waitForRecording(stream, 60s);
        ASSERT_FALSE(flv.empty()) << stream;
        // What the stalled server missed differs between the tracks: their ends are not compared.
        expectDecodesCleanly(flv, stream == stalledStream ? 1e9 : 0.5);
    }
    // Every frame encoded once both were connected, but those before its first key frame.
    const auto steadyFrames = videoFrames(steady->waitForRecording(steadyStream, 60s));
    EXPECT_GE(steadyFrames, encoded - 45);
}
