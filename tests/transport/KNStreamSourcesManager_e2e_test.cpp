// One encoded stream fanned out by the sources manager to a real nginx-rtmp server under two
// stream names and to a refused port: the reports, both recordings, and the throughput reports
// against the bytes the server counted.
#include "transport/KNStreamSourcesManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/RunLoop.h"
#include "support/LoopbackServer.h"
#include "support/TestMedia.h"
#include "support/TestServer.h"
#include "transport/StreamSourcesTestSupport.h"

namespace {

using namespace std::chrono_literals;
using kntest::TestMedia;
using kntest::TestServer;

// A host clock reading, as the encoders stamp their output.
constexpr uint64_t kClockBaseMs = 86'400'000;

// The recording holds every frame handed over and decodes without errors.
void expectCompleteRecording(const std::string& file, const TestMedia& media) {
    ASSERT_FALSE(file.empty()) << "no finished recording";
    auto probe = [&](const char* kind, const char* entries) {
        return kntest::runCommand({"ffprobe", "-v", "error", "-count_packets", "-select_streams", kind, "-show_entries",
                                   std::string("stream=") + entries, "-of", "csv=p=0", file})
            .output;
    };
    const auto& o = media.options;
    EXPECT_EQ(probe("v", "codec_name,width,height,nb_read_packets"),
              "h264," + std::to_string(o.width) + "," + std::to_string(o.height) + "," +
                  std::to_string(media.videoFrames) + "\n");
    EXPECT_EQ(probe("a", "codec_name,sample_rate,nb_read_packets"),
              "aac," + std::to_string(o.sampleRate) + "," + std::to_string(media.audioFrames) + "\n");
    const auto decode = kntest::decodeErrors(file);
    EXPECT_EQ(decode.exitCode, 0);
    EXPECT_EQ(decode.output, "");
}

// Bytes the server received in the publishing session of the stream (its access log line, written
// when the session ends); -1 while there is none.
int64_t bytesReceivedFor(const TestServer& server, const std::string& stream) {
    // PUBLISH "live" "<stream>" "<args>" - <bytes received> <bytes sent> ...
    const auto log = server.accessLog();
    const auto at = log.find("PUBLISH \"live\" \"" + stream + "\" ");
    const auto dash = at == std::string::npos ? at : log.find("\" - ", at);
    return dash == std::string::npos ? -1 : std::stoll(log.substr(dash + 4, 20));
}

TEST(KNStreamSourcesManagerE2E, OneStreamFansOutToTwoRecordingsWhileARefusedDestinationFails) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    const auto dir = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("fanout");
    std::filesystem::create_directories(dir);
    const TestMedia media = kntest::makeTestMedia(dir, "media");
    ASSERT_EQ(media.error, "");

    auto manager = KNStreamSourcesManager::create();
    auto events = std::make_shared<kntest::ManagerEvents>();
    manager->setDelegate(events);
    manager->setMetadata(media.metadata());  // each destination builds its audio header from it
    manager->setRtmpTimeout(10);
    const std::string serverAddress = "127.0.0.1:" + std::to_string(server->rtmpPort());
    const auto streamA = kntest::uniqueName("fanout-a");
    const auto streamB = kntest::uniqueName("fanout-b");
    const auto streamBad = kntest::uniqueName("fanout-refused");
    auto a = manager->addSourceWithStreamInfo(kntest::destination(streamA, serverAddress));
    auto b = manager->addSourceWithStreamInfo(kntest::destination(streamB, serverAddress));
    auto bad = manager->addSourceWithStreamInfo(
        kntest::destination(streamBad, "127.0.0.1:" + std::to_string(kntest::LoopbackServer::unusedPort())));

    manager->establishConnectionToAllSources();
    ASSERT_TRUE(kntest::waitFor([&] {
        return events->count("connect:" + streamA) == 1 && events->count("connect:" + streamB) == 1 &&
               events->matching("fail:" + streamBad).size() == 1;
    }, 30s)) << ::testing::PrintToString(events->names());
    EXPECT_EQ(events->matching("fail:" + streamBad), (std::vector<std::string>{"fail:" + streamBad + ":30003"}));
    EXPECT_FALSE(bad->on());
    const auto connected = manager->connectedStreamSources();
    EXPECT_EQ(std::set(connected.begin(), connected.end()), (std::set{a, b}));

    // The encoders' side: one feeding thread, paced at the media's own rate; the throughput timer
    // runs on the main loop, which this thread drives meanwhile.
    std::atomic<bool> fed{false};
    std::thread feeder([&] {
        const auto start = std::chrono::steady_clock::now();
        for (const auto& frame : media.frames) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(frame.timestampMs));
            kntest::handOver(*manager, frame, kClockBaseMs + frame.timestampMs);
        }
        fed = true;
    });
    auto& mainLoop = platform::RunLoop::main();
    const bool allFed = mainLoop.runUntil([&] { return fed.load(); }, 60s);
    feeder.join();
    ASSERT_TRUE(allFed);

    // Until the close, every throughput report is a tick of the timer.
    auto ticks = [&] {
        std::vector<uint64_t> values;
        for (auto& kB : events->matching("kB:")) values.push_back(std::stoull(kB.substr(3)));
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
    ASSERT_TRUE(kntest::waitFor([&] {
        return events->count("close:" + streamA) == 1 && events->count("close:" + streamB) == 1 &&
               events->count("last") == 1;
    }, 20s));
    EXPECT_EQ(events->count("first"), 1u);
    auto closed = values;
    closed.push_back(0);
    EXPECT_EQ(ticks(), closed) << "the close reports 0, and no tick follows";

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
    const auto context = ::testing::PrintToString(values) + " kB reported; server received " +
                         std::to_string(receivedA) + " + " + std::to_string(receivedB) + " bytes";
    EXPECT_GT(static_cast<double>(reportedBytes), 0.8 * received) << context;
    EXPECT_LT(static_cast<double>(reportedBytes), 1.25 * received) << context;
    // Both sessions carried the same stream.
    EXPECT_NEAR(static_cast<double>(receivedA), static_cast<double>(receivedB), 0.02 * received);
}

}  // namespace
