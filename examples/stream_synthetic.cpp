// A small host program: a moving test pattern and a tone, encoded to H.264 and AAC and published
// to one or more RTMP(S) servers for a few seconds, with the throughput printed each second.
//
//   stream_synthetic [--seconds N] [--size WxH] [--fps N] [--bitrate BPS] URL...
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "encoding/KNAACEncoder2.h"
#include "encoding/KNH264Encoder.h"
#include "kestrune/KNError.h"
#include "kestrune/KNStreamInfo.h"
#include "platform/HostClock.h"
#include "platform/RunLoop.h"
#include "platform/media/PixelBuffer.h"
#include "platform/media/SampleBuffer.h"
#include "core/KNMetadata.h"
#include "transport/KNStreamSourcesManager.h"

namespace {

constexpr uint64_t kAudioSampleRate = 44100;
constexpr uint64_t kAudioBitRate = 128000;
constexpr double kToneHz = 440.0;

uint64_t nowMs() { return static_cast<uint64_t>(platform::HostClock::now() * 1000.0); }

// Wires the encoders' outputs into the destinations and prints what the manager reports.
class Pipeline : public KNH264EncoderDelegate,
                 public KNAACEncoderDelegate,
                 public KNStreamSourcesManagerDelegate {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

    explicit Pipeline(std::shared_ptr<KNStreamSourcesManager> manager) : manager_(std::move(manager)) {}

    void H264EncoderDidExtractSpsPps(KNH264Encoder*, const Bytes& sps, const Bytes& pps) override {
        manager_->setVideoSPSAndPPS(sps, pps);
    }
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder*, const Bytes& data, bool isKeyFrame,
                                                     uint64_t timestampMs) override {
        manager_->sendVideoPacketIsKeyFrameTimestamp(data, isKeyFrame, timestampMs);
        std::lock_guard lock(mutex_);
        ++videoUnits_;
    }
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder*, const std::shared_ptr<platform::SampleBuffer>&) override {}
    void H264EncoderDidFailStartingWithError(KNH264Encoder*, const std::shared_ptr<KNError>& error) override {
        std::fprintf(stderr, "video encoder failed to start: %s\n", error->description().c_str());
    }

    void AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase*, const Bytes& data,
                                                                    platform::MediaTime, uint64_t timestamp) override {
        manager_->sendAudioPacketTimestamp(data, timestamp);
        std::lock_guard lock(mutex_);
        ++audioPackets_;
    }
    void AACEncoderDidFailEncodingWithError(KNAACEncoderBase*, std::shared_ptr<KNError> error) override {
        std::fprintf(stderr, "audio encoder failed: %s\n", error->description().c_str());
    }

    void streamSourcesManagerStreamSourceDidConnect(KNStreamSourcesManager*,
                                                    const std::shared_ptr<KNStreamSource>& source) override {
        std::printf("connected: %s\n", source->streamInfo()->customStreamURLString().value_or("").c_str());
        std::lock_guard lock(mutex_);
        ++connected_;
        cv_.notify_all();
    }
    void streamSourcesManagerStreamSourceDidFailConnectingWithError(KNStreamSourcesManager*,
                                                                    const std::shared_ptr<KNStreamSource>& source,
                                                                    const std::shared_ptr<KNError>& error) override {
        std::printf("failed: %s: %s\n", source->streamInfo()->customStreamURLString().value_or("").c_str(), error->description().c_str());
        std::lock_guard lock(mutex_);
        ++failed_;
        cv_.notify_all();
    }
    void streamSourcesManagerLastStreamDidCloseConnection(KNStreamSourcesManager*) override {
        std::lock_guard lock(mutex_);
        allClosed_ = true;
        cv_.notify_all();
    }
    void streamSourcesManagerDidUpdateBitrate(KNStreamSourcesManager*, uint64_t kilobytes) override {
        std::printf("sent %llu kB in the last second\n", static_cast<unsigned long long>(kilobytes));
    }
    void streamSourcesManagerDidDropPacket(KNStreamSourcesManager*) override {
        std::lock_guard lock(mutex_);
        ++drops_;
    }

    int connected() {
        std::lock_guard lock(mutex_);
        return connected_;
    }
    int settled() {
        std::lock_guard lock(mutex_);
        return connected_ + failed_;
    }
    bool allClosed() {
        std::lock_guard lock(mutex_);
        return allClosed_;
    }
    void printSummary() {
        std::lock_guard lock(mutex_);
        std::printf("video NAL units: %llu, audio packets: %llu, drops: %llu\n",
                    static_cast<unsigned long long>(videoUnits_), static_cast<unsigned long long>(audioPackets_),
                    static_cast<unsigned long long>(drops_));
    }

private:
    std::shared_ptr<KNStreamSourcesManager> manager_;
    std::mutex mutex_;
    std::condition_variable cv_;
    int connected_ = 0;
    int failed_ = 0;
    bool allClosed_ = false;
    uint64_t videoUnits_ = 0;
    uint64_t audioPackets_ = 0;
    uint64_t drops_ = 0;
};

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
    // The codec library's own progress notes would drown the program's lines.
    av_log_set_level(AV_LOG_ERROR);
    auto& mainLoop = platform::RunLoop::main();
    auto manager = KNStreamSourcesManager::create();
    auto pipeline = std::make_shared<Pipeline>(manager);
    manager->setDelegate(pipeline);

    auto metadata = KNMetadata::create();
    metadata->setVideoCodecId("avc1");
    metadata->setVideoWidth(options.width);
    metadata->setVideoHeight(options.height);
    metadata->setVideoBitrate(options.bitrate);
    metadata->setVideoFramerate(options.fps);
    metadata->setAudioCodecId("mp4a");
    metadata->setAudioBitrate(static_cast<int32_t>(kAudioBitRate));
    metadata->setAudioSampleRate(static_cast<int32_t>(kAudioSampleRate));
    metadata->setAudioSampleSize(16);
    manager->setMetadata(metadata);

    for (auto& url : options.urls) {
        auto info = KNStreamInfo::create();
        info->setCustomStreamURLString(url);
        manager->addSourceWithStreamInfo(info)->setOn(true);
    }
    int destinations = static_cast<int>(options.urls.size());
    mainLoop.runUntil([&] { return pipeline->settled() == destinations; }, std::chrono::seconds(35));
    if (pipeline->connected() == 0) {
        std::fprintf(stderr, "no destination connected\n");
        return 1;
    }

    auto video = KNH264Encoder::create();
    video->setDelegate(pipeline);
    video->setBitrate(options.bitrate);
    video->setKeyFrameInterval(static_cast<uint64_t>(options.fps) * 2);
    // Parameter sets travel in the stream's sequence header: the unit that opens each key frame
    // is not sent as a frame of its own.
    video->setExtraSpsPps(true);
    video->startEncodingWithResolutionHeight(options.width, options.height);

    auto audio = KNAACEncoder2::create();
    audio->setDelegate(pipeline);
    audio->setSampleRate(kAudioSampleRate);
    audio->setChannelsNumber(1);
    audio->setBitRate(kAudioBitRate);
    audio->startEncoding();

    // Frames and 1024-sample audio chunks are handed over at their real-time moments; the main
    // loop runs in between for the throughput timer.
    const uint64_t startMs = nowMs();
    const uint64_t endMs = startMs + static_cast<uint64_t>(options.seconds) * 1000;
    const double frameMs = 1000.0 / options.fps;
    const double chunkMs = 1024 * 1000.0 / kAudioSampleRate;
    int frame = 0;
    uint64_t audioFrames = 0;
    while (nowMs() < endMs) {
        uint64_t nextVideoMs = startMs + static_cast<uint64_t>(frame * frameMs);
        uint64_t nextAudioMs = startMs + static_cast<uint64_t>((audioFrames / 1024) * chunkMs);
        uint64_t now = nowMs();
        if (now >= nextVideoMs) {
            auto image = platform::PixelBuffer::create(options.width, options.height,
                                                       platform::PixelFormat::NV12VideoRange);
            paintFrame(*image, frame);
            platform::SampleTiming timing{platform::MediaTime::make(1, options.fps),
                                          platform::MediaTime::make(frame, options.fps), platform::MediaTime::invalid()};
            video->encode(platform::SampleBuffer::createWithImageBuffer(image, timing));
            ++frame;
        }
        if (now >= nextAudioMs) {
            auto pcm = std::make_shared<std::vector<uint8_t>>(1024 * 2);
            for (int i = 0; i < 1024; ++i) {
                double t = static_cast<double>(audioFrames + i) / kAudioSampleRate;
                auto sample = static_cast<int16_t>(8000 * std::sin(2 * M_PI * kToneHz * t));
                std::memcpy(pcm->data() + 2 * i, &sample, 2);
            }
            audio->encodeAudioDataTimestamp(pcm, nextAudioMs);
            audioFrames += 1024;
        }
        uint64_t wakeMs = std::min(startMs + static_cast<uint64_t>(frame * frameMs),
                                   startMs + static_cast<uint64_t>((audioFrames / 1024) * chunkMs));
        uint64_t nowAfter = nowMs();
        if (wakeMs > nowAfter) mainLoop.runFor(std::chrono::milliseconds(wakeMs - nowAfter));
    }

    video->stopEncoding();
    audio->stopEncoding();
    // Let what the encoders still hold reach the publishers before the close is queued behind it.
    video->encodingQueue()->sync([] {});
    audio->encoderQueue()->sync([] {});
    manager->closeConnectionOnAllSources();
    mainLoop.runUntil([&] { return pipeline->allClosed(); }, std::chrono::seconds(10));
    pipeline->printSummary();
    std::printf("streamed %d frames in %.1f s to %d destination(s)\n", frame, (nowMs() - startMs) / 1000.0,
                pipeline->connected());
    return 0;
}
