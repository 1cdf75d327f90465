// The camera road's own cost on the synthetic camera:
//   1. turning one 1920x1080 NV12 frame to portrait (and the other turns), median milliseconds per
//      frame and the median of each round's ratio to a plain copy of the same frame;
//   2. CPU seconds per second for the camera into a delegate that does nothing, landscape (the
//      capture layer's own cost: making the frame, wrapping it, the queue hop) and portrait
//      (plus the turn).
//
//   capture_bench [seconds per capture run, default 10] [rounds, default 3]
//
// Pinned to the bench's cores (KESTRUNE_BENCH_CPUS, default 2,3).
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "BenchSupport.h"

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

// A frame of the same size made and filled plane by plane: what the turn is held against.
std::shared_ptr<PixelBuffer> plainCopy(const PixelBuffer& source) {
    auto copy = PixelBuffer::create(source.width(), source.height(), source.pixelFormat());
    for (size_t plane = 0; plane < 2; ++plane) {
        for (int32_t row = 0; row < source.planeHeight(plane); ++row) {
            std::memcpy(copy->planeData(plane) + row * copy->bytesPerRow(plane),
                        source.planeData(plane) + row * source.bytesPerRow(plane), source.bytesPerRow(plane));
        }
    }
    return copy;
}

// Each round times every case over the same frame, in turn, and compares it with the copy of
// that same round.
void rotationCost(int rounds) {
    constexpr int kFrames = 200;
    auto frame = PixelBuffer::create(1920, 1080, PixelFormat::NV12VideoRange);
    uint32_t seed = 1;
    for (size_t plane = 0; plane < 2; ++plane) {
        for (int32_t row = 0; row < frame->planeHeight(plane); ++row) {
            for (size_t x = 0; x < frame->bytesPerRow(plane); ++x) {
                seed = seed * 1103515245u + 12345u;
                frame->planeData(plane)[row * frame->bytesPerRow(plane) + x] = static_cast<uint8_t>(seed >> 16);
            }
        }
    }
    std::printf("turn of one 1920x1080 NV12 frame into a new frame, against a plain copy into a new frame; "
                "%d frames a case, %d rounds\n", kFrames, rounds);
    const struct {
        const char* name;
        int turns;
        bool mirrored;
    } cases[] = {{"portrait (1 turn)", 1, false}, {"upside down (3)", 3, false}, {"landscape left (2)", 2, false},
                 {"portrait mirrored", 1, true}, {"mirrored", 0, true}};
    const auto timeMs = [&](const auto& work) {
        const double start = processCPUSeconds();
        for (int i = 0; i < kFrames; ++i) work();
        return (processCPUSeconds() - start) * 1000 / kFrames;
    };
    std::vector<double> copyMs;
    std::vector<std::vector<double>> turnMs(std::size(cases));
    std::vector<std::vector<double>> ratios(std::size(cases));
    for (int round = 0; round < rounds; ++round) {
        copyMs.push_back(timeMs([&] { plainCopy(*frame); }));
        for (size_t c = 0; c < std::size(cases); ++c) {
            turnMs[c].push_back(timeMs([&] { PixelRotator::rotate(*frame, cases[c].turns, cases[c].mirrored); }));
            ratios[c].push_back(turnMs[c].back() / copyMs.back());
        }
    }
    std::printf("%-22s %10s %16s\n", "per frame", "median ms", "x copy (median)");
    std::printf("%-22s %10.3f %16s\n", "plain copy", median(copyMs), "1.00");
    for (size_t c = 0; c < std::size(cases); ++c) {
        std::printf("%-22s %10.3f %16.2f\n", cases[c].name, median(turnMs[c]), median(ratios[c]));
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
    std::printf("%s\n", knbench::pinToBenchCpus().c_str());
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
