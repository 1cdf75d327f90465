// Fan-out at live rate: the same raw pictures (without sensor noise, so the encoder leaves room
// for what the fan-out costs) and PCM encoded once (720p30 H.264 at 3 Mbit/s, one
// thread and one slice per frame; AAC 128 kbit/s) and published to 1, 4 and 16 destinations on a
// private local nginx, by KNH264Encoder + KNAACEncoder2 + KNStreamSourcesManager and by ffmpeg's
// tee muxer at the same settings, with the same half-second rate buffer.
//
//   fanout_bench [seconds per run, default 10] [rounds, default 5]
//
// Whole process against whole process, pinned to the same cores (KESTRUNE_BENCH_CPUS), contenders
// alternating which goes first. Ours is this program run again as `--fanout SECONDS fixed|abr
// URL...`, with adaptive bitrate off at 1, 4 and 16 destinations and on at 16 (its estimates go
// nowhere, so the encoder's work stays the same); it holds its pictures in memory, and ffmpeg
// reads the same pictures at 30 a second (-re) from a file in memory (/dev/shm), looped, and the
// PCM likewise. The cost of one more destination is (CPU at 16 - CPU at 4) / 12.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "BenchSupport.h"
#include "RawPictures.h"
#include "encoding/KNAACEncoder2.h"
#include "encoding/KNH264Encoder.h"
#include "kestrune/KNStreamInfo.h"
#include "transport/KNStreamSourcesManager.h"

namespace {

using namespace knbench;
using Clock = std::chrono::steady_clock;

constexpr int32_t kWidth = 1280;
constexpr int32_t kHeight = 720;
constexpr int kFps = 30;
constexpr int kBitrateBps = 3000000;
constexpr int kKeyFrameInterval = 60;
constexpr int kDistinctPictures = 30;
constexpr uint64_t kSampleRate = 48000;
constexpr uint64_t kAudioBitRate = 128000;
constexpr size_t kSamplesPerChunk = 1024;
const int kFanOuts[] = {1, 4, 16};
// Destinations at which ours also runs with adaptive bitrate on.
constexpr int kAdaptiveFanOut = 16;

std::vector<std::shared_ptr<platform::PixelBuffer>> pictures() {
    std::vector<std::shared_ptr<platform::PixelBuffer>> all;
    for (int i = 0; i < kDistinctPictures; ++i) all.push_back(picture(i, kWidth, kHeight, false));
    return all;
}

std::vector<int16_t> tone(int seconds) {
    std::vector<int16_t> pcm(kSampleRate * static_cast<size_t>(seconds));
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / kSampleRate));
    return pcm;
}

// Encoders into the destinations, and the reports to wait on.
class Pipeline : public KNH264EncoderDelegate, public KNAACEncoderDelegate, public KNStreamSourcesManagerDelegate,
                 public ReportCounter {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

    explicit Pipeline(std::shared_ptr<KNStreamSourcesManager> manager) : manager_(std::move(manager)) {}

    void H264EncoderDidExtractSpsPps(KNH264Encoder*, const Bytes& sps, const Bytes& pps) override {
        manager_->setVideoSPSAndPPS(sps, pps);
    }
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder*, const Bytes& data, bool key,
                                                     uint64_t timestampMs) override {
        manager_->sendVideoPacketIsKeyFrameTimestamp(data, key, timestampMs);
    }
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder*, const std::shared_ptr<platform::SampleBuffer>&) override {}
    void AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase*, const Bytes& data,
                                                                    platform::MediaTime, uint64_t timestamp) override {
        manager_->sendAudioPacketTimestamp(data, timestamp);
    }
    void streamSourcesManagerStreamSourceDidConnect(KNStreamSourcesManager*,
                                                    const std::shared_ptr<KNStreamSource>&) override {
        bump(connected);
    }
    void streamSourcesManagerStreamSourceDidFailConnectingWithError(KNStreamSourcesManager*,
                                                                    const std::shared_ptr<KNStreamSource>&,
                                                                    const std::shared_ptr<KNError>&) override {
        bump(failed);
    }
    void streamSourcesManagerStreamSourceDidCloseConnection(KNStreamSourcesManager*,
                                                            const std::shared_ptr<KNStreamSource>&) override {
        bump(closed);
    }
    void streamSourcesManagerDidDropPacket(KNStreamSourcesManager*) override { bump(dropped); }

private:
    std::shared_ptr<KNStreamSourcesManager> manager_;
};

// Ours, whole process: connect, encode and publish `seconds` at live rate, close.
int fanoutChild(int seconds, bool adaptive, const std::vector<std::string>& urls) {
    av_log_set_level(AV_LOG_ERROR);  // the codec library's notes at each close
    const auto images = pictures();
    const auto pcm = tone(seconds);
    auto manager = KNStreamSourcesManager::create();
    auto pipeline = std::make_shared<Pipeline>(manager);
    manager->setDelegate(pipeline);
    manager->setAdaptiveBitRateOn(adaptive);
    for (const auto& url : urls) {
        auto info = KNStreamInfo::create();
        info->setCustomStreamURLString(url);
        manager->addSourceWithStreamInfo(info);
    }
    const int n = static_cast<int>(urls.size());
    manager->establishConnectionToAllSources();
    if (!pipeline->waitUntil([&] { return pipeline->connected + pipeline->failed == n; }, std::chrono::seconds(30)) ||
        pipeline->connected != n) {
        std::fprintf(stderr, "only %d of %d destinations connected\n", pipeline->connected, n);
        return 1;
    }
    auto video = KNH264Encoder::create();
    video->setDelegate(pipeline);
    video->setBitrate(kBitrateBps);
    video->setKeyFrameInterval(kKeyFrameInterval);
    video->setExtraSpsPps(true);
    video->startEncodingWithResolutionHeight(kWidth, kHeight);
    auto audio = KNAACEncoder2::create();
    audio->setDelegate(pipeline);
    audio->setSampleRate(kSampleRate);
    audio->setChannelsNumber(1);
    audio->setBitRate(kAudioBitRate);
    audio->startEncoding();

    const auto start = Clock::now();
    const auto at = [&](double ms) { return start + std::chrono::microseconds(static_cast<int64_t>(ms * 1000)); };
    const double frameMs = 1000.0 / kFps;
    const double chunkMs = 1000.0 * kSamplesPerChunk / kSampleRate;
    int frame = 0;
    size_t chunk = 0;
    const int frames = seconds * kFps;
    const size_t chunks = pcm.size() / kSamplesPerChunk;
    while (frame < frames || chunk < chunks) {
        const bool videoNext = chunk >= chunks || (frame < frames && frame * frameMs <= chunk * chunkMs);
        const double dueMs = videoNext ? frame * frameMs : chunk * chunkMs;
        std::this_thread::sleep_until(at(dueMs));
        if (videoNext) {
            platform::SampleTiming timing;
            timing.presentationTimeStamp = platform::MediaTime::make(frame, kFps);
            timing.duration = platform::MediaTime::make(1, kFps);
            video->encode(platform::SampleBuffer::createWithImageBuffer(images[frame % kDistinctPictures], timing));
            ++frame;
        } else {
            const auto* p = reinterpret_cast<const uint8_t*>(pcm.data() + chunk * kSamplesPerChunk);
            audio->encodeAudioDataTimestamp(
                std::make_shared<const std::vector<uint8_t>>(p, p + kSamplesPerChunk * 2),
                static_cast<uint64_t>(dueMs));
            ++chunk;
        }
    }
    video->stopEncoding();
    audio->stopEncoding();
    video->encodingQueue()->sync([] {});
    audio->encoderQueue()->sync([] {});
    manager->closeConnectionOnAllSources();
    const bool closed = pipeline->waitUntil([&] { return pipeline->closed == n; }, std::chrono::seconds(60));
    if (pipeline->dropped) std::fprintf(stderr, "%d packets dropped\n", pipeline->dropped);
    return closed && pipeline->dropped == 0 ? 0 : 1;
}

std::vector<std::string> ffmpegTee(int seconds, const std::string& picturesPath, const std::string& pcmPath,
                                   const std::vector<std::string>& urls) {
    const std::string rate = std::to_string(kBitrateBps / 1000) + "k";
    // Our encoder caps its rate at the average with half a second of buffer.
    const std::string buffer = std::to_string(kBitrateBps / 2000) + "k";
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error", "-re", "-stream_loop", "-1", "-f",
                                     "rawvideo", "-pix_fmt", "nv12", "-s",
                                     std::to_string(kWidth) + "x" + std::to_string(kHeight), "-r",
                                     std::to_string(kFps), "-i", picturesPath, "-re", "-f", "s16le", "-ar",
                                     std::to_string(kSampleRate), "-ac", "1", "-i", pcmPath, "-map", "0:v", "-map",
                                     "1:a", "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-bf",
                                     "0", "-profile:v", "main", "-g", std::to_string(kKeyFrameInterval), "-b:v", rate,
                                     "-maxrate", rate, "-bufsize", buffer, "-x264-params",
                                     "threads=1:sliced-threads=0:lookahead-threads=1:scenecut=0", "-c:a", "aac",
                                     "-b:a", std::to_string(kAudioBitRate), "-t", std::to_string(seconds), "-flags",
                                     "+global_header", "-f", "tee"};
    std::string outputs;
    for (const auto& url : urls) {
        if (!outputs.empty()) outputs.append("|");
        outputs.append("[f=flv]").append(url);
    }
    args.push_back(outputs);
    return args;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 4 && std::string(argv[1]) == "--fanout")
        return fanoutChild(std::atoi(argv[2]), std::string(argv[3]) == "abr",
                           std::vector<std::string>(argv + 4, argv + argc));
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;

    const fs::path dir = fs::temp_directory_path() / ("kestrune-bench-fanout-" + std::to_string(getpid()));
    fs::create_directories(dir);
    // ffmpeg's input in memory, as ours is.
    const fs::path inputs = (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : dir) /
                            ("kestrune-bench-fanout-input-" + std::to_string(getpid()));
    fs::create_directories(inputs);
    std::map<std::string, std::string> env;
    if (!startServer(dir, env)) return 1;
    const std::string picturesPath = (inputs / "pictures.nv12").string();
    {
        std::ofstream out(picturesPath, std::ios::binary);
        for (const auto& image : pictures()) {
            const auto bytes = packed(*image);
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
    }
    const std::string pcmPath = (inputs / "tone.pcm").string();
    const auto pcm = tone(seconds);
    std::ofstream(pcmPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size() * 2));
    const std::string pinned = pinToBenchCpus();
    const std::string base = "rtmp://127.0.0.1:" + env["RTMP_PORT"] + "/live/";
    const auto streams = [&](const std::string& who, int round, int n) {
        std::vector<std::string> names;
        for (int d = 0; d < n; ++d)
            names.push_back(who + "-" + std::to_string(round) + "-" + std::to_string(n) + "-" + std::to_string(d));
        return names;
    };
    const auto urls = [&](const std::vector<std::string>& names) {
        std::vector<std::string> all;
        for (const auto& name : names) all.push_back(base + name);
        return all;
    };
    const auto oursCommand = [&](const std::vector<std::string>& names, bool adaptive) {
        std::vector<std::string> args = {selfPath(), "--fanout", std::to_string(seconds), adaptive ? "abr" : "fixed"};
        for (const auto& url : urls(names)) args.push_back(url);
        return args;
    };

    std::printf("%d s of 1280x720@30 at 3 Mbit/s + AAC 128 kbit/s per run, live rate, %s, %d rounds alternating\n",
                seconds, pinned.c_str(), rounds);
    std::printf("  Kestrune: %s\n", commandLine(oursCommand(streams("ours", 0, 2), false)).c_str());
    std::printf("  ffmpeg:   %s\n", commandLine(ffmpegTee(seconds, picturesPath, pcmPath, urls(streams("ff", 0, 2)))).c_str());
    std::printf("%-12s %6s %6s %9s %9s\n", "contender", "dests", "round", "seconds", "CPU s");
    std::map<std::string, std::vector<double>> cpu;
    int status = 0;
    for (int round = 1; round <= rounds && status == 0; ++round) {
        for (int n : kFanOuts) {
            std::vector<std::string> order = {"Kestrune", "ffmpeg"};
            if (n == kAdaptiveFanOut) order.insert(order.begin() + 1, "Kestrune ABR");
            if (round % 2 == 0) std::reverse(order.begin(), order.end());
            for (const std::string& who : order) {
                const bool ours = who != "ffmpeg";
                const bool adaptive = who == "Kestrune ABR";
                const auto names = streams(ours ? (adaptive ? "abr" : "ours") : "ff", round, n);
                const ChildRun run = ours ? runChild(oursCommand(names, adaptive))
                                          : runChild(ffmpegTee(seconds, picturesPath, pcmPath, urls(names)));
                for (const auto& name : names) waitForRecordingDone(env["RECORD_DIR"], name);
                if (!run.ok) {
                    std::fprintf(stderr, "%s to %d destinations failed\n", who.c_str(), n);
                    status = 1;
                    break;
                }
                std::printf("%-12s %6d %6d %9.2f %9.3f\n", who.c_str(), n, round, run.wallSeconds, run.cpuSeconds);
                cpu[who + std::to_string(n)].push_back(run.cpuSeconds);
            }
            if (status != 0) break;
        }
    }
    if (status == 0) {
        std::printf("median (min-max) over %d rounds, CPU s per run:\n", rounds);
        for (int n : kFanOuts) {
            const std::string k = std::to_string(n);
            std::printf("  %2d destinations: Kestrune %s, ffmpeg %s; Kestrune/ffmpeg %s\n", n,
                        show(spread(cpu["Kestrune" + k])).c_str(), show(spread(cpu["ffmpeg" + k])).c_str(),
                        show(spread(ratio(cpu["Kestrune" + k], cpu["ffmpeg" + k])), 2).c_str());
        }
        const std::string a = std::to_string(kAdaptiveFanOut);
        std::printf("  %2d destinations, adaptive bitrate on: Kestrune %s; Kestrune/ffmpeg %s; on/off %s\n",
                    kAdaptiveFanOut, show(spread(cpu["Kestrune ABR" + a])).c_str(),
                    show(spread(ratio(cpu["Kestrune ABR" + a], cpu["ffmpeg" + a])), 2).c_str(),
                    show(spread(ratio(cpu["Kestrune ABR" + a], cpu["Kestrune" + a])), 2).c_str());
        std::vector<double> ours, theirs;
        for (double d : minus(cpu["Kestrune16"], cpu["Kestrune4"])) ours.push_back(d / 12);
        for (double d : minus(cpu["ffmpeg16"], cpu["ffmpeg4"])) theirs.push_back(d / 12);
        std::printf("  one more destination (4 -> 16): Kestrune %s, ffmpeg tee %s CPU s per run; "
                    "Kestrune/ffmpeg %.2f (of the medians)\n",
                    show(spread(ours), 4).c_str(), show(spread(theirs), 4).c_str(),
                    spread(ours).median / spread(theirs).median);
    }
    stopServer(dir);
    fs::remove_all(dir);
    fs::remove_all(inputs);
    return status;
}
