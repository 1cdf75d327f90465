// The publisher against a session stand-in.
#include "transport/KNRTMPManager.h"

#include <gtest/gtest.h>

#include <future>

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

    std::shared_ptr<SessionLog> log;
    std::shared_ptr<Recorder> recorder;
    std::shared_ptr<KNRTMPManager> manager;
    std::atomic<bool> failAlloc{false};
};

// Every close is reported, even without a connection; a time-out of 0 means the library's 30 s.
TEST_F(KNRTMPManagerTest, ConnectFailuresReportTheirCodeLeaveNoSessionAndTimeOutsAreClamped) {
    const struct {
        std::optional<std::string> url;
        Status status;
        bool failAlloc;
        uint64_t timeout;
        int64_t code;
        const char* message;
        std::vector<int32_t> tried;  // time-outs of the connects tried
    } cases[] = {
        {std::nullopt, Status::Connected, false, 0, 30000, "Connection URL is missing", {}},
        {"rtmp://h\xC3\xA9st/live/x", Status::Connected, false, 0, 30000, "Failed to set RTMP URL", {}},
        {"rtmp://host/live/x", Status::Connected, true, 0, 30002, "Failed to alloc RTMP object", {}},
        {"no-scheme", Status::BadURL, false, 0, 30000, "Failed to set RTMP URL", {30}},
        {"rtmp://127.0.0.1:1/live/x", Status::ConnectFailed, false, 7, 30003, "Failed to connect to server", {7}},
        {"rtmp://host/x/y", Status::StreamFailed, false, 1ull << 40, 30004, "Failed to connect to stream", {INT32_MAX}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        SetUp();
        manager->closeConnection();
        log->status = c.status;
        failAlloc = c.failAlloc;
        manager->setTimeout(c.timeout);
        establish(c.url);
        EXPECT_EQ(recorder->errorList(), (Errors{{c.code, c.message}}));
        std::vector<int32_t> tried;
        for (const auto& connect : log->connects) tried.push_back(connect.second);
        EXPECT_EQ(tried, c.tried);
        EXPECT_EQ(log->alive, 0);
        log->status = Status::Connected;
        failAlloc = false;
        establish();
        manager->closeConnection();
        drain();
        EXPECT_EQ(recorder->story(), "close; fail " + std::to_string(c.code) + "; connect; close; ");
        EXPECT_EQ(log->alive, 0);
    }
}

// New formats re-arm the sequence headers; frames held for interleaving go out before a close.
TEST_F(KNRTMPManagerTest, PacketsCarryTheirHeaderFieldsBodiesAndSizes) {
    auto metadata = KNMetadata::create();
    manager->setMetadata(metadata);
    establish();
    establish();  // refused: the live session goes on
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
    EXPECT_EQ(recorder->story(), "connect; fail 30001; close; ");
    EXPECT_EQ(recorder->errorList(), (Errors{{30001, "Connection already initialized"}}));
    EXPECT_EQ(log->made, 1);
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
            std::promise<void> gate;  // holds the queue
            manager->senderQueue()->async([held = gate.get_future().share()] { held.wait(); });
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
        }
    }
}

// Failed writes and a session the library finds gone are each one disconnect; the publisher connects again.
TEST_F(KNRTMPManagerTest, ALostConnectionIsTornDownAndReportedOnce) {
    manager->setSendingAudio(false);
    for (const bool failWrites : {true, false}) {
        establish();
        parameterSets();
        key(0);
        drain();
        (failWrites ? log->failWrites : log->connected) = failWrites;
        for (int i = 1; i <= 40; ++i) inter(i * 33);
        drain();
        EXPECT_EQ(log->alive, 0);
        EXPECT_EQ(manager->queueLoad(), 0);
        log->failWrites = false;
        log->connected = true;
    }
    EXPECT_EQ(recorder->story(), "connect; fail 30003; disconnect; connect; disconnect; ");
    EXPECT_EQ(recorder->errorList(), (Errors{{30003, "Connection to server lost"}}));
    EXPECT_EQ(log->sent(RTMP_PACKET_TYPE_VIDEO).size(), 4u);  // header, key; header, key
    EXPECT_EQ(count(recorder->badVideo), 1);
}
