// CPU seconds per second of 1280x720, 30 fps, 3 Mbit/s video through KNH264Encoder, beside the
// ffmpeg program encoding the very same raw frames with libx264:
//   1. at the flags a streaming host would type (-preset veryfast -tune zerolatency -bf 0
//      -profile:v main), which let x264 slice each frame across threads;
//   2. at the encoder's own configuration (one thread, one slice per frame, no scene-cut key
//      frames, the peak rate and buffer at the average), like for like.
//
//   KNH264Encoder_bench [frames, default 600]
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

// A camera-like picture: moving gradients and bars with a little sensor noise.
std::shared_ptr<platform::PixelBuffer> picture(int index) {
    auto frame = platform::PixelBuffer::create(kWidth, kHeight, platform::PixelFormat::NV12VideoRange);
    uint32_t seed = 0x9E3779B9u * uint32_t(index + 1);
    for (int32_t y = 0; y < kHeight; ++y) {
        uint8_t* row = frame->planeData(0) + y * frame->bytesPerRow(0);
        for (int32_t x = 0; x < kWidth; ++x) {
            seed = seed * 1664525u + 1013904223u;
            int v = 16 + ((x / 2 + y + 6 * index) % 200) + int(seed >> 29) - 4;
            if (((x + 12 * index) / 80) % 3 == 0) v += 30;
            row[x] = uint8_t(v < 16 ? 16 : (v > 235 ? 235 : v));
        }
    }
    for (int32_t y = 0; y < kHeight / 2; ++y) {
        uint8_t* row = frame->planeData(1) + y * frame->bytesPerRow(1);
        for (int32_t x = 0; x < kWidth / 2; ++x) {
            row[2 * x] = uint8_t(96 + (x + index) % 64);
            row[2 * x + 1] = uint8_t(96 + (y + 2 * index) % 64);
        }
    }
    return frame;
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

// Runs ffmpeg with the raw frames on its standard input; answers its CPU time (user + system).
Result runFfmpeg(const std::vector<std::vector<uint8_t>>& rawFrames, int frames, const std::vector<std::string>& codecArgs) {
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "rawvideo",
                                     "-pix_fmt", "nv12", "-s", std::to_string(kWidth) + "x" + std::to_string(kHeight),
                                     "-r", std::to_string(kFps), "-i", "pipe:0", "-c:v", "libx264"};
    args.insert(args.end(), codecArgs.begin(), codecArgs.end());
    for (const char* a : {"-f", "null", "-"}) args.emplace_back(a);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe(fds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    if (rc != 0) {
        close(fds[1]);
        return {};
    }
    for (int i = 0; i < frames; ++i) {
        const auto& raw = rawFrames[size_t(i) % rawFrames.size()];
        size_t off = 0;
        while (off < raw.size()) {
            ssize_t n = write(fds[1], raw.data() + off, raw.size() - off);
            if (n <= 0) break;
            off += size_t(n);
        }
    }
    close(fds[1]);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    Result r;
    r.cpuSeconds = double(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6 + double(usage.ru_stime.tv_sec) +
                   usage.ru_stime.tv_usec / 1e6;
    return r;
}

std::vector<uint8_t> packed(const platform::PixelBuffer& frame) {
    std::vector<uint8_t> bytes;
    bytes.reserve(size_t(kWidth) * kHeight * 3 / 2);
    for (size_t plane = 0; plane < 2; ++plane) {
        for (int32_t y = 0; y < frame.planeHeight(plane); ++y) {
            const uint8_t* row = frame.planeData(plane) + y * frame.bytesPerRow(plane);
            bytes.insert(bytes.end(), row, row + kWidth);
        }
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    int frames = argc > 1 ? std::atoi(argv[1]) : 600;
    if (frames <= 0) frames = 600;
    double videoSeconds = double(frames) / kFps;

    std::vector<std::shared_ptr<platform::PixelBuffer>> pictures;
    std::vector<std::vector<uint8_t>> raw;
    for (int i = 0; i < kDistinctPictures; ++i) {
        pictures.push_back(picture(i));
        raw.push_back(packed(*pictures.back()));
    }

    const std::string rate = std::to_string(kBitrateBps / 1000) + "k";
    const std::vector<std::string> hostFlags = {"-preset", "veryfast", "-tune", "zerolatency", "-bf", "0",
                                                "-profile:v", "main", "-b:v", rate, "-g",
                                                std::to_string(kKeyFrameInterval)};
    std::vector<std::string> likeForLike = hostFlags;
    for (const char* a : {"-maxrate", "-bufsize"}) {
        likeForLike.emplace_back(a);
        likeForLike.push_back(rate);
    }
    likeForLike.emplace_back("-x264-params");
    likeForLike.emplace_back("threads=1:sliced-threads=0:lookahead-threads=1:scenecut=0");

    Result ours = runEncoder(pictures, frames);
    Result ffHost = runFfmpeg(raw, frames, hostFlags);
    Result ffSame = runFfmpeg(raw, frames, likeForLike);

    std::printf("%d frames %dx%d at %d fps (%.1f s of video), %d kbit/s\n", frames, kWidth, kHeight, kFps,
                videoSeconds, kBitrateBps / 1000);
    std::printf("%-44s %8.3f CPU s per s of video (%.0f kbit/s out)\n", "KNH264Encoder", ours.cpuSeconds / videoSeconds,
                ours.kbps);
    auto report = [&](const char* name, const Result& r) {
        if (r.cpuSeconds < 0) {
            std::printf("%-44s unavailable (ffmpeg missing or failed)\n", name);
            return;
        }
        std::printf("%-44s %8.3f CPU s per s of video; KNH264Encoder / ffmpeg = %.3f\n", name, r.cpuSeconds / videoSeconds,
                    ours.cpuSeconds / r.cpuSeconds);
    };
    report("ffmpeg libx264, host flags", ffHost);
    report("ffmpeg libx264, same configuration", ffSame);
    return 0;
}
