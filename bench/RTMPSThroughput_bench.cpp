// Publish throughput and client CPU: plain RTMP against RTMPS (TLS 1.3) in one run, to a private
// nginx started with the test fixture's script (tests/fixtures/rtmp_server.sh) on loopback.
//
//   RTMPSThroughput_bench [megabytes per run, default 128]
//
// Client CPU is this process's user+system time (the publisher's queue and the TLS pump); the
// server runs in its own processes and is not counted.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "transport/KNRTMPManager.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kFrameBytes = 32 * 1024;  // a large-ish video frame
constexpr int kKeyFrameInterval = 60;
constexpr int64_t kMaxInFlight = 100;      // stays under the publisher's drop bound

struct Reports : KNRTMPManagerDelegate {
    std::atomic<int> connected{0}, failed{0}, closed{0}, dropped{0};
    std::atomic<uint64_t> sentBytes{0};
    void RTMPManagerDidConnectToServer(KNRTMPManager*) override { ++connected; }
    void RTMPManagerDidFailConnectingWithError(KNRTMPManager*, std::shared_ptr<KNError>) override { ++failed; }
    void RTMPManagerDidCloseConnection(KNRTMPManager*) override { ++closed; }
    void RTMPManagerDidDropPacket(KNRTMPManager*) override { ++dropped; }
    void RTMPManagerDidSendPacketWithSize(KNRTMPManager*, uint64_t size) override { sentBytes += size; }
};


bool waitUntil(const std::function<bool()>& done, std::chrono::seconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Result {
    bool ok = false;
    double seconds = 0, cpu = 0, megabytes = 0;
};

Result publish(const std::string& url, size_t totalBytes) {
    Result r;
    auto manager = KNRTMPManager::create();
    auto reports = std::make_shared<Reports>();
    manager->setDelegate(reports);
    manager->setConnectionURL(url);
    manager->setTimeout(10);
    manager->setSendingAudio(false);
    manager->establishConnection();
    if (!waitUntil([&] { return reports->connected || reports->failed; }, std::chrono::seconds(20)) ||
        !reports->connected) {
        std::fprintf(stderr, "could not connect to %s\n", url.c_str());
        return r;
    }
    // Parameter sets of a baseline stream; the payloads are opaque to the server.
    manager->setVideoSPSAndPPS(
        std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{0x67, 0x42, 0xc0, 0x1e, 0xd9, 0x00}),
        std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{0x68, 0xce, 0x3c, 0x80}));
    std::mt19937 gen(7);
    std::vector<KNFrame::Bytes> frames;
    for (int i = 0; i < 8; ++i) {
        std::vector<uint8_t> f(kFrameBytes);
        for (auto& b : f) b = static_cast<uint8_t>(gen());
        f[0] = i == 0 ? 0x65 : 0x41;
        frames.push_back(std::make_shared<const std::vector<uint8_t>>(std::move(f)));
    }

    const size_t count = totalBytes / kFrameBytes;
    const double cpu0 = knbench::selfCpuSeconds();
    const auto t0 = Clock::now();
    for (size_t i = 0; i < count; ++i) {
        waitUntil([&] { return manager->queueLoad() < kMaxInFlight; }, std::chrono::seconds(30));
        bool key = i % kKeyFrameInterval == 0;
        manager->sendVideoPacketIsKeyFrameTimestamp(key ? frames[0] : frames[1 + i % 7], key, i * 33);
    }
    waitUntil([&] { return manager->queueLoad() <= 0; }, std::chrono::seconds(60));
    manager->closeConnection();  // returns after the TLS close went out
    waitUntil([&] { return reports->closed > 0; }, std::chrono::seconds(60));
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.cpu = knbench::selfCpuSeconds() - cpu0;
    r.megabytes = static_cast<double>(reports->sentBytes.load()) / (1024.0 * 1024.0);
    r.ok = reports->dropped == 0;
    if (reports->dropped) std::fprintf(stderr, "%d packets dropped\n", reports->dropped.load());
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 128;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const fs::path& script = knbench::kServerScript;
    const fs::path dir = fs::temp_directory_path() / ("kestrune-bench-rtmps-" + std::to_string(getpid()));
    const std::string quoted = "'" + script.string() + "' ";
    if (std::system((quoted + "start '" + dir.string() + "' >/dev/null 2>&1").c_str()) != 0) {
        std::fprintf(stderr, "the RTMP server did not start (%s)\n", script.c_str());
        return 1;
    }
    auto env = knbench::readEnv(dir / "server.env");
    setenv("SSL_CERT_FILE", env["CA_FILE"].c_str(), 1);
    const char* names[2] = {"rtmp (plain TCP)", "rtmps (TLS 1.3)"};
    const std::string urls[2] = {"rtmp://127.0.0.1:" + env["RTMP_PORT"] + "/live/bench-plain",
                                 "rtmps://localhost:" + env["TLS13_PORT"] + "/live/bench-tls"};

    std::printf("publishing %zu MB of %zu-byte video packets per run, %d rounds alternating\n", megabytes,
                kFrameBytes, rounds);
    std::printf("%-22s %8s %10s %10s %16s\n", "transport", "round", "MB/s", "CPU s", "CPU ms per MB");
    // Other work on the machine only ever adds time: the best round of each is the fairest pair.
    double bestCpuPerMB[2] = {1e9, 1e9}, bestRate[2] = {0, 0};
    int status = 0;
    for (int round = 1; round <= rounds && status == 0; ++round) {
        for (int i = 0; i < 2; ++i) {
            Result r = publish(urls[i], megabytes * 1024 * 1024);
            if (!r.ok || r.megabytes <= 0) {
                status = 1;
                break;
            }
            double cpuPerMB = 1000.0 * r.cpu / r.megabytes;
            std::printf("%-22s %8d %10.1f %10.3f %16.3f\n", names[i], round, r.megabytes / r.seconds, r.cpu,
                        cpuPerMB);
            bestCpuPerMB[i] = std::min(bestCpuPerMB[i], cpuPerMB);
            bestRate[i] = std::max(bestRate[i], r.megabytes / r.seconds);
        }
    }
    if (status == 0) {
        std::printf("best: rtmp %.3f, rtmps %.3f CPU ms per MB -> rtmps/rtmp %.2fx; throughput %.0f vs %.0f MB/s\n",
                    bestCpuPerMB[0], bestCpuPerMB[1], bestCpuPerMB[1] / bestCpuPerMB[0], bestRate[0], bestRate[1]);
    }
    std::system((quoted + "stop '" + dir.string() + "' >/dev/null 2>&1").c_str());
    fs::remove_all(dir);
    return status;
}
