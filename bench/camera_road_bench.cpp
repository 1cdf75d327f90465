// The camera road against ffmpeg: the synthetic camera and 44.1 kHz tone through the recorder
// (public KNRecorder, synthetic capture backends) streaming 1280x720 at 30 fps to one destination on
// a private local nginx, and `ffmpeg -re` doing the same from lavfi's testsrc2 + sine with libx264
// at our encoder's preset, tune, profile, bit rate and key-frame interval (one thread, as ours) + AAC.
// The recorder's capture preset follows the resolution, so the camera delivers 1280x720 and
// nothing is scaled; ffmpeg's testsrc2 is 1280x720 too. The stream keeps the sensor's own landscape
// orientation, so no frame is turned on our side.
//
//   camera_road_bench [seconds of media, default 20] [rounds, default 3]
//
// Whole process against whole process, pinned to the same cores (KESTRUNE_BENCH_CPUS), contenders
// alternating. Each side also runs with its sources only (ours: the camera and microphone running
// with nothing streaming; ffmpeg: the same lavfi graph into the null muxer), so the painting of the
// synthetic pictures is told apart from the road behind it. Reports CPU seconds per second of media.
// Our runs include one second of camera before the start (see roadChild), about 1/seconds of the
// source's cost more than ffmpeg's runs.
//
// After the rounds, one more run of ours measures frame submission to socket write from the
// library's own packet lines (see latencyChild); its logging is kept out of the CPU rounds.
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "kestrune/KNError.h"
#include "kestrune/KNLogSettings.h"
#include "kestrune/KNMainLoop.h"
#include "kestrune/KNRecorder.h"
#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"

namespace {

using namespace knbench;
using namespace std::chrono_literals;

constexpr int64_t kWidth = 1280;
constexpr int64_t kHeight = 720;
const char* const kCaptureSize = "1280x720";  // the preset the resolution asks for
constexpr int64_t kFps = 30;
constexpr int64_t kVideoBitrate = 2500000;  // bits per second
constexpr int64_t kAudioBitrate = 80000;    // the hub's own AAC rate
constexpr int64_t kSampleRate = 44100;
constexpr int64_t kKeyFrameInterval = 45;   // frames; the settings' default

std::shared_ptr<KNRecorderSettings> roadSettings() {
    auto settings = KNRecorderSettings::recorderSettings();
    settings->setVideoFrameResolution(kWidth * kHeight);
    settings->setVideoFrameResolutionInverted(false);
    settings->setVideoOrientation(KNVideoOrientationLandscapeRight);
    settings->setFrameRate(kFps);
    settings->setVideoBitrate(kVideoBitrate);
    settings->setKeyFrameInterval(kKeyFrameInterval);
    settings->setAudioSampleRate(kSampleRate);
    settings->setExportLocalVideoToAssetLibrary(false);
    return settings;
}

// The child's own messages; the library's log lines go nowhere, so the table stays readable.
FILE* report = stderr;

// Standard error becomes `fd` (which is closed); the child's own messages keep the old one.
void divertStandardError(int fd) {
    const int kept = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    if (kept < 0) return;
    if (FILE* saved = fdopen(kept, "w")) report = saved;
}

void quietLibrary() {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0) return;
    dup2(null, STDOUT_FILENO);
    divertStandardError(null);
}

class Host : public KNRecorderDelegate, public KNStreamSourceDelegate {
public:
    void recorderDidReceiveError(KNRecorder&, const std::shared_ptr<KNError>& error) override {
        std::fprintf(report, "error: %s\n", error->description().c_str());
        failed = true;
    }
    void recorderDidDropRtmpPacket(KNRecorder&) override { ++drops; }
    void streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>&) override { closed = true; }
    void streamSourceDidFailConnectingWithError(const std::shared_ptr<KNStreamSource>&,
                                                const std::shared_ptr<KNError>& error) override {
        std::fprintf(report, "connection failed: %s\n", error->description().c_str());
        failed = true;
        closed = true;
    }
    std::atomic<int> drops{0};
    std::atomic<bool> closed{false};
    std::atomic<bool> failed{false};
};

void runMainFor(int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    KNMainLoop::runUntil([&] { return std::chrono::steady_clock::now() >= end; }, std::chrono::seconds(seconds + 5));
}

// Ours, whole process: camera and microphone on, stream `seconds` to `url` (or, without a url,
// stream nothing), close.
int streamRoad(int seconds, const std::string& url) {
    auto info = KNStreamInfo::create();
    info->setCustomStreamURLString(url.empty() ? "rtmp://127.0.0.1:1/unused/none" : url);
    auto host = std::make_shared<Host>();
    auto recorder = KNRecorder::recorderWithStreamInfo(info, roadSettings());
    recorder->setRecorderDelegate(host);
    recorder->prepareToRecord();
    if (url.empty()) {
        runMainFor(seconds + 1);  // the road's settling second too
        recorder->endSession();
        return 0;
    }
    for (const auto& source : recorder->streamSources()) source->setDelegate(host);
    // The audio session's first route change stops a stream started before it arrives: let the
    // devices settle, and start again if a start was stopped all the same.
    KNMainLoop::runUntil([] { return false; }, 1s);
    std::atomic<bool> answered{false};
    std::atomic<bool> started{false};
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        answered = false;
        KNMainLoop::async([&] {
            recorder->startStreaming([&](bool success, std::shared_ptr<KNError> error) {
                if (!success) std::fprintf(report, "start: %s\n", error ? error->description().c_str() : "refused");
                started = success;
                answered = true;
            });
        });
        KNMainLoop::runUntil([&] { return answered.load(); }, 30s);
        if (!started) KNMainLoop::runUntil([] { return false; }, 500ms);
    }
    if (started) runMainFor(seconds);
    recorder->stopStreaming();
    for (const auto& source : recorder->streamSources()) source->setOn(false);
    KNMainLoop::runUntil([&] { return host->closed.load(); }, 30s);
    recorder->endSession();
    if (!answered || !host->closed) std::fprintf(report, "%s\n", answered ? "never closed" : "start not answered");
    if (host->drops) std::fprintf(report, "%d packets dropped\n", host->drops.load());
    return started && host->closed && !host->failed ? 0 : 1;
}

int roadChild(int seconds, const std::string& url) {
    quietLibrary();
    return streamRoad(seconds, url);
}

// The library's console line: "YYYY-MM-DD HH:MM:SS.mmm name[pid:tid] INFO: text", stamped with
// local wall time. Answers the stamp in ms of the monotonic clock, or -1.
double lineTimeMs(const char* line, double wallMinusMonotonicMs) {
    std::tm local{};
    int millis = 0;
    if (std::sscanf(line, "%d-%d-%d %d:%d:%d.%d", &local.tm_year, &local.tm_mon, &local.tm_mday, &local.tm_hour,
                    &local.tm_min, &local.tm_sec, &millis) != 7) {
        return -1;
    }
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    local.tm_isdst = -1;
    return static_cast<double>(std::mktime(&local)) * 1000.0 + millis - wallMinusMonotonicMs;
}

double monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Frame submission to socket write, read off the library's packet lines. A frame's time is its
// submission to the encoder on the host clock (monotonic, ms). The first key frame's "Enqueued" line
// shows that time whole, as nothing has been sent yet; each "Sent video packet" line, logged when
// the write has returned, shows the frame's time since the stream's video base, which the first
// key frame's own "Sent" line fixes.
int latencyChild(int seconds, const std::string& url) {
    int fds[2];
    if (pipe(fds) != 0) return 1;
    divertStandardError(fds[1]);
    const double wallMs = std::chrono::duration<double, std::milli>(
                              std::chrono::system_clock::now().time_since_epoch()).count();
    const double wallMinusMonotonicMs = wallMs - monotonicMs();
    std::vector<double> latencies;
    std::thread reader([&] {
        FILE* in = fdopen(fds[0], "r");
        char line[2048];
        double firstKeyMs = -1;
        double baseMs = -1;
        const char* enqueued = "INFO: Enqueued video packet with timestamp: ";
        const char* sent = "INFO: Sent video packet with timestamp: ";
        while (in && std::fgets(line, sizeof line, in)) {
            if (const char* at = std::strstr(line, enqueued)) {
                if (firstKeyMs < 0 && std::strstr(at, "keyframe: 1")) firstKeyMs = std::atof(at + std::strlen(enqueued));
                continue;
            }
            const char* at = std::strstr(line, sent);
            const double writtenMs = lineTimeMs(line, wallMinusMonotonicMs);
            if (!at || writtenMs < 0 || firstKeyMs < 0) continue;
            const double sinceBase = std::atof(at + std::strlen(sent));
            if (baseMs < 0) baseMs = firstKeyMs - sinceBase;
            latencies.push_back(writtenMs - (baseMs + sinceBase));
        }
        if (in) std::fclose(in);
    });
    auto log = KNLogSettings::create();
    log->setLogOutput(KNLogOutputConsole);
    log->setLogScope(KNLogScopeAll);
    log->setLogLevel(KNLogLevelInfo);
    const int status = streamRoad(seconds, url);
    log->setLogLevel(KNLogLevelNone);
    close(STDERR_FILENO);
    reader.join();
    if (latencies.size() < 10) {
        std::printf("frame submission to socket write: too few packet lines (%zu)\n", latencies.size());
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) { return latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))]; };
    std::printf("frame submission to socket write, %zu frames: median %.1f ms, p99 %.1f ms, max %.1f ms\n",
                latencies.size(), at(0.5), at(0.99), latencies.back());
    return status;
}

// ffmpeg from lavfi; into `url` as FLV, or into the null muxer without one.
std::vector<std::string> ffmpegArgs(int seconds, const std::string& url) {
    const std::string source = std::string("testsrc2=size=") + kCaptureSize + ":rate=" + std::to_string(kFps);
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i", source,
                                     "-re", "-f", "lavfi",
                                     "-i", "sine=frequency=440:sample_rate=" + std::to_string(kSampleRate),
                                     "-t", std::to_string(seconds)};
    if (url.empty()) {
        for (const char* a : {"-f", "null", "-"}) args.emplace_back(a);
        return args;
    }
    const std::string rate = std::to_string(kVideoBitrate / 1000) + "k";
    // The encoder caps its rate at the average with half a second of buffer.
    const std::string buffer = std::to_string(kVideoBitrate / 2000) + "k";
    const std::vector<std::string> encode = {
        "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-profile:v", "main",
        "-bf", "0", "-g", std::to_string(kKeyFrameInterval), "-b:v", rate, "-maxrate", rate, "-bufsize", buffer,
        "-x264-params", "threads=1:sliced-threads=0:lookahead-threads=1:scenecut=0", "-c:a", "aac", "-ac", "1",
        "-b:a", std::to_string(kAudioBitrate), "-f", "flv", url};
    args.insert(args.end(), encode.begin(), encode.end());
    return args;
}

// Video frames and audio packets the server recorded, as "frames/packets"; what both sides sent.
std::string recorded(const std::string& recordDir, const std::string& stream) {
    std::string counts;
    for (const char* kind : {"v:0", "a:0"}) {
        const std::string probe = std::string("ffprobe -v error -select_streams ") + kind +
                                  " -count_packets -show_entries stream=nb_read_packets -of csv=p=0 '" + recordDir +
                                  "/" + stream + ".flv'";
        char line[64] = {0};
        FILE* pipe = popen(probe.c_str(), "r");
        if (pipe && !std::fgets(line, sizeof line, pipe)) line[0] = 0;
        if (pipe) pclose(pipe);
        std::string count(line);
        while (!count.empty() && (count.back() == '\n' || count.back() == ',')) count.pop_back();
        if (!counts.empty()) counts.append("/");
        counts.append(count.empty() ? "?" : count);
    }
    return counts;
}

const char* const kSides[] = {"hub road", "hub source only", "ffmpeg road", "ffmpeg source only"};

void printSummary(std::map<std::string, std::vector<double>>& perSecond, int rounds) {
    const auto& ours = perSecond["hub road"];
    const auto& theirs = perSecond["ffmpeg road"];
    const auto oursRoad = minus(ours, perSecond["hub source only"]);
    const auto theirsRoad = minus(theirs, perSecond["ffmpeg source only"]);
    std::printf("median (min-max) over %d rounds, CPU s per s of media:\n", rounds);
    for (const char* side : kSides) std::printf("  %-20s %s\n", side, show(spread(perSecond[side])).c_str());
    std::printf("  hub road without its source    %s\n", show(spread(oursRoad)).c_str());
    std::printf("  ffmpeg road without its source %s\n", show(spread(theirsRoad)).c_str());
    std::printf("hub/ffmpeg, with the sources:    %s\n", show(spread(ratio(ours, theirs)), 2).c_str());
    std::printf("hub/ffmpeg, without the sources: %s\n", show(spread(ratio(oursRoad, theirsRoad)), 2).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--road") return roadChild(std::atoi(argv[2]), argv[3]);
    if (argc == 4 && std::string(argv[1]) == "--latency") return latencyChild(std::atoi(argv[2]), argv[3]);
    if (argc == 3 && std::string(argv[1]) == "--source") return roadChild(std::atoi(argv[2]), "");
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    setenv("KESTRUNE_CAPTURE_BACKEND", "synthetic", 1);
    setenv("KESTRUNE_AUDIO_BACKEND", "synthetic", 1);

    const fs::path dir = fs::temp_directory_path() / ("kestrune-bench-camera-road-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::map<std::string, std::string> env;
    if (!startServer(dir, env)) return 1;
    const std::string pinned = pinToBenchCpus();
    const std::string base = "rtmp://127.0.0.1:" + env["RTMP_PORT"] + "/live/";
    const auto command = [&](const std::string& side, const std::string& stream) -> std::vector<std::string> {
        const std::string url = stream.empty() ? "" : base + stream;
        if (side == "hub road") return {selfPath(), "--road", std::to_string(seconds), url};
        if (side == "hub source only") return {selfPath(), "--source", std::to_string(seconds)};
        return ffmpegArgs(seconds, url);
    };
    const auto streamOf = [](const std::string& side, int round) {
        if (side.find("road") == std::string::npos) return std::string();
        return (side[0] == 'h' ? "hub-" : "ff-") + std::to_string(round);
    };

    std::printf("%d s of %ldx%ld@%ld at %.1f Mbit/s (key frame every %ld) + %ld Hz AAC %ld kbit/s per run, live rate, "
                "%s, %d rounds alternating\n",
                seconds, kWidth, kHeight, kFps, kVideoBitrate / 1e6, kKeyFrameInterval, kSampleRate,
                kAudioBitrate / 1000, pinned.c_str(), rounds);
    for (const char* side : kSides)
        std::printf("  %-20s KESTRUNE_CAPTURE_BACKEND=synthetic KESTRUNE_AUDIO_BACKEND=synthetic %s\n", side,
                    commandLine(command(side, streamOf(side, 0))).c_str());
    std::printf("%-20s %6s %9s %9s %12s  %s\n", "contender", "round", "seconds", "CPU s", "CPU s per s",
                "recorded video/audio packets");
    std::map<std::string, std::vector<double>> perSecond;
    int status = 0;
    for (int round = 1; round <= rounds && status == 0; ++round) {
        std::vector<std::string> order(std::begin(kSides), std::end(kSides));
        if (round % 2 == 0) std::swap_ranges(order.begin(), order.begin() + 2, order.begin() + 2);
        for (const auto& side : order) {
            const std::string stream = streamOf(side, round);
            const ChildRun run = runChild(command(side, stream));
            if (!stream.empty()) waitForRecordingDone(env["RECORD_DIR"], stream);
            if (!run.ok) {
                std::fprintf(stderr, "%s failed: %s\n", side.c_str(), commandLine(command(side, stream)).c_str());
                status = 1;
                break;
            }
            std::printf("%-20s %6d %9.2f %9.3f %12.4f  %s\n", side.c_str(), round, run.wallSeconds, run.cpuSeconds,
                        run.cpuSeconds / seconds, stream.empty() ? "-" : recorded(env["RECORD_DIR"], stream).c_str());
            std::fflush(stdout);
            perSecond[side].push_back(run.cpuSeconds / seconds);
        }
    }
    if (status == 0) printSummary(perSecond, rounds);
    if (status == 0) {
        std::fflush(stdout);
        const std::vector<std::string> latency = {selfPath(), "--latency", std::to_string(seconds), base + "latency"};
        std::printf("  %-20s %s\n", "hub latency", commandLine(latency).c_str());
        std::fflush(stdout);
        if (!runChild(latency).ok) status = 1;
    }
    stopServer(dir);
    fs::remove_all(dir);
    return status;
}
