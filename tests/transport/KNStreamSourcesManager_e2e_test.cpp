#include "transport/KNStreamSourcesManager.h"

#include <numeric>

#include "platform/RunLoop.h"
#include "support/LoopbackServer.h"
#include "support/TestMedia.h"
#include "transport/StreamSourcesTestSupport.h"

namespace {

using namespace kntest;

TEST(KNStreamSourcesManagerE2E, OneStreamFansOutToTwoRecordingsWhileARefusedDestinationFails) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    const auto media = scratchMedia("fanout");
    auto manager = KNStreamSourcesManager::create();
    auto events = std::make_shared<ManagerEvents>();
    manager->setDelegate(events);
    manager->setMetadata(media.metadata());
    manager->setRtmpTimeout(10);
    const auto at = [](int port) { return "127.0.0.1:" + std::to_string(port); };
    const std::string streams[] = {uniqueName("fanout-a"), uniqueName("fanout-b")}, refused = uniqueName("refused");
    auto a = manager->addSourceWithStreamInfo(destination(streams[0], at(server->rtmpPort())));
    auto b = manager->addSourceWithStreamInfo(destination(streams[1], at(server->rtmpPort())));
    auto bad = manager->addSourceWithStreamInfo(destination(refused, at(LoopbackServer::unusedPort())));
    manager->establishConnectionToAllSources();
    ASSERT_TRUE(waitFor([&] { return events->matching("connect:").size() == 2 && !events->matching("fail:").empty(); }, 30s))
        << ::testing::PrintToString(events->names());
    EXPECT_EQ(events->matching("fail:"), std::vector<std::string>{"fail:" + refused + ":30003"});
    EXPECT_FALSE(bad->on());

    // At the media's pace, from the main loop, which runs the throughput timer meanwhile.
    auto& mainLoop = platform::RunLoop::main();
    for (auto start = std::chrono::steady_clock::now(); const auto& frame : media.frames) {
        const auto due = start + std::chrono::milliseconds(frame.timestampMs);
        mainLoop.runUntil([&] { return std::chrono::steady_clock::now() >= due; }, 1s);
        handOver(*manager, frame, kClockBaseMs + frame.timestampMs);
    }
    const auto ticks = [&] {
        std::vector<uint64_t> values;
        for (auto& kB : events->matching("kB:")) values.push_back(std::stoull(kB.substr(3)));
        return values;
    };
    // Once all is written, the next tick counts the rest and the one after it has nothing to count.
    ASSERT_TRUE(mainLoop.runUntil(
        [&] { return a->rtmpManager()->queueLoad() == 0 && b->rtmpManager()->queueLoad() == 0; }, 20s));
    const size_t ticksWhileSending = ticks().size();
    ASSERT_TRUE(mainLoop.runUntil([&] { return ticks().size() >= ticksWhileSending + 2; }, 5s));
    const auto values = ticks();
    EXPECT_EQ(values.back(), 0u) << "a second with nothing sent";
    EXPECT_GE(values.size(), static_cast<size_t>(media.options.seconds)) << "one report a second while sending";
    manager->closeConnectionOnAllSources();
    ASSERT_TRUE(waitFor([&] { return events->matching("close:").size() == 2 && events->count("last") == 1; }, 20s));
    EXPECT_EQ(events->count("first"), 1u);
    // Reports count a fixed allowance per packet, not the chunk headers, and drop remainders.
    double received = 0;
    for (const auto& stream : streams) {
        expectRecording(server->waitForRecording(stream), media, media.videoFrames, media.audioFrames);
        // Once the session ended: PUBLISH "live" "<stream>" "<args>" - <received> <sent> ...
        const auto line = "PUBLISH \"live\" \"" + stream + "\" ";
        ASSERT_TRUE(waitFor([&] { return server->accessLog().find(line) != std::string::npos; }, 20s));
        const auto log = server->accessLog();
        received += std::stod(log.substr(log.find("\" - ", log.find(line)) + 4, 20));
    }
    const auto reported = static_cast<double>(1000 * std::accumulate(values.begin(), values.end(), uint64_t{0}));
    EXPECT_GT(reported, 0.8 * received) << ::testing::PrintToString(values) << " kB; received " << received;
    EXPECT_LT(reported, 1.25 * received) << ::testing::PrintToString(values) << " kB; received " << received;
}

}  // namespace
