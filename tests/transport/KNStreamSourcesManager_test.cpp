// Destinations and their manager, with publisher and detector events injected.
#include "transport/KNStreamSourcesManager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <latch>
#include <random>
#include <thread>

#include "platform/RunLoop.h"
#include "transport/KNBandwidthDetector.h"
#include "transport/StreamSourcesTestSupport.h"

using namespace std::chrono_literals;
using namespace kntest;
using Source = std::shared_ptr<KNStreamSource>;
using Sources = KNStreamSourcesManager::Sources;
using Names = std::vector<std::string>;

// c connect, x close, d disconnect, f flip the flag, all while the detector's queue is held.
TEST(KNStreamSource, DetectorRunsWithTheAdaptiveFlagAndStopsOnEveryEnd) {
    auto source = KNStreamSource::create();
    const std::pair<std::string, bool> steps[] = {{"c", false}, {"f", true},  {"x", false}, {"c", true}, {"d", false},
                                                  {"c", true},  {"xc", true}, {"x", false}, {"cf", false}};
    for (const auto& [script, monitoring] : steps) {
        {
            kntest::QueueGate gate(source->bandwidthDetector()->detectorQueue());
            for (char step : script) {
                if (step == 'c') source->RTMPManagerDidConnectToServer(nullptr);
                if (step == 'x') source->RTMPManagerDidCloseConnection(nullptr);
                if (step == 'd') source->RTMPManagerDidDisconnect(nullptr);
                if (step == 'f') source->setAdaptiveBitrateOn(!source->adaptiveBitrateOn());
            }
        }
        EXPECT_EQ(source->bandwidthDetector()->isMonitoring(), monitoring) << script;
    }
}

class KNStreamSourcesManagerTest : public ::testing::Test {
protected:
    void SetUp() override { manager->setDelegate(events); }
    Source add(const std::string& name) { return manager->addSourceWithStreamInfo(destination(name)); }
    static void connected(const Source& source) { source->RTMPManagerDidConnectToServer(nullptr); }
    void flush() { kntest::flushReports(*events, probe); }
    bool listed(const Source& source) { return std::ranges::count(manager->connectedStreamSources(), source) > 0; }
    bool everyFirstClosed() {
        return kntest::waitFor([&] { return events->count("last") >= events->count("first"); }, 10s);
    }
    bool runMainLoopUntilTicks(size_t n, std::chrono::milliseconds timeout = 3s) {
        return platform::RunLoop::main().runUntil([&] { return events->matching("kB:").size() >= n; }, timeout);
    }

    std::shared_ptr<KNStreamSourcesManager> manager = KNStreamSourcesManager::create();
    std::shared_ptr<kntest::ManagerEvents> events = std::make_shared<kntest::ManagerEvents>();
    Source probe = add("probe");
};

// On before its connect is queued: however fast the failure lands, the switch reads off afterwards.
TEST_F(KNStreamSourcesManagerTest, AFastFailureLeavesTheDestinationOff) {
    for (size_t round = 1; round <= 20; ++round) {
        probe->setOn(true);
        ASSERT_TRUE(events->waitForCount("fail:probe:30000", round));
        probe->rtmpManager()->senderQueue()->sync([] {});
        EXPECT_FALSE(probe->on()) << "round " << round;
    }
}

// Each destination is listed as connected once; a refused second connect keeps it listed.
TEST_F(KNStreamSourcesManagerTest, FirstConnectionAndLastCloseAreReportedOnceWithTheZeroReportFirst) {
    auto a = add("a"), b = add("b");
    for (const auto& source : {a, a, b}) connected(source);
    b->RTMPManagerDidFailConnectingWithError(nullptr, errorWithCode(30001));  // the session is live
    EXPECT_EQ(manager->connectedStreamSources(), (Sources{a, b}));
    EXPECT_TRUE(b->on());
    a->setOn(false);
    EXPECT_EQ(manager->connectedStreamSources(), (Sources{b}));
    b->RTMPManagerDidFailConnectingWithError(nullptr, errorWithCode(30003));
    EXPECT_FALSE(b->on());
    b->RTMPManagerDidDisconnect(nullptr);
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    a->rtmpManager()->senderQueue()->sync([] {});
    flush();
    const auto names = events->names();
    auto at = [&](const std::string& what) { return std::ranges::find(names, what) - names.begin(); };
    EXPECT_EQ(events->matching("connect:"), (Names{"connect:a", "connect:a", "connect:b"}));
    for (const char* once : {"first", "last", "kB:0", "close:a"}) EXPECT_EQ(events->count(once), 1u) << once;
    EXPECT_LT(at("kB:0"), at("last"));
    EXPECT_EQ(events->matching("fail:"), (Names{"fail:b:30001", "fail:b:30003"}));
}

// Made on the emptying thread after the exclusive step, whichever way the list was emptied.
TEST_F(KNStreamSourcesManagerTest, TheZeroReportComesOnTheEmptyingThreadAndMayReadTheManager) {
    std::string way;
    std::thread::id emptier;
    size_t zeros = 0;
    events->onKilobytes = [&, m = manager.get()](uint64_t kilobytes) {
        if (kilobytes != 0) return;
        ++zeros;
        EXPECT_EQ(std::this_thread::get_id(), emptier) << way;
        EXPECT_TRUE(m->connectedStreamSources().empty()) << way;
        auto read = std::make_shared<std::promise<void>>();
        std::thread([keep = manager, read] { keep->streamSources(), read->set_value(); }).detach();
        EXPECT_TRUE(read->get_future().wait_for(5s) == std::future_status::ready) << way << ": inside the exclusive step";
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
        std::thread([&] { emptier = std::this_thread::get_id(), w.second(source); }).join();
    }
    flush();
    EXPECT_EQ(zeros, ways.size());
    EXPECT_EQ(events->count("last"), ways.size());
}

TEST_F(KNStreamSourcesManagerTest, EstimatesAreCombinedOncePerRoundAndThroughputIsReportedEachSecond) {
    auto a = add("a"), b = add("b");
    connected(a);
    connected(b);  // restarts the timer
    // Each round waits for both, keeps the newest of each, and reports the integer mean, at least 1000.
    for (auto [source, bps] : {std::pair{a, 3000}, {b, 4001}, {a, 600}, {b, 900}, {a, 5000}, {a, 7000}, {b, 9000}}) {
        source->bandwidthDetectorDidEstimateNewBitrate(nullptr, bps);
    }
    for (int i = 0; i < 4; ++i) a->RTMPManagerDidSendPacketWithSize(nullptr, 250'000);
    b->RTMPManagerDidSendPacketWithSize(nullptr, 234'567);
    ASSERT_TRUE(runMainLoopUntilTicks(1));
    EXPECT_EQ(events->matching("kB:"), (Names{"kB:1234"}));
    ASSERT_TRUE(runMainLoopUntilTicks(2));
    EXPECT_EQ(events->matching("kB:").back(), "kB:0") << "a second with nothing sent";

    b->RTMPManagerDidCloseConnection(nullptr);
    for (uint64_t bps : {600, 1001}) a->bandwidthDetectorDidEstimateNewBitrate(nullptr, bps);
    flush();
    EXPECT_EQ(events->matching("estimate:"),
              (Names{"estimate:3500", "estimate:1000", "estimate:8000", "estimate:1000", "estimate:1001"}));
    manager->closeConnectionOnAllSources();
    const size_t reports = events->matching("kB:").size();
    EXPECT_FALSE(runMainLoopUntilTicks(reports + 1, 1500ms));
}

// Against a real server, switched off or removed while connecting: never left in the connected list.
TEST_F(KNStreamSourcesManagerTest, ClosedOrRemovedWhileConnectingNeverStaysConnected) {
    const auto dir = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("sources-server");
    std::filesystem::create_directories(dir);
    auto server = kntest::TestServer::startPrivate(dir);
    ASSERT_TRUE(server);
    manager->setRtmpTimeout(10);
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto name = kntest::uniqueName("cwc");
        auto source = manager->addSourceWithStreamInfo(destination(name, "127.0.0.1:" + std::to_string(server->rtmpPort())));
        source->setOn(true);
        const bool remove = round % 3 == 2;
        remove ? manager->removeSource(source) : source->setOn(false);
        source->rtmpManager()->senderQueue()->sync([] {});
        EXPECT_FALSE(source->on());
        EXPECT_FALSE(listed(source));
        if (!remove) {
            EXPECT_TRUE(events->waitForCount("connect:" + name, 1)) << "the connect did not succeed";
            manager->removeSource(source);
        }
    }
    EXPECT_TRUE(everyFirstClosed());
}

// A connect report already on its way when the destination is removed must not list it again.
TEST_F(KNStreamSourcesManagerTest, AConnectReportRacingTheRemovalLeavesNoRemovedDestinationConnected) {
    int stuck = 0;
    for (int round = 0; round < 400; ++round) {
        auto source = add("race-" + std::to_string(round));
        {
            kntest::QueueGate gate(source->rtmpManager()->senderQueue());
            source->setOn(true);  // its connect waits behind the gate
            std::latch start(2);
            auto publisher = std::async(std::launch::async, [&] {
                start.arrive_and_wait(), source->RTMPManagerDidConnectToServer(nullptr);
            });
            start.arrive_and_wait();
            manager->removeSource(source);
        }
        stuck += listed(source);
    }
    EXPECT_EQ(stuck, 0) << "removed destinations left in the connected list";
}

// Media fanned out while destinations come and go on two threads and a fourth reads the list.
TEST_F(KNStreamSourcesManagerTest, DestinationsComeAndGoWhileMediaFlows) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&, video = kntest::bytes(4000), audio = kntest::bytes(200)] {
        for (uint64_t ts = 0; !stop; ts += 40) {
            if (ts % 1000 == 0) manager->setVideoSPSAndPPS(kntest::bytes(12, 0x67), kntest::bytes(4, 0x68));
            manager->sendVideoPacketIsKeyFrameTimestamp(video, ts % 1000 == 0, ts);
            manager->sendAudioPacketTimestamp(audio, ts);
        }
    });
    threads.emplace_back([&] {
        for (auto list = manager->connectedStreamSources(); !stop; list = manager->connectedStreamSources()) {
            std::ranges::sort(list);
            EXPECT_EQ(std::ranges::adjacent_find(list), list.end()) << "listed twice";
        }
    });
    auto churn = [&](int worker) {
        std::mt19937 random(worker);
        for (int round = 0; round < 150; ++round) {
            auto source = add("churn-" + std::to_string(worker) + "-" + std::to_string(round));
            source->RTMPManagerDidConnectToServer(nullptr);
            source->RTMPManagerDidSendPacketWithSize(nullptr, 1000);
            source->bandwidthDetectorDidEstimateNewBitrate(nullptr, 2000 + random() % 1000);
            switch (random() % 4) {
            case 0: source->setOn(false); break;
            case 1: manager->removeSource(source); break;
            case 2: source->RTMPManagerDidCloseConnection(nullptr); break;
            default: source->RTMPManagerDidDisconnect(nullptr); break;
            }
            source->rtmpManager()->senderQueue()->sync([] {});
            EXPECT_FALSE(listed(source));
            if (round % 2 == 0) manager->removeSource(source);
        }
    };
    std::thread churnA(churn, 1), churnB(churn, 2);
    churnA.join();
    churnB.join();
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    EXPECT_TRUE(everyFirstClosed());
}
