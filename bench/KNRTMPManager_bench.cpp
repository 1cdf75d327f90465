// Publishing throughput: a pre-encoded 720p stream (H.264 Main + AAC, made by ffmpeg at start)
// pushed through KNRTMPManager to a private nginx as fast as the publisher drains it, without a
// drop, beside `ffmpeg -i FILE -c copy -f flv rtmp://...` pushing the same media to the same server.
//
//   KNRTMPManager_bench [seconds of media, default 60] [rounds, default 3]
//
// MB are media payload bytes (NAL units and AAC frames, the same for both). Publisher CPU is this
// process's user+system time for ours and the ffmpeg child's for ffmpeg; server CPU is the nginx
// worker's. Rounds alternate; the best round of each is reported, as other load only adds time.
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "../tests/support/TestMedia.h"
#include "BenchSupport.h"
#include "transport/KNRTMPManager.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace knbench;
using Clock = std::chrono::steady_clock;


struct Reports : KNRTMPManagerDelegate, ReportCounter {

    void RTMPManagerDidConnectToServer(KNRTMPManager*) override { bump(connected); }
    void RTMPManagerDidFailConnectingWithError(KNRTMPManager*, std::shared_ptr<KNError>) override { bump(failed); }
    void RTMPManagerDidCloseConnection(KNRTMPManager*) override { bump(closed); }
    void RTMPManagerDidDropPacket(KNRTMPManager*) override { bump(dropped); }
    void RTMPManagerDidSendPacketWithSize(KNRTMPManager*, uint64_t) override { changed.notify_one(); }
};





struct Run {
    bool ok = false;
    double wallSeconds = 0, cpuSeconds = 0, serverCpuSeconds = 0;
};

Run publishWithKestrune(const kntest::TestMedia& media, const std::string& url) {
    Run run;
    auto manager = KNRTMPManager::create();
    auto reports = std::make_shared<Reports>();
    manager->setDelegate(reports);
    manager->setConnectionURL(url);
    const double cpu0 = selfCpuSeconds();
    const auto t0 = Clock::now();
    manager->establishConnection();
    if (!reports->waitUntil([&] { return reports->connected || reports->failed; }, std::chrono::seconds(30)) ||
        !reports->connected) {
        std::fprintf(stderr, "could not connect to %s\n", url.c_str());
        return run;
    }
    for (const auto& frame : media.frames) {
        // Only this thread adds load: below the bound nothing is ever dropped.
        reports->waitUntil([&] { return manager->queueLoad() < kMaxQueueLoad - 10; }, std::chrono::seconds(30));
        const uint64_t timestamp = 1'000'000 + frame.timestampMs;
        if (frame.video) {
            if (frame.keyFrame) manager->setVideoSPSAndPPS(frame.sps, frame.pps);
            manager->sendVideoPacketIsKeyFrameTimestamp(frame.data, frame.keyFrame, timestamp);
        } else {
            manager->sendAudioPacketTimestamp(frame.data, timestamp);
        }
    }
    manager->closeConnection();
    run.ok = reports->waitUntil([&] { return reports->closed > 0; }, std::chrono::seconds(120)) &&
             reports->dropped == 0;
    run.wallSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    run.cpuSeconds = selfCpuSeconds() - cpu0;
    if (reports->dropped) std::fprintf(stderr, "%d packets dropped\n", reports->dropped);
    return run;
}

Run publishWithFFmpeg(const std::string& file, const std::string& url) {
    Run run;
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-c", "copy", "-f", "flv", url};
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    const auto t0 = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, args.data(), environ) != 0) return run;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return run;
    run.wallSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    kntest::TestMediaOptions options;
    options.seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    options.width = 1280;
    options.height = 720;
    options.fps = 30;
    options.gopFrames = 60;
    options.videoBitrateKbps = 16000;  // enough bytes that socket buffers are a small part

    const fs::path dir = fs::temp_directory_path() / ("kestrune-bench-publish-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string quoted = "'" + kServerScript.string() + "' ";
    if (std::system((quoted + "start '" + (dir / "server").string() + "' >/dev/null 2>&1").c_str()) != 0) {
        std::fprintf(stderr, "the RTMP server did not start (%s)\n", kServerScript.c_str());
        return 1;
    }
    auto env = readEnv(dir / "server" / "server.env");
    const std::string master = env["NGINX_PID"];

    std::printf("making %d s of %dx%d@%d H.264 Main (%d kbit/s) + AAC with ffmpeg...\n", options.seconds,
                options.width, options.height, options.fps, options.videoBitrateKbps);
    const auto media = kntest::makeTestMedia(dir.string(), "media", options);
    const std::string flv = (dir / "media.flv").string();
    const std::string mux = "ffmpeg -nostdin -v error -y -framerate " + std::to_string(options.fps) + " -i '" +
                            media.h264Path + "' -i '" + media.aacPath + "' -c copy '" + flv + "' >/dev/null 2>&1";
    int status = 0;
    if (!media.error.empty() || std::system(mux.c_str()) != 0) {
        std::fprintf(stderr, "could not make the media: %s\n", media.error.c_str());
        status = 1;
    }
    double megabytes = 0;
    for (const auto& frame : media.frames) megabytes += static_cast<double>(frame.data->size()) / 1e6;

    const char* names[2] = {"KNRTMPManager", "ffmpeg -c copy"};
    Run best[2];
    if (status == 0) {
        std::printf("%.1f MB of media (%zu video, %zu audio frames) to rtmp://127.0.0.1:%s, %d rounds\n", megabytes,
                    media.videoFrames, media.audioFrames, env["RTMP_PORT"].c_str(), rounds);
        std::printf("%-16s %6s %9s %9s %9s %12s %13s\n", "publisher", "round", "seconds", "MB/s", "CPU s",
                    "CPU ms/MB", "server CPU s");
    }
    for (int round = 1; round <= rounds && status == 0; ++round) {
        for (int i = 0; i < 2 && status == 0; ++i) {
            const std::string stream = "bench-" + std::to_string(round) + "-" + std::to_string(i);
            const std::string url = "rtmp://127.0.0.1:" + env["RTMP_PORT"] + "/live/" + stream;
            const double server0 = serverCpuSeconds(master);
            Run run = i == 0 ? publishWithKestrune(media, url) : publishWithFFmpeg(flv, url);
            waitForRecordingDone(env["RECORD_DIR"], stream);
            run.serverCpuSeconds = serverCpuSeconds(master) - server0;
            if (!run.ok) {
                std::fprintf(stderr, "%s failed\n", names[i]);
                status = 1;
                break;
            }
            std::printf("%-16s %6d %9.2f %9.1f %9.3f %12.2f %13.3f\n", names[i], round, run.wallSeconds,
                        megabytes / run.wallSeconds, run.cpuSeconds, 1000.0 * run.cpuSeconds / megabytes,
                        run.serverCpuSeconds);
            if (best[i].wallSeconds == 0 || run.wallSeconds < best[i].wallSeconds) best[i].wallSeconds = run.wallSeconds;
            if (best[i].cpuSeconds == 0 || run.cpuSeconds < best[i].cpuSeconds) best[i].cpuSeconds = run.cpuSeconds;
        }
    }
    if (status == 0) {
        std::printf("best: KNRTMPManager %.1f MB/s at %.2f CPU ms/MB, ffmpeg %.1f MB/s at %.2f CPU ms/MB\n",
                    megabytes / best[0].wallSeconds, 1000.0 * best[0].cpuSeconds / megabytes,
                    megabytes / best[1].wallSeconds, 1000.0 * best[1].cpuSeconds / megabytes);
        std::printf("ratio KNRTMPManager/ffmpeg: throughput %.2fx, CPU per MB %.2fx\n",
                    best[1].wallSeconds / best[0].wallSeconds, best[0].cpuSeconds / best[1].cpuSeconds);
    }
    std::system((quoted + "stop '" + (dir / "server").string() + "' >/dev/null 2>&1").c_str());
    fs::remove_all(dir);
    return status;
}
