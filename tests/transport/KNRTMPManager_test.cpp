// The publisher against a session stand-in, also fed from several threads.
#include "transport/KNRTMPManager.h"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <thread>

#include "KNRTMPSessionStandIn.h"

using namespace kntest;
using Errors = std::vector<std::pair<int64_t, std::string>>;

const Bytes kSps = {0x67, 0x4D, 0x40, 0x1E, 0x95, 0xA0};
const Bytes kPps = {0x68, 0xEE, 0x3C, 0x80};
const auto kKeyNal = bytes({0x65, 0x88, 0x80, 0x10});
const auto kNal = bytes({0x41, 0x9A, 0x02});

class KNRTMPManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        log = std::make_shared<SessionLog>();
        recorder = std::make_shared<Recorder>();
        manager = KNRTMPManager::createWithSessionFactory([log = log, this]() -> std::unique_ptr<KNRTMPSession> {
            return failAlloc ? nullptr : std::make_unique<StandInSession>(log);
        });
        manager->setDelegate(recorder);
    }
    void drain() { manager->senderQueue()->sync([] {}); }
    void establish(std::optional<std::string> url = "rtmp://127.0.0.1:1935/live/test") {
        manager->setConnectionURL(std::move(url));
        manager->establishConnection();
        drain();
    }
    void parameterSets(const Bytes& sps = kSps) { manager->setVideoSPSAndPPS(bytes(sps), bytes(kPps)); }
    void key(uint64_t ts) { manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, ts); }
    void inter(uint64_t ts) { manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, ts); }
    void audio(uint64_t ts, KNFrame::Bytes frame = adts(4, 1, 8)) { manager->sendAudioPacketTimestamp(frame, ts); }
    int count(const int& field) { return recorder->count(field); }
    // Holds the queue until the returned promise is set.
    std::promise<void> holdQueue() {
        std::promise<void> gate;
        manager->senderQueue()->async([future = gate.get_future().share()] { future.wait(); });
        return gate;
    }

    std::shared_ptr<SessionLog> log;
    std::shared_ptr<Recorder> recorder;
    std::shared_ptr<KNRTMPManager> manager;
    std::atomic<bool> failAlloc{false};
};

TEST_F(KNRTMPManagerTest, ConnectFailuresReportTheirCodeLeaveNoSessionAndTimeOutsAreClamped) {
    const struct {
        std::optional<std::string> url;
        Status status;
        bool failAlloc;
        int64_t code;
        const char* message;
        size_t connectsTried;
    } cases[] = {
        {std::nullopt, Status::Connected, false, 30000, "Connection URL is missing", 0},
        {"rtmp://h\xC3\xA9st/live/x", Status::Connected, false, 30000, "Failed to set RTMP URL", 0},
        {"rtmp://host/live/x", Status::Connected, true, 30002, "Failed to alloc RTMP object", 0},
        {"no-scheme", Status::BadURL, false, 30000, "Failed to set RTMP URL", 1},
        {"rtmp://127.0.0.1:1/live/x", Status::ConnectFailed, false, 30003, "Failed to connect to server", 1},
        {"rtmp://host/nosuchapp/x", Status::StreamFailed, false, 30004, "Failed to connect to stream", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        SetUp();
        log->status = c.status;
        failAlloc = c.failAlloc;
        establish(c.url);
        EXPECT_EQ(recorder->errorList(), (Errors{{c.code, c.message}}));
        EXPECT_EQ(log->connects.size(), c.connectsTried);
        EXPECT_EQ(log->alive, 0);
        // Nothing is left behind that would refuse the next attempt.
        log->status = Status::Connected;
        failAlloc = false;
        establish();
        EXPECT_EQ(recorder->story(), "fail " + std::to_string(c.code) + "; connect; ");
    }

    SetUp();
    manager->closeConnection();  // reported even without a connection
    for (uint64_t timeout : {uint64_t{0}, uint64_t{7}, uint64_t{1} << 40}) {
        manager->setTimeout(timeout);
        establish();
        manager->closeConnection();
    }
    drain();
    std::vector<int32_t> seconds;
    for (const auto& c : log->connects) seconds.push_back(c.second);
    EXPECT_EQ(seconds, (std::vector<int32_t>{30, 7, INT32_MAX}));
    EXPECT_EQ(count(recorder->closes), 4);
    EXPECT_EQ(log->alive, 0);
}

// New parameter sets or a new audio format re-arm the sequence headers; frames still held for
// interleaving go out before a close.
TEST_F(KNRTMPManagerTest, PacketsCarryTheirHeaderFieldsBodiesAndSizes) {
    auto metadata = KNMetadata::create();
    manager->setMetadata(metadata);
    establish();
    const Bytes sps2 = {0x67, 0x64, 0x00, 0x28, 0xAC};
    parameterSets();
    audio(1000, adts(4, 1, 10));
    key(1000);
    audio(1023, adts(4, 1, 4));
    inter(1033);
    audio(1046, adts(4, 1, 6, true));
    parameterSets();  // the same again: nothing new
    key(1066);
    parameterSets(sps2);
    key(1099);
    audio(1069, adts(7, 2, 2));  // 22050 Hz stereo
    manager->closeConnection();
    drain();
    using Fields = std::tuple<uint8_t, int, uint8_t, uint32_t, uint8_t, bool, int32_t>;
    const std::pair<Fields, Bytes> expected[] = {
        // type, channel, header type, timestamp, absolute, queued, stream; body (headers at 0)
        {{0x12, 3, 0, 0, 1, false, kStreamId}, KNFLVPayload::onMetaData(*metadata)},
        {{0x09, 4, 0, 0, 0, false, kStreamId}, KNFLVPayload::avcSequenceHeader(kSps, kPps)},
        {{0x09, 4, 0, 0, 0, true, kStreamId}, {0x17, 0x01, 0, 0, 0, 0, 0, 0, 4, 0x65, 0x88, 0x80, 0x10}},
        {{0x08, 4, 0, 0, 0, false, kStreamId}, {0xAF, 0x00, 0x12, 0x08}},
        {{0x08, 4, 1, 0, 0, true, kStreamId}, {0xAF, 0x01, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {{0x08, 4, 0, 23, 0, true, kStreamId}, {0xAF, 0x01, 0, 1, 2, 3}},  // 4-byte payload: large header
        {{0x09, 4, 0, 33, 0, true, kStreamId}, {0x27, 0x01, 0, 0, 0, 0, 0, 0, 3, 0x41, 0x9A, 0x02}},
        {{0x08, 4, 1, 46, 0, true, kStreamId}, {0xAF, 0x01, 0, 1, 2, 3, 4, 5}},
        {{0x09, 4, 0, 66, 0, true, kStreamId}, {0x17, 0x01, 0, 0, 0, 0, 0, 0, 4, 0x65, 0x88, 0x80, 0x10}},
        {{0x08, 4, 0, 0, 0, false, kStreamId}, {0xAF, 0x00, 0x13, 0x90}},
        {{0x08, 4, 1, 69, 0, true, kStreamId}, {0xAF, 0x01, 0, 1}},
        {{0x09, 4, 0, 0, 0, false, kStreamId}, KNFLVPayload::avcSequenceHeader(sps2, kPps)},
        {{0x09, 4, 0, 99, 0, true, kStreamId}, {0x17, 0x01, 0, 0, 0, 0, 0, 0, 4, 0x65, 0x88, 0x80, 0x10}},
    };
    const auto sent = log->sent();
    ASSERT_EQ(sent.size(), std::size(expected));
    for (size_t i = 0; i < sent.size(); ++i) {
        const auto& p = sent[i];
        EXPECT_EQ(Fields(p.type, p.channel, p.headerType, p.timestamp, p.hasAbsTimestamp, p.queued, p.infoField2),
                  expected[i].first) << i;
        EXPECT_EQ(p.body, expected[i].second) << i;
    }
    EXPECT_EQ(recorder->count(recorder->willSend), (std::vector<uint64_t>{17 + 67, 4 + 67, 11 + 67, 3 + 67, 15 + 67,
                                                                          4 + 67, 4 + 67, 9 + 67}));
    EXPECT_EQ(recorder->count(recorder->didSend), (std::vector<uint64_t>{4 + 67, 17 + 53, 11 + 53, 3 + 67, 15 + 53,
                                                                         4 + 67, 9 + 53, 4 + 67}));
    EXPECT_EQ(recorder->story(), "connect; close; ");
    EXPECT_EQ(log->alive, 0);
}

TEST_F(KNRTMPManagerTest, RefusedInputIsNeverReadPast) {
    establish();
    inter(900);  // before any key frame: waits for one, not a bad packet
    key(1000);   // no parameter sets yet
    parameterSets(Bytes(0x10000, 0x67));
    key(1200);  // SPS too long for its length field
    manager->sendVideoPacketIsKeyFrameTimestamp(bytes({}), false, 1233);
    for (const auto& packet : {adts(4, 1, 0), bytes({0xFF, 0xF1, 0x50}), bytes({}), KNFrame::Bytes()}) audio(1000, packet);
    drain();
    EXPECT_EQ(count(recorder->badVideo), 3);
    EXPECT_EQ(count(recorder->badAudio), 4);
    EXPECT_TRUE(log->sent().empty());
    EXPECT_EQ(manager->queueLoad(), 0);
}

TEST_F(KNRTMPManagerTest, LoadBoundAcceptsUpTo150WaitingAndVideoResumesAtAKeyFrame) {
    for (const bool video : {true, false}) {  // a key frame, else audio
        for (const int waiting : {0, 150, 151}) {
            SCOPED_TRACE(testing::Message() << waiting << " waiting, " << (video ? "video" : "audio"));
            const bool accepted = waiting <= kMaxQueueLoad;
            SetUp();
            auto gate = holdQueue();
            for (int i = 0; i < waiting; ++i) audio(i);
            ASSERT_EQ(manager->queueLoad(), waiting);
            video ? key(0) : audio(0);
            EXPECT_EQ(manager->droppingFrames(), video && !accepted);
            EXPECT_EQ(count(recorder->drops), accepted ? 0 : 1);
            EXPECT_EQ(manager->queueLoad(), accepted ? waiting + 1 : waiting);
            gate.set_value();
            drain();
            EXPECT_EQ(manager->queueLoad(), 0);
            EXPECT_EQ(recorder->count(recorder->willSend).size(), static_cast<size_t>(waiting + 1));
            if (!manager->droppingFrames()) continue;
            // The load has fallen, yet inter frames still wait for a key frame; audio is not held.
            inter(66);
            audio(70);
            key(100);
            inter(133);
            EXPECT_EQ(count(recorder->drops), 2);
            EXPECT_FALSE(manager->droppingFrames());
            drain();
        }
    }
}

TEST_F(KNRTMPManagerTest, ALostConnectionIsTornDownAndReportedOnce) {
    manager->setSendingAudio(false);
    establish();
    parameterSets();
    key(0);
    drain();
    log->failWrites = true;
    for (int i = 1; i <= 40; ++i) inter(i * 33);
    drain();
    EXPECT_EQ(recorder->story(), "connect; fail 30003; disconnect; ");
    EXPECT_EQ(recorder->errorList(), (Errors{{30003, "Connection to server lost"}}));
    EXPECT_EQ(count(recorder->badVideo), 1);
    EXPECT_EQ(log->alive, 0);
    EXPECT_EQ(manager->queueLoad(), 0);

    // Reconnecting in reaction works, and nothing stale closes the new connection.
    log->failWrites = false;
    log->connected = true;
    manager->establishConnection();
    key(2000);
    drain();
    EXPECT_EQ(log->alive, 1);
    EXPECT_EQ(log->sent(RTMP_PACKET_TYPE_VIDEO).size(), 4u);  // header, key; header, key

    // The library finding the session gone before a write: one disconnect, no error.
    log->connected = false;
    for (int i = 0; i < 10; ++i) inter(2033 + i);
    drain();
    EXPECT_EQ(recorder->story(), "connect; fail 30003; disconnect; connect; disconnect; ");
    EXPECT_EQ(log->alive, 0);
}

TEST_F(KNRTMPManagerTest, FeedersConnectAndCloseRacingKeepEveryPacketAccountedFor) {
    manager->setConnectionURL("rtmp://127.0.0.1/live/threads");
    constexpr int kPackets = 3000;
    std::atomic<bool> start{false};
    std::atomic<int> videoFed{0};
    // Each feeder keeps below the bound, so nothing is dropped.
    auto feeder = [&](bool video) {
        return std::thread([&, video] {
            while (!start) std::this_thread::yield();
            for (int i = 0; i < kPackets; ++i) {
                while (manager->queueLoad() > kMaxQueueLoad / 2) std::this_thread::yield();
                if (!video) {
                    audio(10'000 + i * 23);
                    continue;
                }
                if (i % 10 == 0) parameterSets();
                i % 10 == 0 ? key(10'000 + i * 33) : inter(10'000 + i * 33);
                ++videoFed;
            }
        });
    };
    std::thread video = feeder(true), audio = feeder(false);
    int establishes = 0, closes = 1;
    std::thread host([&] {
        while (!start) std::this_thread::yield();
        for (int i = 0; i < 90; ++i) {
            while (videoFed < i * kPackets / 100) std::this_thread::yield();  // spread over the whole feed
            i % 3 == 2 ? (manager->closeConnection(), ++closes) : (manager->establishConnection(), ++establishes);
            manager->setSendingAudio(i % 7 != 0);
        }
        manager->closeConnection();
    });
    start = true;
    video.join();
    audio.join();
    host.join();
    drain();
    EXPECT_EQ(log->alive, 0);
    EXPECT_EQ(count(recorder->closes), closes);
    const auto errors = recorder->errorList();
    EXPECT_EQ(count(recorder->connects) + static_cast<int>(errors.size()), establishes);
    EXPECT_EQ(errors, Errors(errors.size(), {30001, "Connection already initialized"}));
    EXPECT_EQ(count(recorder->drops), 0);
    EXPECT_EQ(recorder->count(recorder->willSend).size(), 2u * kPackets) << "every packet handed over is reported";
    // Within one connection each stream's time line never runs backwards.
    const auto sent = log->sent();
    EXPECT_GT(sent.size(), 100u) << recorder->story();
    std::map<std::pair<int, uint8_t>, uint32_t> last;
    for (const auto& packet : sent) {
        if (packet.body[1] == 0x00) continue;  // sequence headers
        auto it = last.try_emplace({packet.session, packet.type}, packet.timestamp).first;
        EXPECT_GE(packet.timestamp, it->second) << "session " << packet.session;
        it->second = packet.timestamp;
    }
}
