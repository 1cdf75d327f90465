// CPU seconds per second of 1280x720, 30 fps, 3 Mbit/s video through KNH264Encoder, beside the
// ffmpeg program encoding the very same raw frames with libx264 at the encoder's own configuration
// (one thread, one slice per frame, no scene-cut key frames, the peak rate and buffer at the
// average). ffmpeg's start-up and reading of its piped input are measured by the same command
// without the encoder and taken off. Pinned to KESTRUNE_BENCH_CPUS, rounds alternating.
//
//   KNH264Encoder_bench [frames, default 600] [rounds, default 5]
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "RawPictures.h"
#include "encoding/KNH264Encoder.h"

extern char** environ;

namespace {

constexpr int32_t kWidth = 1280;
constexpr int32_t kHeight = 720;
constexpr int kFps = 30;
constexpr int32_t kBitrateBps = 3000000;
constexpr int kKeyFrameInterval = 60;
constexpr int kDistinctPictures = 30;  // cycled; both encoders see the same sequence

double processCPUSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

class CountingDelegate : public KNH264EncoderDelegate {
public:
    void H264EncoderDidExtractSpsPps(KNH264Encoder*, const Bytes&, const Bytes&) override {}
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder*, const Bytes&, bool, uint64_t) override {}
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder*,
                                          const std::shared_ptr<platform::SampleBuffer>& buffer) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++frames_;
        bytes_ += buffer->dataBuffer()->size();
        changed_.notify_all();
    }
    void waitForFrames(uint64_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return frames_ >= n; });
    }
    uint64_t bytes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t frames_ = 0;
    uint64_t bytes_ = 0;
};

struct Result {
    double cpuSeconds = -1;
    double kbps = 0;
};

Result runEncoder(const std::vector<std::shared_ptr<platform::PixelBuffer>>& pictures, int frames) {
    auto encoder = KNH264Encoder::create();
    auto delegate = std::make_shared<CountingDelegate>();
    encoder->setDelegate(delegate);
    encoder->setKeyFrameInterval(kKeyFrameInterval);
    encoder->updateBitrate(kBitrateBps);
    encoder->startEncodingWithResolutionHeight(kWidth, kHeight);
    double start = processCPUSeconds();
    for (int i = 0; i < frames; ++i) {
        platform::SampleTiming timing;
        timing.presentationTimeStamp = platform::MediaTime::make(i, kFps);
        timing.duration = platform::MediaTime::make(1, kFps);
        encoder->encode(platform::SampleBuffer::createWithImageBuffer(pictures[size_t(i) % pictures.size()], timing));
        // One frame in flight, as a camera delivers them: the session never drops.
        delegate->waitForFrames(uint64_t(i) + 1);
    }
    encoder->stopEncoding();
    encoder->encodingQueue()->sync([] {});
    Result r;
    r.cpuSeconds = processCPUSeconds() - start;
    r.kbps = delegate->bytes() * 8.0 / 1000.0 / (double(frames) / kFps);
    return r;
}

// ffmpeg with the raw frames on its standard input, whole process.
knbench::ChildRun runFfmpeg(const std::vector<std::vector<uint8_t>>& rawFrames, int frames,
                            const std::vector<std::string>& args) {
    return knbench::runChild(args, [&](int fd) {
        for (int i = 0; i < frames; ++i) {
            const auto& raw = rawFrames[size_t(i) % rawFrames.size()];
            size_t off = 0;
            while (off < raw.size()) {
                ssize_t n = write(fd, raw.data() + off, raw.size() - off);
                if (n <= 0) return;
                off += size_t(n);
            }
        }
    });
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    int frames = argc > 1 ? std::atoi(argv[1]) : 600;
    if (frames <= 0) frames = 600;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    double videoSeconds = double(frames) / kFps;

    std::vector<std::shared_ptr<platform::PixelBuffer>> pictures;
    std::vector<std::vector<uint8_t>> raw;
    for (int i = 0; i < kDistinctPictures; ++i) {
        pictures.push_back(knbench::picture(i, kWidth, kHeight));
        raw.push_back(knbench::packed(*pictures.back()));
    }
    const std::string pinned = knbench::pinToBenchCpus();

    const std::string rate = std::to_string(kBitrateBps / 1000) + "k";
    const std::vector<std::string> input = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f",
                                            "rawvideo", "-pix_fmt", "nv12", "-s",
                                            std::to_string(kWidth) + "x" + std::to_string(kHeight), "-r",
                                            std::to_string(kFps), "-i", "pipe:0"};
    std::vector<std::string> encode = input;
    for (const char* a : {"-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-bf", "0",
                          "-profile:v", "main", "-g"})
        encode.emplace_back(a);
    encode.push_back(std::to_string(kKeyFrameInterval));
    for (const char* a : {"-b:v", "-maxrate"}) {
        encode.emplace_back(a);
        encode.push_back(rate);
    }
    // Our encoder caps its rate at the average with half a second of buffer.
    encode.emplace_back("-bufsize");
    encode.push_back(std::to_string(kBitrateBps / 2000) + "k");
    for (const char* a : {"-x264-params", "threads=1:sliced-threads=0:lookahead-threads=1:scenecut=0", "-f", "null",
                          "-"})
        encode.emplace_back(a);
    std::vector<std::string> readOnly = input;
    for (const char* a : {"-f", "null", "-"}) readOnly.emplace_back(a);

    std::printf("%d frames %dx%d at %d fps (%.1f s of video), %d kbit/s, one thread and one slice per frame, "
                "%s, %d rounds alternating\n",
                frames, kWidth, kHeight, kFps, videoSeconds, kBitrateBps / 1000, pinned.c_str(), rounds);
    std::printf("  ffmpeg encode:    %s\n", knbench::commandLine(encode).c_str());
    std::printf("  ffmpeg read only: %s\n", knbench::commandLine(readOnly).c_str());
    std::printf("(both fed the same raw NV12 frames on standard input; ffmpeg's start-up and reading, the read-only "
                "run, are taken off its encode run; KNH264Encoder is timed from the first frame to the last)\n");
    std::printf("%-16s %6s %16s\n", "contender", "round", "CPU s per s");
    std::vector<double> ours, theirs, ratios;
    for (int round = 1; round <= rounds; ++round) {
        Result r = runEncoder(pictures, frames);
        const knbench::ChildRun full = runFfmpeg(raw, frames, encode);
        const knbench::ChildRun read = runFfmpeg(raw, frames, readOnly);
        if (!full.ok || !read.ok) {
            std::printf("ffmpeg missing or failed\n");
            return 1;
        }
        const double ff = (full.cpuSeconds - read.cpuSeconds) / videoSeconds;
        std::printf("%-16s %6d %16.3f   (%.0f kbit/s out)\n", "KNH264Encoder", round, r.cpuSeconds / videoSeconds,
                    r.kbps);
        std::printf("%-16s %6d %16.3f   (whole %.3f, read only %.3f)\n", "ffmpeg libx264", round, ff,
                    full.cpuSeconds / videoSeconds, read.cpuSeconds / videoSeconds);
        ours.push_back(r.cpuSeconds / videoSeconds);
        theirs.push_back(ff);
        ratios.push_back(r.cpuSeconds / videoSeconds / ff);
    }
    std::printf("median (min-max): KNH264Encoder %s, ffmpeg %s CPU s per s of video; KNH264Encoder/ffmpeg %s\n",
                knbench::show(knbench::spread(ours)).c_str(), knbench::show(knbench::spread(theirs)).c_str(),
                knbench::show(knbench::spread(ratios), 2).c_str());
    return 0;
}
