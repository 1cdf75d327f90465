// The push road against ffmpeg: the same 720p30 file, made by ffmpeg at the start, pushed in real
// time to one local nginx destination, once through KNFileInputSource and KNStreamer and once by
// `ffmpeg -re` with libx264 at the library's own x264 settings: the same preset, tune, profile,
// bit rate, rate cap and buffer (the encoder caps its rate at the average with half a second of
// buffer), key-frame interval, no scene cuts, and one thread for the encoder and one for the
// decoder, as the library runs them. Each side runs in a child process pinned to the same cores;
// rounds alternate. Reports CPU seconds per second of media and the maximum resident memory, and
// the medians of the values and of the per-round ratios.
//
//   bench_push_bench [seconds of media, 60] [rounds, 3] [cores, "2"]
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "kestrune/KNError.h"
#include "kestrune/KNFileInputSource.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"
#include "kestrune/KNStreamer.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"

namespace {

using namespace std::chrono_literals;

constexpr int64_t kVideoBitrate = 2500000;  // bits per second
constexpr uint64_t kAudioBitrate = 128000;  // bits per second
constexpr int kKeyFrameInterval = 20;       // frames; the streamer's fixed interval

struct Sample {
    double cpuSeconds = 0;
    double wallSeconds = 0;
    long maxRssKB = 0;
    bool ok = false;
};

void pin(const std::string& cores) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (size_t at = 0; at < cores.size();) {
        const size_t comma = cores.find(',', at);
        CPU_SET(std::atoi(cores.substr(at, comma - at).c_str()), &set);
        at = comma == std::string::npos ? cores.size() : comma + 1;
    }
    sched_setaffinity(0, sizeof set, &set);
}

class Forward : public KNFileInputSourceDelegate, public KNStreamSourceDelegate {
public:
    explicit Forward(std::shared_ptr<KNStreamer> s) : streamer(std::move(s)) {}
    void fileInputSourceDidReadVideoSample(KNFileInputSource*, const std::shared_ptr<platform::SampleBuffer>& b) override {
        streamer->sendVideoBuffer(b);
    }
    void fileInputSourceDidReadAudioSample(KNFileInputSource*, const std::shared_ptr<platform::SampleBuffer>& b) override {
        streamer->sendAudioBuffer(b);
    }
    void streamSourceDidConnect(const std::shared_ptr<KNStreamSource>&) override { reports.bump(reports.connected); }
    void streamSourceDidFailConnectingWithError(const std::shared_ptr<KNStreamSource>&,
                                                const std::shared_ptr<KNError>&) override {
        reports.bump(reports.failed);
    }
    void streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>&) override { reports.bump(reports.closed); }
    std::shared_ptr<KNStreamer> streamer;
    knbench::ReportCounter reports;
};

// The child's whole push; its exit status says whether it went through.
int pushWithKestrune(const std::string& file, const std::string& url) {
    auto streamer = KNStreamer::create();
    streamer->videoSettings()->setOutputBitrate(kVideoBitrate);
    streamer->audioSettings()->setSampleRateWithError(48000);
    streamer->audioSettings()->setChannelsNumberWithError(2);
    streamer->audioSettings()->setOutputBitrate(kAudioBitrate);
    auto forward = std::make_shared<Forward>(streamer);
    auto info = KNStreamInfo::create();
    info->setCustomStreamURLString(url);
    auto destination = streamer->addStreamSourceWithInfo(info);
    destination->setDelegate(forward);
    destination->setOn(true);
    auto& r = forward->reports;
    if (!r.waitUntil([&] { return r.connected + r.failed > 0; }, 20s) || r.connected == 0) return 1;
    auto source = KNFileInputSource::create();
    source->setDelegate(forward);
    source->setVideoURL(platform::URL::fromFilePath(file));
    streamer->startStreamingWithCompletion();
    source->startReadingWithError();
    const auto reading = [&] {
        auto reader = source->assetReader();
        return reader && (reader->status() == platform::AssetReaderStatus::Reading ||
                          reader->status() == platform::AssetReaderStatus::Unknown);
    };
    // The reading paces itself; the check only needs to notice its end.
    for (int i = 0; i < 100000 && reading(); ++i) r.waitUntil([] { return false; }, 1s);
    r.waitUntil([] { return false; }, 1s);  // the last scheduled audio pieces
    streamer->stopStreaming();
    streamer->removeStreamSource(destination);
    r.waitUntil([&] { return r.closed > 0; }, 20s);
    return 0;
}

Sample reap(pid_t pid, std::chrono::steady_clock::time_point start) {
    int status = 0;
    rusage usage{};
    Sample s;
    if (wait4(pid, &status, 0, &usage) != pid) return s;
    s.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    s.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    s.maxRssKB = usage.ru_maxrss;
    s.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return s;
}

Sample runKestrune(const std::string& cores, const std::string& file, const std::string& url) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        pin(cores);
        _exit(pushWithKestrune(file, url));
    }
    return reap(pid, start);
}

std::vector<std::string> ffmpegArgs(const std::string& file, const std::string& url) {
    const std::string gop = std::to_string(kKeyFrameInterval);
    const std::string videoRate = std::to_string(kVideoBitrate);
    const std::string audioRate = std::to_string(kAudioBitrate);
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-loglevel", "error", "-threads", "1", "-re", "-i", file,
                                     "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
                                     "-profile:v", "main", "-bf", "0", "-g", gop, "-b:v", videoRate,
                                     "-maxrate", videoRate, "-bufsize", std::to_string(kVideoBitrate / 2),
                                     "-x264-params", "threads=1:sliced-threads=0:lookahead-threads=1:scenecut=0"};
    for (const char* a : {"-c:a", "aac", "-b:a"}) args.emplace_back(a);
    args.push_back(audioRate);
    for (const char* a : {"-f", "flv"}) args.emplace_back(a);
    args.push_back(url);
    return args;
}

Sample runFfmpeg(const std::string& cores, const std::vector<std::string>& args) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        pin(cores);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp("ffmpeg", argv.data());
        _exit(127);
    }
    return reap(pid, start);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::string cores = argc > 3 ? argv[3] : "2";
    const auto dir = knbench::fs::temp_directory_path() / ("kn-push-bench-" + std::to_string(getpid()));
    knbench::fs::create_directories(dir);
    const std::string file = (dir / "in.mp4").string();
    const std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=30 -f lavfi -i "
                             "sine=frequency=440:sample_rate=48000 -t " + std::to_string(seconds) +
                             " -c:v libx264 -preset fast -pix_fmt yuv420p -g 60 -b:v 4M -c:a aac -ac 2 '" + file + "'";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "ffmpeg could not make the input\n");
        return 1;
    }
    const std::string quoted = "'" + knbench::kServerScript.string() + "' ";
    if (std::system((quoted + "start '" + (dir / "srv").string() + "' >/dev/null 2>&1").c_str()) != 0) {
        std::fprintf(stderr, "the RTMP server did not start\n");
        return 1;
    }
    auto env = knbench::readEnv(dir / "srv" / "server.env");
    const std::string base = "rtmp://127.0.0.1:" + env["RTMP_PORT"] + "/live/";
    std::printf("%d s of 1280x720 at 30 fps + 48 kHz stereo, %d rounds, both sides pinned to cores %s\n", seconds,
                rounds, cores.c_str());
    std::printf("%-22s round  wall s   CPU s  CPU s per s  max RSS MB\n", "pusher");
    std::vector<double> ours, theirs, oursRss, theirsRss, ratios;
    for (int round = 1; round <= rounds; ++round) {
        for (int side = 0; side < 2; ++side) {
            const bool kestrune = (round + side) % 2 == 1;  // alternate which goes first
            const std::string url = base + (kestrune ? "kn-" : "ff-") + std::to_string(round);
            const auto args = ffmpegArgs(file, url);
            if (round == 1 && !kestrune) {
                std::string line;
                for (const auto& a : args) line += a + " ";
                std::printf("ffmpeg side: %s\n", line.c_str());
            }
            const Sample s = kestrune ? runKestrune(cores, file, url) : runFfmpeg(cores, args);
            std::printf("%-22s %5d %7.1f %7.2f %12.4f %11.1f%s\n", kestrune ? "KNStreamer" : "ffmpeg -re", round,
                        s.wallSeconds, s.cpuSeconds, s.cpuSeconds / seconds, s.maxRssKB / 1024.0, s.ok ? "" : "  FAILED");
            (kestrune ? ours : theirs).push_back(s.cpuSeconds / seconds);
            (kestrune ? oursRss : theirsRss).push_back(s.maxRssKB / 1024.0);
        }
        ratios.push_back(ours.back() / theirs.back());
    }
    std::printf("median CPU s per s: KNStreamer %.4f, ffmpeg %.4f; per-round ratio KNStreamer/ffmpeg median %.2fx "
                "(%.2f-%.2f); max RSS MB: %.1f vs %.1f\n",
                median(ours), median(theirs), median(ratios), *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()), median(oursRss), median(theirsRss));
    std::system((quoted + "stop '" + (dir / "srv").string() + "' >/dev/null 2>&1").c_str());
    knbench::fs::remove_all(dir);
    return 0;
}
