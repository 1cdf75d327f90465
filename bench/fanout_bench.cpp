// Fan-out cost: one pre-encoded stream (H.264 Main + AAC, made by ffmpeg at start) handed to the
// stream sources manager, which publishes it to 1 and then to 4 destinations on a private nginx
// (started with the test fixture's script, loopback only), as fast as the slowest publisher drains.
//
//   fanout_bench [seconds of media, default 30] [rounds, default 3]
//
// CPU is this process's user+system time from connecting to the last close; the server runs in its
// own processes and is not counted. "Heap bytes per hand-over" counts what the feeding thread
// allocates inside the manager's send calls; a payload copy per destination would show up there as
// at least the payload size times the destinations. The payload's use count right after a
// hand-over shows the destinations holding the one buffer.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <string>
#include <thread>

#include "../tests/support/TestMedia.h"
#include "BenchSupport.h"
#include "kestrune/KNStreamInfo.h"
#include "transport/KNRTMPManager.h"
#include "transport/KNStreamSourcesManager.h"

namespace {

// Heap use of the calling thread while `tCounting` is set.
thread_local bool tCounting = false;
thread_local uint64_t tAllocations = 0;
thread_local uint64_t tAllocatedBytes = 0;

void* allocate(std::size_t size) {
    if (tCounting) {
        ++tAllocations;
        tAllocatedBytes += size;
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace fs = std::filesystem;
using namespace knbench;
using Clock = std::chrono::steady_clock;


struct Reports : KNStreamSourcesManagerDelegate, ReportCounter {

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
};




struct Run {
    bool ok = false;
    double wallSeconds = 0, cpuSeconds = 0;
    uint64_t handOvers = 0, heapBytes = 0, heapAllocations = 0;
    long maxUseCount = 0;
};

Run publish(const kntest::TestMedia& media, const std::string& server, const std::vector<std::string>& streams) {
    Run run;
    auto manager = KNStreamSourcesManager::create();
    auto reports = std::make_shared<Reports>();
    manager->setDelegate(reports);
    manager->setRtmpTimeout(10);
    std::vector<std::shared_ptr<KNStreamSource>> sources;
    for (const auto& stream : streams) {
        auto info = KNStreamInfo::create();
        info->setServerAddress(server);
        info->setApplicationName("live");
        info->setStreamName(stream);
        sources.push_back(manager->addSourceWithStreamInfo(info));
    }
    const int n = static_cast<int>(sources.size());

    const double cpu0 = selfCpuSeconds();
    const auto t0 = Clock::now();
    manager->establishConnectionToAllSources();
    if (!reports->waitUntil([&] { return reports->connected + reports->failed == n; }, std::chrono::seconds(30)) ||
        reports->connected != n) {
        std::fprintf(stderr, "only %d of %d destinations connected\n", reports->connected, n);
        return run;
    }
    auto busiest = [&] {
        int64_t load = 0;
        for (auto& s : sources) load = std::max(load, s->rtmpManager()->queueLoad());
        return load;
    };
    for (const auto& frame : media.frames) {
        // Only this thread adds load: below the bound nothing is dropped.
        while (busiest() >= kMaxQueueLoad - 10) std::this_thread::sleep_for(std::chrono::microseconds(100));
        const uint64_t timestamp = 1'000'000 + frame.timestampMs;
        tCounting = true;
        if (frame.video) {
            if (frame.keyFrame) manager->setVideoSPSAndPPS(frame.sps, frame.pps);
            manager->sendVideoPacketIsKeyFrameTimestamp(frame.data, frame.keyFrame, timestamp);
        } else {
            manager->sendAudioPacketTimestamp(frame.data, timestamp);
        }
        tCounting = false;
        run.maxUseCount = std::max(run.maxUseCount, frame.data.use_count());
        ++run.handOvers;
    }
    run.heapBytes = tAllocatedBytes;
    run.heapAllocations = tAllocations;
    tAllocatedBytes = tAllocations = 0;
    manager->closeConnectionOnAllSources();
    run.ok = reports->waitUntil([&] { return reports->closed == n; }, std::chrono::seconds(120)) &&
             reports->dropped == 0;
    run.wallSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    run.cpuSeconds = selfCpuSeconds() - cpu0;
    if (reports->dropped) std::fprintf(stderr, "%d packets dropped\n", reports->dropped);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    kntest::TestMediaOptions options;
    options.seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    options.width = 1280;
    options.height = 720;
    options.fps = 30;
    options.gopFrames = 60;
    options.videoBitrateKbps = 8000;

    const fs::path dir = fs::temp_directory_path() / ("kestrune-bench-fanout-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string quoted = "'" + kServerScript.string() + "' ";
    if (std::system((quoted + "start '" + (dir / "server").string() + "' >/dev/null 2>&1").c_str()) != 0) {
        std::fprintf(stderr, "the RTMP server did not start (%s)\n", kServerScript.c_str());
        return 1;
    }
    auto env = readEnv(dir / "server" / "server.env");
    const std::string server = "127.0.0.1:" + env["RTMP_PORT"];

    std::printf("making %d s of %dx%d@%d H.264 Main (%d kbit/s) + AAC with ffmpeg...\n", options.seconds,
                options.width, options.height, options.fps, options.videoBitrateKbps);
    const auto media = kntest::makeTestMedia(dir.string(), "media", options);
    int status = 0;
    if (!media.error.empty()) {
        std::fprintf(stderr, "could not make the media: %s\n", media.error.c_str());
        status = 1;
    }
    double megabytes = 0;
    for (const auto& frame : media.frames) megabytes += static_cast<double>(frame.data->size()) / 1e6;
    const double payloadPerHandOver = megabytes * 1e6 / static_cast<double>(media.frames.size());

    const int fanOuts[2] = {1, 4};
    Run best[2];
    if (status == 0) {
        std::printf("%.1f MB of media (%zu video, %zu audio frames, %.0f bytes per hand-over) to rtmp://%s, %d rounds\n",
                    megabytes, media.videoFrames, media.audioFrames, payloadPerHandOver, server.c_str(), rounds);
        std::printf("%5s %6s %8s %10s %8s %10s %10s %12s %10s\n", "dests", "round", "seconds", "MB sent", "CPU s",
                    "CPU s/dest", "CPU ms/MB", "heap B/pkt", "use count");
    }
    for (int round = 1; round <= rounds && status == 0; ++round) {
        for (int i = 0; i < 2 && status == 0; ++i) {
            std::vector<std::string> streams;
            for (int d = 0; d < fanOuts[i]; ++d) {
                streams.push_back("fanout-" + std::to_string(round) + "-" + std::to_string(fanOuts[i]) + "-" +
                                  std::to_string(d));
            }
            Run run = publish(media, server, streams);
            for (auto& stream : streams) waitForRecordingDone(env["RECORD_DIR"], stream);
            if (!run.ok) {
                std::fprintf(stderr, "publishing to %d destinations failed\n", fanOuts[i]);
                status = 1;
                break;
            }
            const double sent = megabytes * fanOuts[i];
            std::printf("%5d %6d %8.2f %10.1f %8.3f %10.3f %10.2f %12.1f %10ld\n", fanOuts[i], round, run.wallSeconds,
                        sent, run.cpuSeconds, run.cpuSeconds / fanOuts[i], 1000.0 * run.cpuSeconds / sent,
                        static_cast<double>(run.heapBytes) / static_cast<double>(run.handOvers), run.maxUseCount);
            if (best[i].cpuSeconds == 0 || run.cpuSeconds < best[i].cpuSeconds) best[i] = run;
        }
    }
    if (status == 0) {
        std::printf("best CPU s per destination: 1 -> %.3f, 4 -> %.3f (x%.2f); CPU ms per MB sent: 1 -> %.2f, 4 -> %.2f\n",
                    best[0].cpuSeconds, best[1].cpuSeconds / 4, best[1].cpuSeconds / 4 / best[0].cpuSeconds,
                    1000.0 * best[0].cpuSeconds / megabytes, 1000.0 * best[1].cpuSeconds / (4 * megabytes));
        const double heap1 = static_cast<double>(best[0].heapBytes) / static_cast<double>(best[0].handOvers);
        const double heap4 = static_cast<double>(best[1].heapBytes) / static_cast<double>(best[1].handOvers);
        std::printf("fan-out heap bytes per hand-over: 1 -> %.1f (%.2f allocations), 4 -> %.1f (%.2f allocations); "
                    "a copy per destination would add >= %.0f bytes\n",
                    heap1, static_cast<double>(best[0].heapAllocations) / static_cast<double>(best[0].handOvers), heap4,
                    static_cast<double>(best[1].heapAllocations) / static_cast<double>(best[1].handOvers),
                    3 * payloadPerHandOver);
        // Three more destinations cost only their task records if nothing is copied.
        const bool copied = heap4 - heap1 >= 3 * payloadPerHandOver;
        std::printf("payload bytes copied per packet in the fan-out: %s; the one buffer was held up to %ld times at "
                    "once with 4 destinations (the media's own reference, each publisher's queued task and "
                    "interleaver)\n",
                    copied ? "at least one payload per destination" : "0", best[1].maxUseCount);
    }
    std::system((quoted + "stop '" + (dir / "server").string() + "' >/dev/null 2>&1").c_str());
    fs::remove_all(dir);
    return status;
}
