// A small host program: a moving test pattern and a tone, handed to the push streamer, encoded to
// H.264 and AAC and published to one or more RTMP(S) servers for a few seconds, with the frames
// handed over printed each second. It runs no loop of its own: the library serves its main queue.
//
//   stream_synthetic [--seconds N] [--size WxH] [--fps N] [--bitrate BPS] URL...
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kestrune/KNStreamer.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"
#include "kestrune/platform/media/PixelBuffer.h"
#include "kestrune/platform/media/SampleBuffer.h"

// The examples' own: on their include path, beside them.
#include <DestinationHost.h>

namespace {

constexpr uint64_t kAudioSampleRate = 44100;
constexpr uint64_t kAudioChannels = 1;
constexpr double kToneHz = 440.0;

// Diagonal bars that move a few pixels each frame, over a slowly changing colour.
void paintFrame(platform::PixelBuffer& image, int frame) {
    int width = image.width();
    int height = image.height();
    uint8_t* luma = image.planeData(0);
    size_t lumaStride = image.bytesPerRow(0);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = luma + y * lumaStride;
        for (int x = 0; x < width; ++x) row[x] = static_cast<uint8_t>(16 + ((x + y + frame * 4) / 32 % 2) * 200);
    }
    // The colour varies along x only: one row is worked out, the others are copies of it.
    uint8_t* chroma = image.planeData(1);
    size_t chromaStride = image.bytesPerRow(1);
    const auto u = static_cast<uint8_t>(128 + 60 * std::sin(frame / 30.0));
    for (int x = 0; x < width / 2; ++x) {
        chroma[2 * x] = u;
        chroma[2 * x + 1] = static_cast<uint8_t>(128 + 60 * std::cos(frame / 45.0 + x / 80.0));
    }
    for (int y = 1; y < height / 2; ++y) std::memcpy(chroma + y * chromaStride, chroma, static_cast<size_t>(width));
}

struct Options {
    int seconds = 10;
    int width = 1280;
    int height = 720;
    int fps = 30;
    int bitrate = 2500000;
    std::vector<std::string> urls;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--seconds" || arg == "--fps" || arg == "--bitrate" || arg == "--size") {
            const char* value = next();
            if (!value) return false;
            if (arg == "--seconds") options.seconds = std::atoi(value);
            if (arg == "--fps") options.fps = std::atoi(value);
            if (arg == "--bitrate") options.bitrate = std::atoi(value);
            if (arg == "--size" && std::sscanf(value, "%dx%d", &options.width, &options.height) != 2) return false;
        } else if (arg.rfind("--", 0) == 0) {
            return false;
        } else {
            options.urls.push_back(arg);
        }
    }
    return !options.urls.empty() && options.seconds > 0 && options.fps > 0 && options.width > 0 &&
           options.height > 0 && options.width % 2 == 0 && options.height % 2 == 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s [--seconds N] [--size WxH] [--fps N] [--bitrate BPS] rtmp[s]://host[:port]/app/stream...\n",
                     argv[0]);
        return 2;
    }
    auto streamer = KNStreamer::create();
    auto host = std::make_shared<example::DestinationHost>();
    streamer->setDelegate(host);
    streamer->videoSettings()->setResolutionWithError(KNVideoFrameResolutionCustom);
    streamer->videoSettings()->setVideoFrameSizeWithError({options.width, options.height});
    streamer->videoSettings()->setOutputBitrate(options.bitrate);
    streamer->audioSettings()->setSampleRateWithError(kAudioSampleRate);
    streamer->audioSettings()->setChannelsNumberWithError(kAudioChannels);

    std::vector<std::shared_ptr<KNStreamSource>> sources;
    if (!example::connectDestinations(*streamer, host, options.urls, sources)) {
        std::fprintf(stderr, "no destination connected\n");
        return 1;
    }

    // Frames and 1024-sample audio chunks are handed over at their real-time moments.
    streamer->startStreamingWithCompletion();
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(options.seconds);
    const auto frameTime = std::chrono::duration<double>(1.0 / options.fps);
    const auto chunkTime = std::chrono::duration<double>(1024.0 / kAudioSampleRate);
    const auto at = [&](double count, std::chrono::duration<double> step) {
        return start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(count * step);
    };
    int frame = 0;
    uint64_t audioFrames = 0;
    int reportedSecond = 0;
    while (std::chrono::steady_clock::now() < end) {
        const auto nextVideo = at(frame, frameTime);
        const auto nextAudio = at(static_cast<double>(audioFrames / 1024), chunkTime);
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextVideo) {
            auto image = platform::PixelBuffer::create(options.width, options.height, platform::PixelFormat::NV12VideoRange);
            paintFrame(*image, frame);
            platform::SampleTiming timing{platform::MediaTime::make(1, options.fps),
                                          platform::MediaTime::make(frame, options.fps), platform::MediaTime::invalid()};
            streamer->sendVideoBuffer(platform::SampleBuffer::createWithImageBuffer(image, timing));
            ++frame;
        }
        if (now >= nextAudio) {
            auto pcm = std::make_shared<std::vector<uint8_t>>(1024 * 2);
            for (int i = 0; i < 1024; ++i) {
                double t = static_cast<double>(audioFrames + i) / kAudioSampleRate;
                auto sample = static_cast<int16_t>(8000 * std::sin(2 * M_PI * kToneHz * t));
                std::memcpy(pcm->data() + 2 * i, &sample, 2);
            }
            const auto timestampMs = std::chrono::duration_cast<std::chrono::milliseconds>(nextAudio - start).count();
            streamer->sendAudioDataTimestamp(pcm, static_cast<uint64_t>(timestampMs));
            audioFrames += 1024;
        }
        const int second = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(now - start).count());
        if (second > reportedSecond) {
            reportedSecond = second;
            std::printf("%3d s: %d frames handed over\n", second, frame);
            std::fflush(stdout);
        }
        std::this_thread::sleep_until(std::min(at(frame, frameTime), at(static_cast<double>(audioFrames / 1024), chunkTime)));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    example::closeDestinations(*streamer, *host, sources);
    std::printf("streamed %d frames in %.1f s to %d destination(s)\n", frame, seconds, host->connected_);
    return 0;
}
