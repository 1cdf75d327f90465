// One stream fanned out by the sources manager to the fixture's nginx under two names and to a
// refused port: the reports, both recordings, and the throughput against what the server counted.
#include "transport/KNStreamSourcesManager.h"

#include <numeric>
#include <set>

#include "platform/RunLoop.h"
#include "support/LoopbackServer.h"
#include "support/TestMedia.h"
#include "transport/StreamSourcesTestSupport.h"

namespace {

using namespace kntest;

// Bytes received in the stream's publishing session, from the access log line written when it
// ends: PUBLISH "live" "<stream>" "<args>" - <received> <sent> ...; -1 while there is none.
int64_t bytesReceivedFor(const TestServer& server, const std::string& stream) {
    const auto log = server.accessLog();
    const auto at = log.find("PUBLISH \"live\" \"" + stream + "\" ");
    const auto dash = at == std::string::npos ? at : log.find("\" - ", at);
    return dash == std::string::npos ? -1 : std::stoll(log.substr(dash + 4, 20));
}

TEST(KNStreamSourcesManagerE2E, OneStreamFansOutToTwoRecordingsWhileARefusedDestinationFails) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    const TestMedia media = scratchMedia("fanout");
    auto manager = KNStreamSourcesManager::create();
    auto events = std::make_shared<ManagerEvents>();
    manager->setDelegate(events);
    manager->setMetadata(media.metadata());  // each destination builds its audio header from it
    manager->setRtmpTimeout(10);
    const auto at = [](int port) { return "127.0.0.1:" + std::to_string(port); };
    const auto streamA = uniqueName("fanout-a"), streamB = uniqueName("fanout-b"), refused = uniqueName("refused");
    auto a = manager->addSourceWithStreamInfo(destination(streamA, at(server->rtmpPort())));
    auto b = manager->addSourceWithStreamInfo(destination(streamB, at(server->rtmpPort())));
    auto bad = manager->addSourceWithStreamInfo(destination(refused, at(LoopbackServer::unusedPort())));

    manager->establishConnectionToAllSources();
    ASSERT_TRUE(waitFor([&] {
        return events->count("connect:" + streamA) == 1 && events->count("connect:" + streamB) == 1 &&
               !events->matching("fail:" + refused).empty();
    }, 30s)) << ::testing::PrintToString(events->names());
    EXPECT_EQ(events->matching("fail:"), std::vector<std::string>{"fail:" + refused + ":30003"});
    EXPECT_FALSE(bad->on());
    const auto connected = manager->connectedStreamSources();
    EXPECT_EQ(std::set(connected.begin(), connected.end()), (std::set{a, b}));

    // At the media's own pace, from the main loop, which runs the throughput timer meanwhile.
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
    // Once both have written everything, the next tick counts the rest and the one after it had
    // nothing to count.
    ASSERT_TRUE(mainLoop.runUntil(
        [&] { return a->rtmpManager()->queueLoad() == 0 && b->rtmpManager()->queueLoad() == 0; }, 20s));
    const size_t ticksWhileSending = ticks().size();
    ASSERT_TRUE(mainLoop.runUntil([&] { return ticks().size() >= ticksWhileSending + 2; }, 5s));
    const auto values = ticks();
    EXPECT_EQ(values.back(), 0u) << "a second with nothing sent";
    EXPECT_GE(values.size(), static_cast<size_t>(media.options.seconds)) << "one report a second while sending";

    manager->closeConnectionOnAllSources();
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    ASSERT_TRUE(waitFor([&] {
        return events->count("close:" + streamA) == 1 && events->count("close:" + streamB) == 1 &&
               events->count("last") == 1;
    }, 20s));
    EXPECT_EQ(events->count("first"), 1u);
    auto closed = values;
    closed.push_back(0);
    EXPECT_EQ(ticks(), closed) << "the close reports 0, and no tick follows";
    // Reported sizes carry a fixed allowance per packet instead of the wire's chunk headers, and
    // each tick drops its remainder below 1000: loose bounds against what the server counted.
    double received = 0;
    for (const auto& stream : {streamA, streamB}) {
        expectRecording(server->waitForRecording(stream), media, media.videoFrames, media.audioFrames);
        int64_t bytes = -1;
        ASSERT_TRUE(waitFor([&] { return (bytes = bytesReceivedFor(*server, stream)) >= 0; }, 20s));
        received += static_cast<double>(bytes);
    }
    const auto reported = static_cast<double>(1000 * std::accumulate(values.begin(), values.end(), uint64_t{0}));
    EXPECT_GT(reported, 0.8 * received) << ::testing::PrintToString(values) << " kB; received " << received;
    EXPECT_LT(reported, 1.25 * received) << ::testing::PrintToString(values) << " kB; received " << received;
}

}  // namespace
