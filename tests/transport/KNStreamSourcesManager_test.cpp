// The sources manager with real destinations whose publisher and detector events are injected:
// the lists, the first-connection and last-close reports, the 0 throughput report, estimate
// rounds, the throughput timer on the main run loop, and where packets go.
#include "transport/KNStreamSourcesManager.h"

#include <gtest/gtest.h>

#include <future>

#include "platform/RunLoop.h"
#include "transport/StreamSourcesTestSupport.h"

namespace {

using namespace std::chrono_literals;
using kntest::bytes;
using kntest::destination;
using kntest::errorWithCode;
using Source = std::shared_ptr<KNStreamSource>;
using Sources = KNStreamSourcesManager::Sources;
using Names = std::vector<std::string>;

class KNStreamSourcesManagerTest : public ::testing::Test {
protected:
    void SetUp() override { manager->setDelegate(events); }

    Source add(const std::string& name) { return manager->addSourceWithStreamInfo(destination(name)); }
    // As the destination's publisher reports a finished connect.
    static void connected(const Source& source) { source->RTMPManagerDidConnectToServer(nullptr); }
    void flush() { kntest::flushReports(*events, probe); }
    size_t indexOf(const std::string& what) const {
        auto all = events->names();
        return std::ranges::find(all, what) - all.begin();
    }

    bool runMainLoopUntilTicks(size_t n, std::chrono::milliseconds timeout = 3s) {
        return platform::RunLoop::main().runUntil([&] { return events->matching("kB:").size() >= n; }, timeout);
    }

    std::shared_ptr<KNStreamSourcesManager> manager = KNStreamSourcesManager::create();
    std::shared_ptr<kntest::ManagerEvents> events = std::make_shared<kntest::ManagerEvents>();
    Source probe = add("probe");
};

TEST_F(KNStreamSourcesManagerTest, AnEqualDestinationIsReturnedButNotListedAndRemovedByEquality) {
    auto a = add("a");
    auto again = add("a");
    EXPECT_NE(again, a);
    EXPECT_EQ(manager->streamSources(), (Sources{probe, a}));

    // A separate object for an equal record takes the listed one out; the listed one keeps its
    // links, the object given loses them.
    auto standIn = KNStreamSource::create();
    standIn->setStreamInfo(destination("a"));
    manager->removeSource(standIn);
    EXPECT_EQ(manager->streamSources(), (Sources{probe}));
    EXPECT_EQ(a->streamSourcesManager(), manager);
    EXPECT_EQ(standIn->streamSourcesManager(), nullptr);
}

TEST_F(KNStreamSourcesManagerTest, RemovingAConnectedDestinationClosesItAndSilencesIt) {
    auto a = add("a");
    connected(a);
    ASSERT_TRUE(events->waitForCount("connect:a", 1));

    manager->removeSource(a);
    EXPECT_EQ(manager->streamSources(), (Sources{probe}));
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    EXPECT_FALSE(a->on());
    EXPECT_EQ(a->streamSourcesManager(), nullptr);
    a->rtmpManager()->senderQueue()->sync([] {});  // its publisher's close runs and is told to the host only

    // Whatever it reports later reaches the manager no more.
    connected(a);
    a->bandwidthDetectorDidEstimateNewBitrate(nullptr, 5000);
    a->RTMPManagerDidSendPacketWithSize(nullptr, 100);
    a->RTMPManagerDidDropPacket(nullptr);
    a->RTMPManagerDidCloseConnection(nullptr);
    flush();
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    // The publisher's own close may still be passed on if it ran while the removal was under way.
    auto names = events->names();
    EXPECT_LE(std::erase(names, "close:a"), 1u);
    EXPECT_EQ(names, (Names{"first", "connect:a", "kB:0", "last", "drop"}));

    // Switching it only warns.
    testing::internal::CaptureStdout();
    a->setOn(true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "WARNING: You are using a stream source that was removed from the SDK management so it won't work as "
              "expected.\n");
    EXPECT_FALSE(a->on());
}

// The connected list holds each destination once, however often it reports; close and failure
// reports take it out once, except a refused second connect, which means the session is live.
TEST_F(KNStreamSourcesManagerTest, FirstConnectionAndLastCloseAreReportedOnceWithTheZeroReportFirst) {
    auto a = add("a");
    auto b = add("b");
    connected(a);
    connected(a);
    connected(b);
    b->RTMPManagerDidFailConnectingWithError(nullptr, errorWithCode(30001));
    EXPECT_EQ(manager->connectedStreamSources(), (Sources{a, b}));
    a->setOn(false);
    EXPECT_EQ(manager->connectedStreamSources(), (Sources{b}));
    // A lost connection reports a failure and then the disconnect.
    b->RTMPManagerDidFailConnectingWithError(nullptr, errorWithCode(30003));
    b->RTMPManagerDidDisconnect(nullptr);
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    a->rtmpManager()->senderQueue()->sync([] {});
    flush();
    EXPECT_EQ(events->matching("connect:"), (Names{"connect:a", "connect:a", "connect:b"}));
    EXPECT_EQ(events->count("first"), 1u);
    EXPECT_EQ(events->count("last"), 1u);
    EXPECT_EQ(events->count("kB:0"), 1u);
    EXPECT_LT(indexOf("first"), indexOf("connect:a"));
    EXPECT_LT(indexOf("kB:0"), indexOf("last"));
    EXPECT_EQ(events->count("close:a"), 1u);
    EXPECT_EQ(events->matching("fail:"), (Names{"fail:b:30001", "fail:b:30003"}));
}

// The 0 report is made on the thread that empties the connected list, once the exclusive step is
// over: a listener may read the manager from it, whichever way the list was emptied.
TEST_F(KNStreamSourcesManagerTest, TheZeroReportComesOnTheEmptyingThreadAndMayReadTheManager) {
    std::string way;  // each is set before its emptying thread starts
    std::thread::id emptier;
    size_t zeros = 0;
    events->onKilobytes = [&, m = manager.get()](uint64_t kilobytes) {
        if (kilobytes != 0) return;
        ++zeros;
        EXPECT_EQ(std::this_thread::get_id(), emptier) << way;
        EXPECT_TRUE(m->connectedStreamSources().empty()) << way;
        // Another thread gets in too: the exclusive step is over, not just re-entered. (Detached, so
        // that a read stuck behind the step can't hold this report up.)
        auto read = std::make_shared<std::promise<void>>();
        auto done = read->get_future();
        std::thread([keep = manager, read] {
            keep->streamSources();
            read->set_value();
        }).detach();
        EXPECT_TRUE(done.wait_for(5s) == std::future_status::ready) << way << ": made inside the exclusive step";
    };
    const std::vector<std::pair<std::string, std::function<void(const Source&)>>> ways = {
        {"switched off", [](auto& s) { s->setOn(false); }},
        {"close all", [&](auto&) { manager->closeConnectionOnAllSources(); }},
        {"removed", [&](auto& s) { manager->removeSource(s); }},
        {"close report", [](auto& s) { s->RTMPManagerDidCloseConnection(nullptr); }},
        {"disconnect report", [](auto& s) { s->RTMPManagerDidDisconnect(nullptr); }},
        {"lost connection", [](auto& s) { s->RTMPManagerDidFailConnectingWithError(nullptr, errorWithCode(30003)); }},
    };
    for (const auto& w : ways) {
        way = w.first;
        auto source = add(way);
        connected(source);
        const size_t before = zeros;
        std::thread([&] {
            emptier = std::this_thread::get_id();
            w.second(source);
        }).join();
        EXPECT_EQ(zeros, before + 1) << way;
    }
    flush();
    EXPECT_EQ(events->count("first"), ways.size());
    EXPECT_EQ(events->count("last"), ways.size());
}

TEST_F(KNStreamSourcesManagerTest, EstimatesAreCombinedOncePerRoundOfConnectedDestinations) {
    auto a = add("a");
    auto b = add("b");
    connected(a);
    connected(b);
    auto estimate = [](auto& source, uint64_t bps) { source->bandwidthDetectorDidEstimateNewBitrate(nullptr, bps); };

    estimate(a, 3000);  // the round waits for b
    estimate(b, 4001);  // integer mean
    estimate(a, 600);
    estimate(b, 900);  // the mean is raised to 1000
    // A newer estimate replaces the older one and the round still waits.
    estimate(a, 5000);
    estimate(a, 7000);
    estimate(b, 9000);
    // Once b has left, a's estimates pass at once.
    b->RTMPManagerDidCloseConnection(nullptr);
    estimate(a, 600);
    estimate(a, 1001);
    flush();
    EXPECT_EQ(events->matching("estimate:"),
              (Names{"estimate:3500", "estimate:1000", "estimate:8000", "estimate:1000", "estimate:1001"}));
}

TEST_F(KNStreamSourcesManagerTest, TheTimerReportsKilobytesSentEachSecondOnTheMainLoop) {
    auto a = add("a");
    auto b = add("b");
    connected(a);
    connected(b);  // restarts the timer
    for (int i = 0; i < 4; ++i) a->RTMPManagerDidSendPacketWithSize(nullptr, 250'000);
    b->RTMPManagerDidSendPacketWithSize(nullptr, 234'567);
    ASSERT_TRUE(runMainLoopUntilTicks(1));
    EXPECT_EQ(events->matching("kB:"), (Names{"kB:1234"}));
    ASSERT_TRUE(runMainLoopUntilTicks(2));
    EXPECT_EQ(events->matching("kB:").back(), "kB:0") << "a second with nothing sent";
    // The last close reports 0 at once and stops the timer.
    manager->closeConnectionOnAllSources();
    EXPECT_FALSE(runMainLoopUntilTicks(4, 1500ms));
}

TEST_F(KNStreamSourcesManagerTest, PacketsReachOnlyConnectedDestinationsAndAreShared) {
    auto a = add("a");
    auto b = add("b");
    auto sps = bytes(12, 0x67);
    auto video = bytes(5000);
    auto audio = bytes(300);

    kntest::QueueGate gateA(a->rtmpManager()->senderQueue());
    kntest::QueueGate gateB(b->rtmpManager()->senderQueue());
    connected(a);
    b->setOn(true);  // still connecting behind its gate
    manager->setVideoSPSAndPPS(sps, bytes(4, 0x68));
    manager->sendVideoPacketIsKeyFrameTimestamp(video, true, 1040);
    manager->sendAudioPacketTimestamp(audio, 1041);
    EXPECT_EQ(a->rtmpManager()->queueLoad(), 2);
    EXPECT_EQ(b->rtmpManager()->queueLoad(), 0);
    // One hand-over each, the payload shared, not copied.
    EXPECT_EQ(video.use_count(), 2);
    EXPECT_EQ(audio.use_count(), 2);
    EXPECT_EQ(sps.use_count(), 2);

    // Close-all closes what is connected and leaves the one still connecting alone.
    manager->closeConnectionOnAllSources();
    EXPECT_FALSE(a->on());
    EXPECT_TRUE(b->on());
}

}  // namespace
