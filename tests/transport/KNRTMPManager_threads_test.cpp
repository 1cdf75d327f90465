// Audio and video handed in from their own threads while the host connects and closes: every
// packet is accounted for, and each connection's streams keep their order.
#include "transport/KNRTMPManager.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "KNRTMPSessionStandIn.h"

namespace {

using namespace kntest;

TEST(KNRTMPManagerThreads, FeedersConnectAndCloseRacingKeepEveryPacketAccountedFor) {
    auto log = std::make_shared<SessionLog>();
    auto recorder = std::make_shared<Recorder>();
    auto manager = KNRTMPManager::createWithSessionFactory(
        [log]() -> std::unique_ptr<KNRTMPSession> { return std::make_unique<StandInSession>(log); });
    manager->setDelegate(recorder);
    manager->setConnectionURL("rtmp://127.0.0.1/live/threads");

    constexpr int kPackets = 3000;
    const auto sps = bytes({0x67, 0x4D, 0x40, 0x1E}), pps = bytes({0x68, 0xEE});
    const auto nal = bytes({0x41, 0x9A}), keyNal = bytes({0x65, 0x88});
    const auto frame = adts(4, 1, 16);
    std::atomic<bool> start{false};
    std::atomic<int> videoFed{0};
    // Each feeder keeps below the bound, so nothing is dropped.
    auto feeder = [&](bool video) {
        return std::thread([&, video] {
            while (!start) std::this_thread::yield();
            for (int i = 0; i < kPackets; ++i) {
                while (manager->queueLoad() > kMaxQueueLoad / 2) std::this_thread::yield();
                const bool key = i % 10 == 0;
                if (!video) {
                    manager->sendAudioPacketTimestamp(frame, 10'000 + i * 23);
                    continue;
                }
                if (key) manager->setVideoSPSAndPPS(sps, pps);
                manager->sendVideoPacketIsKeyFrameTimestamp(key ? keyNal : nal, key, 10'000 + i * 33);
                ++videoFed;
            }
        });
    };
    std::thread video = feeder(true), audio = feeder(false);
    int establishes = 0, closes = 0;
    std::thread host([&] {
        while (!start) std::this_thread::yield();
        for (int i = 0; i < 90; ++i) {
            // Spread over the whole feed, whatever the threads' speeds.
            while (videoFed < i * kPackets / 100) std::this_thread::yield();
            if (i % 3 == 2) {
                manager->closeConnection();
                ++closes;
            } else {
                manager->establishConnection();
                ++establishes;
            }
            manager->setSendingAudio(i % 7 != 0);
            std::this_thread::yield();
        }
        manager->closeConnection();
        ++closes;
    });
    start = true;
    video.join();
    audio.join();
    host.join();
    manager->senderQueue()->sync([] {});

    EXPECT_EQ(log->alive, 0);
    EXPECT_EQ(recorder->count(recorder->closes), closes);
    EXPECT_EQ(recorder->count(recorder->connects) + static_cast<int>(recorder->errorList().size()), establishes);
    for (const auto& error : recorder->errorList()) EXPECT_EQ(error.first, 30001);
    EXPECT_EQ(recorder->count(recorder->drops), 0);
    EXPECT_TRUE(recorder->waitUntil([&] { return recorder->willSend.size() == 2u * kPackets; }, std::chrono::seconds(0)))
        << "every packet handed over is reported";

    // Within one connection each stream's time line never runs backwards.
    const auto sent = log->sent();
    EXPECT_GT(sent.size(), 100u) << recorder->story();
    std::map<std::pair<int, uint8_t>, uint32_t> last;
    for (const auto& packet : sent) {
        if (packet.type != RTMP_PACKET_TYPE_AUDIO && packet.type != RTMP_PACKET_TYPE_VIDEO) continue;
        if (packet.body.size() > 1 && packet.body[1] == 0x00) continue;  // sequence headers
        auto [it, first] = last.emplace(std::make_pair(packet.session, packet.type), packet.timestamp);
        if (!first) {
            EXPECT_GE(packet.timestamp, it->second) << "session " << packet.session;
            it->second = packet.timestamp;
        }
    }
}

}  // namespace
