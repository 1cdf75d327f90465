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
using kntest::errorWithCode;
using kntest::offlineDestination;
using Sources = KNStreamSourcesManager::Sources;

class KNStreamSourcesManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager->setDelegate(events);
        probe = manager->addSourceWithStreamInfo(offlineDestination("probe"));
    }

    std::shared_ptr<KNStreamSource> add(const std::string& name) {
        return manager->addSourceWithStreamInfo(offlineDestination(name));
    }
    // As the destination's publisher reports a finished connect.
    static void connected(const std::shared_ptr<KNStreamSource>& source) { source->RTMPManagerDidConnectToServer(nullptr); }
    void flush() { kntest::flushReports(*events, probe); }
    static void settle(const std::shared_ptr<KNStreamSource>& source) {
        source->rtmpManager()->senderQueue()->sync([] {});
    }

    // Throughput reports made by the timer: they come on the delegate queue, never on this thread.
    std::vector<std::string> ticks() const {
        std::vector<std::string> result;
        for (auto& e : events->events()) {
            if (e.what.rfind("kB:", 0) == 0 && e.thread != std::this_thread::get_id()) result.push_back(e.what);
        }
        return result;
    }
    bool runMainLoopUntilTicks(size_t n, std::chrono::milliseconds timeout = 3s) {
        return platform::RunLoop::main().runUntil([&] { return ticks().size() >= n; }, timeout);
    }
    size_t indexOf(const std::string& what) const {
        auto all = events->names();
        return static_cast<size_t>(std::find(all.begin(), all.end(), what) - all.begin());
    }

    std::shared_ptr<KNStreamSourcesManager> manager = KNStreamSourcesManager::create();
    std::shared_ptr<kntest::ManagerEvents> events = std::make_shared<kntest::ManagerEvents>();
    std::shared_ptr<KNStreamSource> probe;
};

TEST_F(KNStreamSourcesManagerTest, AnEqualDestinationIsReturnedButNotListed) {
    auto a = add("a");
    auto again = add("a");
    EXPECT_NE(again, a);
    EXPECT_TRUE(again->isEqual(*a));
    EXPECT_EQ(manager->streamSources(), (Sources{probe, a}));

    // Still managed: it can be switched and it reports, but list-wide settings don't reach it.
    EXPECT_EQ(again->streamSourcesManager(), manager);
    manager->setRtmpTimeout(7);
    EXPECT_EQ(a->rtmpTimeout(), 7u);
    EXPECT_EQ(again->rtmpTimeout(), 0u);
    connected(again);
    EXPECT_EQ(manager->connectedStreamSources(), (Sources{again}));

    // A separate object for an equal record takes the listed one out; the listed one keeps its
    // links, the object given loses them.
    auto b = add("b");
    auto standIn = KNStreamSource::create();
    standIn->setStreamInfo(offlineDestination("b"));
    manager->removeSource(standIn);
    EXPECT_EQ(manager->streamSources(), (Sources{probe, a}));
    EXPECT_EQ(b->streamSourcesManager(), manager);
    EXPECT_EQ(standIn->streamSourcesManager(), nullptr);
}

TEST_F(KNStreamSourcesManagerTest, RemovingAConnectedDestinationClosesItAndSilencesIt) {
    auto a = add("a");
    auto b = add("b");
    connected(a);
    ASSERT_TRUE(events->waitForCount("connect:a", 1));

    manager->removeSource(a);
    EXPECT_EQ(manager->streamSources(), (Sources{probe, b}));
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    EXPECT_FALSE(a->on());
    EXPECT_EQ(a->streamSourcesManager(), nullptr);
    ASSERT_TRUE(events->waitForCount("last", 1));
    settle(a);  // its publisher's close runs and is told to the host only

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
    EXPECT_EQ(names, (std::vector<std::string>{"first", "connect:a", "kB:0", "last", "drop"}));
}

TEST_F(KNStreamSourcesManagerTest, OneFirstConnectionAndOneLastCloseWithTheZeroReportMadeFirst) {
    auto a = add("a");
    auto b = add("b");
    connected(a);
    connected(b);
    ASSERT_TRUE(events->waitForCount("connect:b", 1));
    EXPECT_EQ(events->names(), (std::vector<std::string>{"first", "connect:a", "connect:b"}));

    a->setOn(false);
    EXPECT_EQ(manager->connectedStreamSources(), (Sources{b}));
    b->setOn(false);
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    ASSERT_TRUE(events->waitForCount("last", 1));
    settle(a);
    settle(b);
    flush();
    EXPECT_EQ(events->count("first"), 1u);
    EXPECT_EQ(events->count("last"), 1u);
    EXPECT_EQ(events->count("kB:0"), 1u);
    EXPECT_LT(indexOf("kB:0"), indexOf("last"));
    EXPECT_EQ(events->count("close:a"), 1u);
    EXPECT_EQ(events->count("close:b"), 1u);
}

// The 0 report is made on the thread that empties the connected list, once the exclusive step is
// over: a listener may read the manager from it, whichever way the list was emptied.
TEST_F(KNStreamSourcesManagerTest, TheZeroReportComesOnTheEmptyingThreadAndMayReadTheManager) {
    struct Seen {
        std::thread::id thread;
        size_t connectedCount = 99;
        size_t listed = 0;
        bool readElsewhere = false;
    };
    std::mutex mutex;
    std::vector<Seen> seen;
    KNStreamSourcesManager* m = manager.get();
    events->onKilobytes = [&](uint64_t kilobytes) {
        if (kilobytes != 0) return;
        Seen s{std::this_thread::get_id(), m->connectedStreamSources().size(), m->streamSources().size()};
        // Another thread gets in too: the exclusive step is over, not just re-entered. (Detached, so
        // that a read stuck behind the step can't hold this report up.)
        auto read = std::make_shared<std::promise<void>>();
        auto done = read->get_future();
        std::thread([keep = manager, read] {
            keep->streamSources();
            read->set_value();
        }).detach();
        s.readElsewhere = done.wait_for(5s) == std::future_status::ready;
        std::lock_guard lock(mutex);
        seen.push_back(s);
    };
    const std::vector<std::pair<std::string, std::function<void(const std::shared_ptr<KNStreamSource>&)>>> ways = {
        {"switched off", [](auto& s) { s->setOn(false); }},
        {"close all", [&](auto&) { manager->closeConnectionOnAllSources(); }},
        {"removed", [&](auto& s) { manager->removeSource(s); }},
        {"close report", [](auto& s) { s->RTMPManagerDidCloseConnection(nullptr); }},
        {"disconnect report", [](auto& s) { s->RTMPManagerDidDisconnect(nullptr); }},
        {"lost connection", [](auto& s) { s->RTMPManagerDidFailConnectingWithError(nullptr, errorWithCode(30003)); }},
    };
    size_t round = 0;
    for (auto& [way, empty] : ways) {
        SCOPED_TRACE(way);
        auto source = add("zero-" + std::to_string(round));
        connected(source);
        std::thread::id emptier;
        std::thread other([&] {
            emptier = std::this_thread::get_id();
            empty(source);
        });
        other.join();
        ++round;
        std::lock_guard lock(mutex);
        ASSERT_EQ(seen.size(), round);
        EXPECT_EQ(seen.back().thread, emptier);
        EXPECT_EQ(seen.back().connectedCount, 0u);
        EXPECT_GE(seen.back().listed, 1u);
        EXPECT_TRUE(seen.back().readElsewhere);
    }
    ASSERT_TRUE(events->waitForCount("last", ways.size()));
    flush();
    EXPECT_EQ(events->count("first"), ways.size());
    EXPECT_EQ(events->count("last"), ways.size());
}

TEST_F(KNStreamSourcesManagerTest, TheConnectedListHoldsADestinationOnce) {
    auto a = add("a");
    connected(a);
    connected(a);
    EXPECT_EQ(manager->connectedStreamSources(), (Sources{a}));
    {
        // Packets wait on its publisher's queue: one hand-over, the payload shared, not copied.
        kntest::QueueGate gate(a->rtmpManager()->senderQueue());
        auto packet = bytes(1000);
        manager->sendVideoPacketIsKeyFrameTimestamp(packet, true, 40);
        EXPECT_EQ(a->rtmpManager()->queueLoad(), 1);
        EXPECT_EQ(packet.use_count(), 2);
    }
    a->RTMPManagerDidCloseConnection(nullptr);
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    flush();
    EXPECT_EQ(events->count("first"), 1u);
    EXPECT_EQ(events->count("last"), 1u);
}

TEST_F(KNStreamSourcesManagerTest, ADestinationClosedWhileConnectingDoesNotStayConnected) {
    auto a = add("a");
    {
        kntest::QueueGate gate(a->rtmpManager()->senderQueue());
        a->setOn(true);
        a->setOn(false);  // the close waits behind the connect on the publisher's queue
        EXPECT_FALSE(a->on());
        // The publisher finishes the connect first and reports it...
        connected(a);
        EXPECT_EQ(manager->connectedStreamSources(), (Sources{a}));
        // ...then runs the close, whose report takes it out again.
        a->RTMPManagerDidCloseConnection(nullptr);
        EXPECT_TRUE(manager->connectedStreamSources().empty());
        EXPECT_FALSE(a->on());
    }
    // The real connect and close run now: nothing changes any more.
    flush();
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    EXPECT_FALSE(a->on());
    EXPECT_EQ(events->count("first"), 1u);
    const auto names = events->names();
    const auto lastFirst = std::find(names.rbegin(), names.rend(), "first");
    const auto lastLast = std::find(names.rbegin(), names.rend(), "last");
    EXPECT_LT(lastLast - names.rbegin(), lastFirst - names.rbegin()) << "the last close follows the connection";

    // Nor does the timer keep running.
    const size_t before = events->matching("kB:").size();
    EXPECT_FALSE(platform::RunLoop::main().runUntil([&] { return events->matching("kB:").size() > before; }, 1500ms));
}

TEST_F(KNStreamSourcesManagerTest, CloseAndFailureReportsTakeADestinationOutOnce) {
    auto a = add("a");
    auto b = add("b");
    connected(a);
    connected(b);
    // A refused second connect: the session is live, it stays.
    a->RTMPManagerDidFailConnectingWithError(nullptr, errorWithCode(30001));
    EXPECT_EQ(manager->connectedStreamSources(), (Sources{a, b}));
    a->RTMPManagerDidCloseConnection(nullptr);
    EXPECT_EQ(manager->connectedStreamSources(), (Sources{b}));
    // A lost connection reports a failure and then the disconnect: one last close.
    b->RTMPManagerDidFailConnectingWithError(nullptr, errorWithCode(30003));
    b->RTMPManagerDidDisconnect(nullptr);
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    flush();
    EXPECT_EQ(events->count("last"), 1u);
    EXPECT_EQ(events->count("kB:0"), 1u);
    EXPECT_EQ(events->count("fail:a:30001"), 1u);
    EXPECT_EQ(events->count("fail:b:30003"), 1u);
    EXPECT_EQ(events->count("close:a"), 1u);
}

TEST_F(KNStreamSourcesManagerTest, EstimatesAreCombinedOncePerRoundOfConnectedDestinations) {
    auto a = add("a");
    auto b = add("b");
    connected(a);
    connected(b);
    auto estimate = [](auto& source, uint64_t bps) { source->bandwidthDetectorDidEstimateNewBitrate(nullptr, bps); };

    estimate(a, 3000);
    flush();
    EXPECT_TRUE(events->matching("estimate:").empty()) << "the round waits for b";
    estimate(b, 4001);  // integer mean
    estimate(a, 600);
    estimate(b, 900);  // the mean is raised to 1000
    // A newer estimate replaces the older one and the round still waits.
    estimate(a, 5000);
    estimate(a, 7000);
    flush();
    EXPECT_EQ(events->matching("estimate:"), (std::vector<std::string>{"estimate:3500", "estimate:1000"}));
    estimate(b, 9000);
    // Once b has left, a's estimates pass at once.
    b->RTMPManagerDidCloseConnection(nullptr);
    estimate(a, 600);
    estimate(a, 1001);
    flush();
    EXPECT_EQ(events->matching("estimate:"),
              (std::vector<std::string>{"estimate:3500", "estimate:1000", "estimate:8000", "estimate:1000",
                                        "estimate:1001"}));
}

TEST_F(KNStreamSourcesManagerTest, TheTimerReportsKilobytesSentEachSecondOnTheMainLoop) {
    auto a = add("a");
    auto b = add("b");
    connected(a);
    connected(b);  // restarts the timer
    for (int i = 0; i < 4; ++i) a->RTMPManagerDidSendPacketWithSize(nullptr, 250'000);
    b->RTMPManagerDidSendPacketWithSize(nullptr, 234'567);
    ASSERT_TRUE(runMainLoopUntilTicks(1));
    EXPECT_EQ(ticks(), (std::vector<std::string>{"kB:1234"}));
    ASSERT_TRUE(runMainLoopUntilTicks(2));
    EXPECT_EQ(ticks().back(), "kB:0") << "a second with nothing sent";

    // Closing reports 0 at once and stops the timer; bytes sent since the last tick wait for the
    // first tick after the next connection.
    a->RTMPManagerDidSendPacketWithSize(nullptr, 5999);
    manager->closeConnectionOnAllSources();
    EXPECT_EQ(events->matching("kB:").back(), "kB:0");
    EXPECT_FALSE(runMainLoopUntilTicks(3, 1500ms));
    connected(a);
    ASSERT_TRUE(runMainLoopUntilTicks(3));
    EXPECT_EQ(ticks().back(), "kB:5");
    a->setOn(false);
}

TEST_F(KNStreamSourcesManagerTest, PacketsReachOnlyConnectedDestinationsAndAreShared) {
    auto a = add("a");
    auto b = add("b");
    auto c = add("c");
    auto sps = bytes(12, 0x67);
    auto pps = bytes(4, 0x68);
    auto video = bytes(5000);
    auto audio = bytes(300);
    auto loads = [&] {
        return std::vector<int64_t>{a->rtmpManager()->queueLoad(), b->rtmpManager()->queueLoad(),
                                    c->rtmpManager()->queueLoad()};
    };

    // Nobody connected: the packets go nowhere and raise nothing.
    manager->setVideoSPSAndPPS(sps, pps);
    manager->sendVideoPacketIsKeyFrameTimestamp(video, true, 1000);
    manager->sendAudioPacketTimestamp(audio, 1001);
    EXPECT_EQ(loads(), (std::vector<int64_t>{0, 0, 0}));
    EXPECT_EQ(video.use_count(), 1);
    flush();
    EXPECT_EQ(events->names(), (std::vector<std::string>{"drop"}));

    kntest::QueueGate gateA(a->rtmpManager()->senderQueue());
    kntest::QueueGate gateB(b->rtmpManager()->senderQueue());
    connected(a);
    b->setOn(true);  // still connecting behind its gate
    manager->setVideoSPSAndPPS(sps, pps);
    manager->sendVideoPacketIsKeyFrameTimestamp(video, true, 1040);
    manager->sendAudioPacketTimestamp(audio, 1041);
    EXPECT_EQ(loads(), (std::vector<int64_t>{2, 0, 0}));
    EXPECT_EQ(video.use_count(), 2);
    EXPECT_EQ(audio.use_count(), 2);
    EXPECT_EQ(sps.use_count(), 2);

    // Close-all closes what is connected and leaves the one still connecting alone.
    manager->closeConnectionOnAllSources();
    EXPECT_FALSE(a->on());
    EXPECT_TRUE(b->on());
}

}  // namespace
