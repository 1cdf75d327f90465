#pragma once
// What the benches that push a pre-encoded file share. Each contender is a whole process, ours
// included: this very program run again as `--publish DIR URL SECONDS` (read the media files,
// split them, connect, publish, close) or `--read DIR SECONDS` (read and split only). Reading
// costs are then taken off both sides the same way: ffmpeg's push minus `ffmpeg -i FILE -c copy
// -f null -`, ours minus our read-only run.
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "../tests/support/TestMedia.h"
#include "BenchSupport.h"
#include "transport/KNRTMPManager.h"

namespace knbench {

// 720p30 H.264 Main at 16 Mbit/s plus AAC: enough bytes that socket buffers are a small part.
inline kntest::TestMediaOptions pushMediaOptions(int seconds) {
    kntest::TestMediaOptions options;
    options.seconds = seconds;
    options.width = 1280;
    options.height = 720;
    options.fps = 30;
    options.gopFrames = 60;
    options.videoBitrateKbps = 16000;
    return options;
}

struct ManagerReports : KNRTMPManagerDelegate, ReportCounter {
    void RTMPManagerDidConnectToServer(KNRTMPManager*) override { bump(connected); }
    void RTMPManagerDidFailConnectingWithError(KNRTMPManager*, std::shared_ptr<KNError>) override { bump(failed); }
    void RTMPManagerDidCloseConnection(KNRTMPManager*) override { bump(closed); }
    void RTMPManagerDidDropPacket(KNRTMPManager*) override { bump(dropped); }
    void RTMPManagerDidSendPacketWithSize(KNRTMPManager*, uint64_t) override { changed.notify_one(); }
};

// Publishes every frame as fast as the publisher drains it, without a drop; true when all went.
inline bool publishMedia(const kntest::TestMedia& media, const std::string& url) {
    auto manager = KNRTMPManager::create();
    auto reports = std::make_shared<ManagerReports>();
    manager->setDelegate(reports);
    manager->setConnectionURL(url);
    manager->establishConnection();
    if (!reports->waitUntil([&] { return reports->connected || reports->failed; }, std::chrono::seconds(30)) ||
        !reports->connected) {
        std::fprintf(stderr, "could not connect to %s\n", url.c_str());
        return false;
    }
    for (const auto& frame : media.frames) {
        // Only this thread adds load: below the bound nothing is ever dropped.
        reports->waitUntil([&] { return manager->queueLoad() < kMaxQueueLoad - 10; }, std::chrono::seconds(30));
        kntest::handOver(*manager, frame, 1'000'000 + frame.timestampMs);
    }
    manager->closeConnection();
    const bool closed = reports->waitUntil([&] { return reports->closed > 0; }, std::chrono::seconds(120));
    if (reports->dropped) std::fprintf(stderr, "%d packets dropped\n", reports->dropped);
    return closed && reports->dropped == 0;
}

// The child modes; answers -1 when argv asks for none of them.
inline int pushChildMain(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--read" && argc == 4) {
        const auto media = kntest::readTestMedia(argv[2], "media", pushMediaOptions(std::atoi(argv[3])));
        return media.error.empty() ? 0 : 1;
    }
    if (mode == "--connect" && argc == 3) {  // connect and close, no media: what a push costs besides its bytes
        return publishMedia(kntest::TestMedia{}, argv[2]) ? 0 : 1;
    }
    if (mode == "--publish" && argc == 5) {
        const auto media = kntest::readTestMedia(argv[2], "media", pushMediaOptions(std::atoi(argv[4])));
        return media.error.empty() && publishMedia(media, argv[3]) ? 0 : 1;
    }
    return -1;
}

// Makes the media files in dir (media.h264, media.aac, and both muxed into media.flv); the MB of
// payload (NAL units and AAC frames, the same for every contender), or 0 on failure.
inline double makePushMedia(const fs::path& dir, int seconds) {
    const auto options = pushMediaOptions(seconds);
    std::printf("making %d s of %dx%d@%d H.264 Main (%d kbit/s) + AAC with ffmpeg...\n", options.seconds,
                options.width, options.height, options.fps, options.videoBitrateKbps);
    const auto media = kntest::makeTestMedia(dir.string(), "media", options);
    const std::string mux = "ffmpeg -nostdin -v error -y -framerate " + std::to_string(options.fps) + " -i '" +
                            media.h264Path + "' -i '" + media.aacPath + "' -c copy '" + (dir / "media.flv").string() +
                            "' >/dev/null 2>&1";
    if (!media.error.empty() || std::system(mux.c_str()) != 0) {
        std::fprintf(stderr, "could not make the media: %s\n", media.error.c_str());
        return 0;
    }
    double megabytes = 0;
    for (const auto& frame : media.frames) megabytes += static_cast<double>(frame.data->size()) / 1e6;
    std::printf("%.1f MB of media (%zu video, %zu audio frames)\n", megabytes, media.videoFrames, media.audioFrames);
    return megabytes;
}

struct Contender {
    std::string name;
    std::vector<std::string> argv;
    std::string stream;  // the server records it; empty for one that publishes nothing
};

// Runs the contenders one after the other, round after round, each whole process; prints a line
// per run and answers each contender's CPU seconds by round. Empty when a run failed.
inline std::map<std::string, std::vector<double>> runRounds(
    const std::function<std::vector<Contender>(int round)>& contenders, int rounds, const std::string& recordDir,
    double megabytes) {
    std::map<std::string, std::vector<double>> cpu;
    std::printf("%-28s %6s %9s %9s %11s\n", "contender", "round", "seconds", "CPU s", "CPU ms/MB");
    for (int round = 1; round <= rounds; ++round) {
        for (const auto& c : contenders(round)) {
            const ChildRun run = runChild(c.argv);
            if (!c.stream.empty()) waitForRecordingDone(recordDir, c.stream);
            if (!run.ok) {
                std::fprintf(stderr, "%s failed: %s\n", c.name.c_str(), commandLine(c.argv).c_str());
                return {};
            }
            std::printf("%-28s %6d %9.2f %9.3f %11.3f\n", c.name.c_str(), round, run.wallSeconds, run.cpuSeconds,
                        1000.0 * run.cpuSeconds / megabytes);
            cpu[c.name].push_back(run.cpuSeconds);
        }
    }
    return cpu;
}

inline std::vector<double> perMB(const std::vector<double>& seconds, double megabytes) {
    std::vector<double> r;
    for (double s : seconds) r.push_back(1000.0 * s / megabytes);
    return r;
}

}  // namespace knbench
