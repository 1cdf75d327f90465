// The camera road's own cost at 1280x720, 30 fps, on the synthetic camera:
//   1. turning one NV12 frame to portrait (and the other turns), median milliseconds per frame;
//   2. CPU seconds per second for the camera into a delegate that does nothing, landscape (the
//      capture layer's own cost: making the frame, wrapping it, the queue hop) and portrait
//      (plus the turn).
//
//   capture_bench [seconds per capture run, default 10] [rounds, default 3]
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/capture/CaptureDeviceInput.h"
#include "platform/capture/CaptureSession.h"
#include "platform/capture/CaptureVideoDataOutput.h"
#include "platform/capture/PixelRotator.h"
#include "platform/capture/SyntheticCaptureDevice.h"

using namespace platform;

namespace {

double processCPUSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double wallSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

class NullDelegate : public CaptureVideoDataOutputSampleBufferDelegate {
public:
    void captureOutputDidOutputSampleBufferFromConnection(const std::shared_ptr<CaptureVideoDataOutput>&,
                                                          const std::shared_ptr<SampleBuffer>&,
                                                          const std::shared_ptr<CaptureConnection>&) override {
        frames.fetch_add(1);
    }
    std::atomic<int> frames{0};
};

void rotationCost(int rounds) {
    auto frame = PixelBuffer::create(1280, 720, PixelFormat::NV12VideoRange);
    std::printf("turn of one 1280x720 NV12 frame, %d frames a round\n", 300);
    std::printf("%-22s %10s\n", "turn", "median ms");
    const struct {
        const char* name;
        int turns;
        bool mirrored;
    } cases[] = {{"portrait (1 turn)", 1, false}, {"upside down (3)", 3, false}, {"landscape left (2)", 2, false},
                 {"portrait mirrored", 1, true}};
    for (const auto& c : cases) {
        std::vector<double> perFrameMs;
        for (int round = 0; round < rounds; ++round) {
            const double start = processCPUSeconds();
            for (int i = 0; i < 300; ++i) PixelRotator::rotate(*frame, c.turns, c.mirrored);
            perFrameMs.push_back((processCPUSeconds() - start) * 1000 / 300);
        }
        std::printf("%-22s %10.3f\n", c.name, median(perFrameMs));
    }
}

double captureCost(double seconds, CaptureVideoOrientation orientation, int* framesOut) {
    auto session = CaptureSession::create();
    session->addInput(CaptureDeviceInput::deviceInputWithDevice(SyntheticCaptureDevice::phoneBackCamera()));
    auto output = CaptureVideoDataOutput::create();
    session->addOutput(output);
    session->setSessionPreset(kSessionPreset1280x720);
    output->connectionWithMediaType(MediaType::Video)->setVideoOrientation(orientation);
    auto delegate = std::make_shared<NullDelegate>();
    output->setSampleBufferDelegate(delegate, DispatchQueue::createSerial("bench.capture"));
    const double cpuStart = processCPUSeconds();
    const double wallStart = wallSeconds();
    session->startRunning();
    while (wallSeconds() - wallStart < seconds) {
        timespec pause{0, 100000000};
        nanosleep(&pause, nullptr);
    }
    session->stopRunning();
    const double cpu = processCPUSeconds() - cpuStart;
    *framesOut = delegate->frames.load();
    return cpu / (wallSeconds() - wallStart);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    rotationCost(rounds);
    std::printf("\nsynthetic camera 1280x720 at 30 fps into a null delegate, %.0f s a round\n", seconds);
    std::printf("%-10s %6s %8s %14s\n", "frames", "round", "count", "CPU s per s");
    std::vector<double> landscape;
    std::vector<double> portrait;
    for (int round = 1; round <= rounds; ++round) {
        int frames = 0;
        landscape.push_back(captureCost(seconds, CaptureVideoOrientation::LandscapeRight, &frames));
        std::printf("%-10s %6d %8d %14.4f\n", "landscape", round, frames, landscape.back());
        portrait.push_back(captureCost(seconds, CaptureVideoOrientation::Portrait, &frames));
        std::printf("%-10s %6d %8d %14.4f\n", "portrait", round, frames, portrait.back());
    }
    std::printf("median: landscape %.2f%% of a core, portrait %.2f%% of a core\n", median(landscape) * 100,
                median(portrait) * 100);
    return 0;
}
