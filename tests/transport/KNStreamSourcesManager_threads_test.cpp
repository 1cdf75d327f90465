// The sources manager under concurrent use: destinations closed or removed while they connect,
// against a real server and with reports racing the removal, and destinations coming and going
// while audio and video are fanned out from two threads.
#include "transport/KNStreamSourcesManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <latch>
#include <random>

#include "transport/StreamSourcesTestSupport.h"

namespace {

using namespace std::chrono_literals;
using kntest::destination;

bool holds(const KNStreamSourcesManager::Sources& list, const std::shared_ptr<KNStreamSource>& source) {
    return std::ranges::find(list, source) != list.end();
}

struct HostListener : KNStreamSourceDelegate {
    std::atomic<int> closes{0}, connects{0};
    void streamSourceDidConnect(const std::shared_ptr<KNStreamSource>&) override { ++connects; }
    void streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>&) override { ++closes; }
};

// Against a real server: a destination switched off or removed right after being switched on
// finishes its connect and then its close on the publisher's queue; it must end up out of the
// connected list, and every first connection be followed by a last close.
TEST(KNStreamSourcesManagerThreads, ClosedOrRemovedWhileConnectingNeverStaysConnected) {
    const auto dir = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("sources-server");
    std::filesystem::create_directories(dir);
    auto server = kntest::TestServer::startPrivate(dir);
    ASSERT_TRUE(server);
    const auto address = "127.0.0.1:" + std::to_string(server->rtmpPort());

    auto manager = KNStreamSourcesManager::create();
    auto events = std::make_shared<kntest::ManagerEvents>();
    manager->setDelegate(events);
    manager->setRtmpTimeout(10);
    auto host = std::make_shared<HostListener>();

    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto source = manager->addSourceWithStreamInfo(destination(kntest::uniqueName("cwc"), address));
        source->setDelegate(host);
        const int closesBefore = host->closes;
        source->setOn(true);
        // At once: the close waits on the publisher's queue behind the connect, which finishes and
        // reports first.
        const bool remove = round % 3 == 2;
        remove ? manager->removeSource(source) : source->setOn(false);
        ASSERT_TRUE(kntest::waitFor([&] { return host->closes > closesBefore; }, 20s));
        source->rtmpManager()->senderQueue()->sync([] {});
        EXPECT_EQ(host->connects.load(), round + 1) << "the connect did not finish before the close";
        EXPECT_FALSE(source->on());
        EXPECT_FALSE(holds(manager->connectedStreamSources(), source));
        if (!remove) manager->removeSource(source);
    }
    EXPECT_GE(events->count("first"), 1u);
    EXPECT_TRUE(kntest::waitFor([&] { return events->everyFirstClosed(); }, 10s));
}

// A connect report already on its way when the destination is removed must not put the removed
// destination into the connected list: nothing would ever take it out again.
TEST(KNStreamSourcesManagerThreads, AConnectReportRacingTheRemovalLeavesNoRemovedDestinationConnected) {
    auto manager = KNStreamSourcesManager::create();
    int stuck = 0;
    for (int round = 0; round < 400; ++round) {
        auto source = manager->addSourceWithStreamInfo(destination("race-" + std::to_string(round)));
        {
            kntest::QueueGate gate(source->rtmpManager()->senderQueue());
            source->setOn(true);  // connecting: its connect waits behind the gate
            std::latch start(2);
            std::thread publisher([&] {
                start.arrive_and_wait();
                source->RTMPManagerDidConnectToServer(nullptr);
            });
            start.arrive_and_wait();
            manager->removeSource(source);
            publisher.join();
        }
        if (holds(manager->connectedStreamSources(), source)) ++stuck;
    }
    EXPECT_EQ(stuck, 0) << "removed destinations left in the connected list";
}

// Audio and video fanned out from two threads while destinations are added, connected, estimated,
// closed and removed from two more, and the connected list read from a fifth.
TEST(KNStreamSourcesManagerThreads, DestinationsComeAndGoWhileMediaFlows) {
    auto manager = KNStreamSourcesManager::create();
    auto events = std::make_shared<kntest::ManagerEvents>();
    manager->setDelegate(events);

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&, video = kntest::bytes(4000)] {
        for (uint64_t ts = 0; !stop; ts += 40) {
            if (ts % 1000 == 0) manager->setVideoSPSAndPPS(kntest::bytes(12, 0x67), kntest::bytes(4, 0x68));
            manager->sendVideoPacketIsKeyFrameTimestamp(video, ts % 1000 == 0, ts);
        }
    });
    threads.emplace_back([&, audio = kntest::bytes(200)] {
        for (uint64_t ts = 0; !stop; ts += 23) manager->sendAudioPacketTimestamp(audio, ts);
    });
    threads.emplace_back([&] {
        while (!stop) {
            // Listed once, however the reports and changes interleave.
            auto connected = manager->connectedStreamSources();
            std::ranges::sort(connected);
            EXPECT_EQ(std::ranges::adjacent_find(connected), connected.end());
        }
    });

    auto churn = [&](int worker) {
        std::mt19937 random(worker);
        for (int round = 0; round < 150; ++round) {
            auto source = manager->addSourceWithStreamInfo(
                destination("churn-" + std::to_string(worker) + "-" + std::to_string(round)));
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
            EXPECT_FALSE(holds(manager->connectedStreamSources(), source));
            if (round % 2 == 0) manager->removeSource(source);
        }
    };
    std::thread churnA(churn, 1);
    std::thread churnB(churn, 2);
    churnA.join();
    churnB.join();
    stop = true;
    for (auto& t : threads) t.join();

    EXPECT_TRUE(manager->connectedStreamSources().empty());
    EXPECT_TRUE(kntest::waitFor([&] { return events->everyFirstClosed(); }, 10s));
}

}  // namespace
