// The sources manager under concurrent use: destinations closed or removed while they connect,
// against a real server and with reports racing the removal, and destinations coming and going
// while audio and video are fanned out from two threads.
#include "transport/KNStreamSourcesManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>

#include "platform/RunLoop.h"
#include "support/TestServer.h"
#include "transport/StreamSourcesTestSupport.h"

namespace {

using namespace std::chrono_literals;
using kntest::offlineDestination;

bool holds(const KNStreamSourcesManager::Sources& list, const std::shared_ptr<KNStreamSource>& source) {
    return std::find(list.begin(), list.end(), source) != list.end();
}

// Releases two threads at the same moment.
class StartLine {
public:
    void arriveAndWait() {
        if (++arrived_ == 2) return;
        while (arrived_ < 2) std::this_thread::yield();
    }

private:
    std::atomic<int> arrived_{0};
};

struct HostListener : KNStreamSourceDelegate {
    std::atomic<int> closes{0}, connects{0}, failures{0};
    void streamSourceDidConnect(const std::shared_ptr<KNStreamSource>&) override { ++connects; }
    void streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>&) override { ++closes; }
    void streamSourceDidFailConnectingWithError(const std::shared_ptr<KNStreamSource>&,
                                                const std::shared_ptr<KNError>&) override {
        ++failures;
    }
};

// Against a real server: a destination switched off or removed right after being switched on
// finishes its connect and then its close on the publisher's queue; it must end up out of the
// connected list, with the timer stopped and the last close reported after the first connection.
TEST(KNStreamSourcesManagerThreads, ClosedOrRemovedWhileConnectingNeverStaysConnected) {
    const auto dir = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("sources-server");
    std::filesystem::create_directories(dir);
    auto server = kntest::TestServer::startPrivate(dir);
    ASSERT_TRUE(server);

    auto manager = KNStreamSourcesManager::create();
    auto events = std::make_shared<kntest::ManagerEvents>();
    manager->setDelegate(events);
    manager->setRtmpTimeout(10);
    auto host = std::make_shared<HostListener>();

    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto source = manager->addSourceWithStreamInfo(
            kntest::rtmpDestination("127.0.0.1:" + std::to_string(server->rtmpPort()), kntest::uniqueName("cwc")));
        source->setDelegate(host);
        const int closesBefore = host->closes;
        source->setOn(true);
        // At once: the close waits on the publisher's queue behind the connect, which finishes and
        // reports first.
        const bool remove = round % 3 == 2;
        if (remove) {
            manager->removeSource(source);
        } else {
            source->setOn(false);
        }
        ASSERT_TRUE(kntest::waitFor([&] { return host->closes > closesBefore; }, 20s));
        source->rtmpManager()->senderQueue()->sync([] {});
        EXPECT_EQ(host->connects.load(), round + 1) << "the connect did not finish before the close";
        EXPECT_FALSE(source->on());
        EXPECT_FALSE(holds(manager->connectedStreamSources(), source));
        if (!remove) manager->removeSource(source);
    }
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    ASSERT_TRUE(events->waitFor([&] {
        auto names = events->names();
        auto first = std::find(names.rbegin(), names.rend(), "first");
        auto last = std::find(names.rbegin(), names.rend(), "last");
        return last != names.rend() && last < first;
    }));
    const size_t kilobytes = events->matching("kB:").size();
    EXPECT_FALSE(platform::RunLoop::main().runUntil([&] { return events->matching("kB:").size() > kilobytes; },
                                                   1500ms))
        << "the throughput timer still runs";
}

// A connect report already on its way when the destination is removed must not put the removed
// destination into the connected list: nothing would ever take it out again.
TEST(KNStreamSourcesManagerThreads, AConnectReportRacingTheRemovalLeavesNoRemovedDestinationConnected) {
    auto manager = KNStreamSourcesManager::create();
    auto events = std::make_shared<kntest::ManagerEvents>();
    manager->setDelegate(events);
    int stuck = 0;
    for (int round = 0; round < 400; ++round) {
        auto source = manager->addSourceWithStreamInfo(offlineDestination("race-" + std::to_string(round)));
        {
            kntest::QueueGate gate(source->rtmpManager()->senderQueue());
            source->setOn(true);  // connecting: its connect waits behind the gate
            StartLine start;
            std::thread publisher([&] {
                start.arriveAndWait();
                source->RTMPManagerDidConnectToServer(nullptr);
            });
            start.arriveAndWait();
            manager->removeSource(source);
            publisher.join();
        }
        source->rtmpManager()->senderQueue()->sync([] {});
        if (holds(manager->connectedStreamSources(), source)) ++stuck;
    }
    EXPECT_EQ(stuck, 0) << "removed destinations left in the connected list";
    EXPECT_TRUE(manager->connectedStreamSources().empty());
}

// Audio and video fanned out from two threads while destinations are added, connected, estimated,
// closed and removed from two more, and the lists read from a fifth.
TEST(KNStreamSourcesManagerThreads, DestinationsComeAndGoWhileMediaFlows) {
    auto manager = KNStreamSourcesManager::create();
    auto events = std::make_shared<kntest::ManagerEvents>();
    manager->setDelegate(events);
    manager->setAdaptiveBitRateOn(false);
    manager->setVideoSPSAndPPS(kntest::bytes(12, 0x67), kntest::bytes(4, 0x68));

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> videoSent{0}, audioSent{0};
    auto video = kntest::bytes(4000);
    auto audio = kntest::bytes(200);
    std::thread videoFeeder([&] {
        for (uint64_t ts = 0; !stop; ts += 40) {
            if (ts % 1000 == 0) manager->setVideoSPSAndPPS(kntest::bytes(12, 0x67), kntest::bytes(4, 0x68));
            manager->sendVideoPacketIsKeyFrameTimestamp(video, ts % 1000 == 0, ts);
            ++videoSent;
        }
    });
    std::thread audioFeeder([&] {
        for (uint64_t ts = 0; !stop; ts += 23) {
            manager->sendAudioPacketTimestamp(audio, ts);
            ++audioSent;
        }
    });
    std::thread reader([&] {
        while (!stop) {
            auto connected = manager->connectedStreamSources();
            auto listed = manager->streamSources();
            // Every connected destination here is one of ours, listed or not, and listed once.
            std::sort(connected.begin(), connected.end());
            EXPECT_EQ(std::adjacent_find(connected.begin(), connected.end()), connected.end());
            (void)listed;
        }
    });

    auto churn = [&](int worker) {
        std::mt19937 random(worker);
        for (int round = 0; round < 150; ++round) {
            auto source = manager->addSourceWithStreamInfo(
                offlineDestination("churn-" + std::to_string(worker) + "-" + std::to_string(round)));
            source->RTMPManagerDidConnectToServer(nullptr);
            source->RTMPManagerDidSendPacketWithSize(nullptr, 1000);
            source->bandwidthDetectorDidEstimateNewBitrate(nullptr, 2000 + random() % 1000);
            switch (random() % 4) {
            case 0:
                source->setOn(false);
                break;
            case 1:
                manager->removeSource(source);
                break;
            case 2:
                source->RTMPManagerDidCloseConnection(nullptr);
                break;
            default:
                source->RTMPManagerDidDisconnect(nullptr);
                break;
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
    videoFeeder.join();
    audioFeeder.join();
    reader.join();

    EXPECT_GT(videoSent.load(), 0u);
    EXPECT_GT(audioSent.load(), 0u);
    EXPECT_TRUE(manager->connectedStreamSources().empty());
    // Every first connection was followed by a last close.
    ASSERT_TRUE(events->waitFor([&] {
        auto names = events->names();
        auto first = std::find(names.rbegin(), names.rend(), "first");
        auto last = std::find(names.rbegin(), names.rend(), "last");
        return first != names.rend() && last < first;
    }));
    EXPECT_GE(events->count("last"), events->count("first"));
}

}  // namespace
