#include "transport/KNStreamSourcesManager.h"

#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <thread>

#include "transport/StreamSourcesTestSupport.h"

using namespace kntest;
using Source = std::shared_ptr<KNStreamSource>;

class KNStreamSourcesManagerTest : public ::testing::Test {
protected:
    void SetUp() override { manager->setDelegate(events); }
    Source add(const std::string& name) { return manager->addSourceWithStreamInfo(destination(name)); }
    static void failed(const Source& source, int64_t code) {
        source->RTMPManagerDidFailConnectingWithError(nullptr, KNError::errorWithCodesMessage({code}, "failure"));
    }
    bool listed(const Source& source) { return std::ranges::count(manager->connectedStreamSources(), source) > 0; }

    std::shared_ptr<KNStreamSourcesManager> manager = KNStreamSourcesManager::create();
    std::shared_ptr<ManagerEvents> events = std::make_shared<ManagerEvents>();
    Source probe = add("probe");
};

// A refused second connect keeps a destination listed; each round of estimates waits for every
// connected destination, keeps the newest of each, and reports the integer mean, at least 1000.
TEST_F(KNStreamSourcesManagerTest, ReportsComeOnceAndEstimatesAreCombinedPerRound) {
    auto a = add("a"), b = add("b");
    for (const auto& source : {a, a, b}) source->RTMPManagerDidConnectToServer(nullptr);
    failed(b, 30001);
    EXPECT_EQ(manager->connectedStreamSources(), (KNStreamSourcesManager::Sources{a, b}));
    for (auto [source, bps] : {std::pair{a, 3000}, {b, 4001}, {a, 600}, {b, 900}, {a, 5000}, {a, 7000}, {b, 9000}}) {
        source->bandwidthDetectorDidEstimateNewBitrate(nullptr, bps);
    }
    failed(b, 30003);
    EXPECT_FALSE(b->on());
    b->RTMPManagerDidDisconnect(nullptr);
    for (uint64_t bps : {600, 1001}) a->bandwidthDetectorDidEstimateNewBitrate(nullptr, bps);
    a->setOn(false);
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    a->rtmpManager()->senderQueue()->sync([] {});
    probe->RTMPManagerDidDropPacket(nullptr);  // its report comes after all queued before it
    ASSERT_TRUE(events->waitForCount("drop", 1));
    EXPECT_EQ(events->matching("estimate:"),
              (std::vector<std::string>{"estimate:3500", "estimate:1000", "estimate:8000", "estimate:1000", "estimate:1001"}));
    for (const char* once : {"first", "last", "kB:0", "close:a"}) EXPECT_EQ(events->count(once), 1u) << once;
}

// With adaptive bitrate on, a destination that closes and connects again estimates again.
TEST_F(KNStreamSourcesManagerTest, EstimatesResumeAfterACloseAndAReconnect) {
    auto a = add("a");
    a->setAdaptiveBitrateOn(true);
    for (const uint64_t packetBytes : {1000, 5000}) {
        a->RTMPManagerDidConnectToServer(nullptr);
        const size_t before = events->matching("estimate:").size();
        EXPECT_TRUE(waitFor([&] {
            a->RTMPManagerWillSendPacketWithSize(nullptr, packetBytes);
            a->RTMPManagerDidSendPacketWithSize(nullptr, packetBytes);
            return events->matching("estimate:").size() > before;
        }, 10s)) << packetBytes;
        a->RTMPManagerDidCloseConnection(nullptr);
    }
}

// Switched on, then removed while its connect report races in: never left in the connected list.
TEST_F(KNStreamSourcesManagerTest, AConnectReportRacingTheRemovalLeavesNoRemovedDestinationConnected) {
    for (int round = 0; round < 400; ++round) {
        auto source = add("race");
        auto sender = source->rtmpManager()->senderQueue();
        std::promise<void> gate;  // holds the connect back, so the destination stays on meanwhile
        sender->async([opened = gate.get_future().share()] { opened.wait(); });
        source->setOn(true);
        std::latch start(2);
        std::thread publisher([&] {
            start.arrive_and_wait();
            source->RTMPManagerDidConnectToServer(nullptr);
        });
        start.arrive_and_wait();
        manager->removeSource(source);
        publisher.join();
        gate.set_value();
        sender->sync([] {});
        ASSERT_FALSE(listed(source)) << "round " << round;
    }
}

// Media fanned out while destinations come and go on two threads.
TEST_F(KNStreamSourcesManagerTest, DestinationsComeAndGoWhileMediaFlows) {
    std::atomic<bool> stop{false};
    auto fill = [](size_t size, uint8_t value) { return std::make_shared<const std::vector<uint8_t>>(size, value); };
    std::thread media([&, video = fill(4000, 0x41), audio = fill(200, 0x41)] {
        for (uint64_t ts = 0; !stop; ts += 40) {
            if (ts % 1000 == 0) manager->setVideoSPSAndPPS(fill(12, 0x67), fill(4, 0x68));
            manager->sendVideoPacketIsKeyFrameTimestamp(video, ts % 1000 == 0, ts);
            manager->sendAudioPacketTimestamp(audio, ts);
        }
    });
    const std::function<void(const Source&)> endings[] = {
        [](const Source& source) { source->setOn(false); },
        [&](const Source& source) { manager->removeSource(source); },
        [](const Source& source) { source->RTMPManagerDidCloseConnection(nullptr); },
        [](const Source& source) { source->RTMPManagerDidDisconnect(nullptr); }};
    auto churn = [&](int worker) {
        for (int round = 0; round < 150; ++round) {
            auto source = add("churn-" + std::to_string(worker) + "-" + std::to_string(round));
            source->RTMPManagerDidConnectToServer(nullptr);
            source->RTMPManagerDidSendPacketWithSize(nullptr, 1000);
            source->bandwidthDetectorDidEstimateNewBitrate(nullptr, 2000 + worker * round);
            endings[(round + worker) % 4](source);
            source->rtmpManager()->senderQueue()->sync([] {});
            EXPECT_FALSE(listed(source));
            if (round % 2 == 0) manager->removeSource(source);
        }
    };
    std::thread churnA(churn, 1), churnB(churn, 2);
    churnA.join();
    churnB.join();
    stop = true;
    media.join();
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    EXPECT_TRUE(waitFor([&] { return events->count("last") >= events->count("first"); }, 10s));
}
