// One encoded stream fanned out by the sources manager to a real nginx-rtmp server under two
// stream names and to a refused port: the reports, both recordings, and the throughput reports
// against the bytes the server counted.
#include "transport/KNStreamSourcesManager.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "core/KNMetadata.h"
#include "platform/RunLoop.h"
#include "support/TestMedia.h"
#include "support/TestServer.h"
#include "transport/StreamSourcesTestSupport.h"

namespace {

using namespace std::chrono_literals;
using kntest::TestMedia;
using kntest::TestServer;

// A host clock reading, as the encoders stamp their output.
constexpr uint64_t kClockBaseMs = 86'400'000;

std::shared_ptr<const KNMetadata> metadataFor(const TestMedia& media) {
    auto metadata = KNMetadata::create();
    metadata->setVideoCodecId("avc1");
    metadata->setVideoWidth(media.options.width);
    metadata->setVideoHeight(media.options.height);
    metadata->setVideoBitrate(media.options.videoBitrateKbps * 1000);
    metadata->setVideoFramerate(media.options.fps);
    metadata->setAudioCodecId("mp4a");
    metadata->setAudioBitrate(64000);
    metadata->setAudioSampleRate(media.options.sampleRate);
    metadata->setAudioSampleSize(16);
    metadata->setAudioStereo(media.options.channels == 2);
    return metadata;
}

// A loopback port that refuses connections: bound, never listening, held for the test.
class RefusedPort {
public:
    RefusedPort() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~RefusedPort() {
        if (fd_ >= 0) close(fd_);
    }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

std::map<std::string, std::string> probeStream(const std::string& file, const std::string& kind) {
    const auto probe = kntest::runCommand(
        {"ffprobe", "-v", "error", "-count_packets", "-select_streams", kind, "-show_streams", file});
    std::map<std::string, std::string> info;
    std::istringstream lines(probe.output);
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) info[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return info;
}

void expectCompleteRecording(const std::string& file, const TestMedia& media) {
    ASSERT_FALSE(file.empty()) << "no finished recording";
    ASSERT_EQ(kntest::ffprobe(file).exitCode, 0);
    auto video = probeStream(file, "v");
    EXPECT_EQ(video["codec_name"], "h264");
    EXPECT_EQ(video["width"], std::to_string(media.options.width));
    EXPECT_EQ(video["height"], std::to_string(media.options.height));
    EXPECT_EQ(video["nb_read_packets"], std::to_string(media.videoFrames));
    auto audio = probeStream(file, "a");
    EXPECT_EQ(audio["codec_name"], "aac");
    EXPECT_EQ(audio["sample_rate"], std::to_string(media.options.sampleRate));
    EXPECT_EQ(audio["nb_read_packets"], std::to_string(media.audioFrames));
    const auto decode = kntest::decodeErrors(file);
    EXPECT_EQ(decode.exitCode, 0);
    EXPECT_EQ(decode.output, "");
}

// Bytes the server received in the publishing session of the stream (its access log line, written
// when the session ends); -1 while there is none.
int64_t bytesReceivedFor(const TestServer& server, const std::string& stream) {
    // PUBLISH "live" "<stream>" "<args>" - <bytes received> <bytes sent> ...
    std::istringstream log(server.accessLog());
    const std::string key = "PUBLISH \"live\" \"" + stream + "\" ";
    for (std::string line; std::getline(log, line);) {
        const auto at = line.find(key);
        if (at == std::string::npos) continue;
        const auto dash = line.find("\" - ", at + key.size());
        if (dash == std::string::npos) continue;
        return std::stoll(line.substr(dash + 4));
    }
    return -1;
}

TEST(KNStreamSourcesManagerE2E, OneStreamFansOutToTwoRecordingsWhileARefusedDestinationFails) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    const auto dir = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("fanout");
    std::filesystem::create_directories(dir);
    const TestMedia media = kntest::makeTestMedia(dir, "media");
    ASSERT_EQ(media.error, "");
    RefusedPort refused;
    ASSERT_NE(refused.port(), 0);

    auto manager = KNStreamSourcesManager::create();
    auto events = std::make_shared<kntest::ManagerEvents>();
    manager->setDelegate(events);
    manager->setMetadata(metadataFor(media));
    manager->setRtmpTimeout(10);
    const std::string serverAddress = "127.0.0.1:" + std::to_string(server->rtmpPort());
    const auto streamA = kntest::uniqueName("fanout-a");
    const auto streamB = kntest::uniqueName("fanout-b");
    const auto streamBad = kntest::uniqueName("fanout-refused");
    auto a = manager->addSourceWithStreamInfo(kntest::rtmpDestination(serverAddress, streamA));
    auto b = manager->addSourceWithStreamInfo(kntest::rtmpDestination(serverAddress, streamB));
    auto bad = manager->addSourceWithStreamInfo(
        kntest::rtmpDestination("127.0.0.1:" + std::to_string(refused.port()), streamBad));

    manager->establishConnectionToAllSources();
    ASSERT_TRUE(events->waitFor([&] {
        return events->count("connect:" + streamA) == 1 && events->count("connect:" + streamB) == 1 &&
               events->matching("fail:" + streamBad).size() == 1;
    }, 30s)) << ::testing::PrintToString(events->names());
    EXPECT_EQ(events->matching("fail:" + streamBad), (std::vector<std::string>{"fail:" + streamBad + ":30003"}));
    EXPECT_FALSE(bad->on());
    auto connected = manager->connectedStreamSources();  // in the order they connected
    std::sort(connected.begin(), connected.end());
    auto expected = KNStreamSourcesManager::Sources{a, b};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(connected, expected);
    {
        const auto names = events->names();
        const auto first = std::find(names.begin(), names.end(), "first");
        EXPECT_LT(first, std::find(names.begin(), names.end(), "connect:" + streamA));
        EXPECT_LT(first, std::find(names.begin(), names.end(), "connect:" + streamB));
    }

    // The encoders' side: one feeding thread, paced at the media's own rate; the throughput timer
    // runs on the main loop, which this thread drives meanwhile.
    std::atomic<bool> fed{false};
    std::atomic<bool> overloaded{false};
    std::thread feeder([&] {
        const auto start = std::chrono::steady_clock::now();
        for (const auto& frame : media.frames) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(frame.timestampMs));
            if (a->rtmpManager()->queueLoad() > kMaxQueueLoad / 2 || b->rtmpManager()->queueLoad() > kMaxQueueLoad / 2) {
                overloaded = true;
            }
            if (frame.video) {
                if (frame.keyFrame) manager->setVideoSPSAndPPS(frame.sps, frame.pps);
                manager->sendVideoPacketIsKeyFrameTimestamp(frame.data, frame.keyFrame, kClockBaseMs + frame.timestampMs);
            } else {
                manager->sendAudioPacketTimestamp(frame.data, kClockBaseMs + frame.timestampMs);
            }
        }
        fed = true;
    });
    auto& mainLoop = platform::RunLoop::main();
    const bool allFed = mainLoop.runUntil([&] { return fed.load(); }, 60s);
    feeder.join();
    ASSERT_TRUE(allFed);
    EXPECT_FALSE(overloaded.load());

    // Ticks are the throughput reports not made on this thread.
    auto ticks = [&] {
        std::vector<uint64_t> values;
        for (auto& e : events->events()) {
            if (e.what.rfind("kB:", 0) == 0 && e.thread != std::this_thread::get_id()) {
                values.push_back(std::stoull(e.what.substr(3)));
            }
        }
        return values;
    };
    // Once both publishers have written everything handed to them, the next tick counts the rest
    // and the one after it had nothing to count.
    ASSERT_TRUE(mainLoop.runUntil(
        [&] { return a->rtmpManager()->queueLoad() == 0 && b->rtmpManager()->queueLoad() == 0; }, 20s));
    const size_t ticksWhileSending = ticks().size();
    ASSERT_TRUE(mainLoop.runUntil([&] { return ticks().size() >= ticksWhileSending + 2; }, 5s));
    const auto values = ticks();
    EXPECT_EQ(values.back(), 0u) << "a second with nothing sent";
    EXPECT_GE(values.size(), media.durationMs / 1000) << "one report a second while sending";

    manager->closeConnectionOnAllSources();
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    ASSERT_TRUE(events->waitFor([&] {
        return events->count("close:" + streamA) == 1 && events->count("close:" + streamB) == 1 &&
               events->count("last") == 1;
    }, 20s));
    EXPECT_EQ(events->count("first"), 1u);
    EXPECT_EQ(events->count("last"), 1u);
    EXPECT_EQ(ticks().size(), values.size()) << "no tick after the last close";

    expectCompleteRecording(server->waitForRecording(streamA), media);
    expectCompleteRecording(server->waitForRecording(streamB), media);

    // The server's count per session against what the ticks reported over both: reported sizes
    // carry a fixed per-packet allowance instead of the wire's chunk headers, the last frames
    // held for interleaving leave with the close, and each tick drops its remainder below 1000.
    int64_t receivedA = -1, receivedB = -1;
    ASSERT_TRUE(kntest::waitFor([&] {
        receivedA = bytesReceivedFor(*server, streamA);
        receivedB = bytesReceivedFor(*server, streamB);
        return receivedA >= 0 && receivedB >= 0;
    }, 20s));
    uint64_t reportedBytes = 0;
    for (auto value : values) reportedBytes += value * 1000;
    const double received = static_cast<double>(receivedA + receivedB);
    const double ratio = static_cast<double>(reportedBytes) / received;
    std::printf("throughput reports %s kB; server received %lld + %lld bytes; ratio %.3f\n",
                ::testing::PrintToString(values).c_str(), static_cast<long long>(receivedA),
                static_cast<long long>(receivedB), ratio);
    EXPECT_GT(ratio, 0.8) << reportedBytes << " reported, " << received << " received";
    EXPECT_LT(ratio, 1.25) << reportedBytes << " reported, " << received << " received";
    // Both sessions carried the same stream.
    EXPECT_NEAR(static_cast<double>(receivedA), static_cast<double>(receivedB), 0.02 * received);
}

}  // namespace
