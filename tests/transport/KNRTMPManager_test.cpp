// The publisher against a session stand-in: connection lifecycle, what goes on the wire and in
// which order, the load bound and the drop state, refused input, and a lost connection.
#include "transport/KNRTMPManager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "KNRTMPSessionStandIn.h"
#include "core/KNLog.h"
#include "kestrune/KNError.h"
#include "platform/Documents.h"

namespace {

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
        failAlloc = false;
        manager = KNRTMPManager::createWithSessionFactory([log = log, this]() -> std::unique_ptr<KNRTMPSession> {
            return failAlloc ? nullptr : std::make_unique<StandInSession>(log);
        });
        manager->setDelegate(recorder);
    }

    void drain() { manager->senderQueue()->sync([] {}); }

    void connect(std::shared_ptr<const KNMetadata> metadata = nullptr) {
        manager->setConnectionURL("rtmp://127.0.0.1:1935/live/test");
        manager->setMetadata(std::move(metadata));
        manager->establishConnection();
        drain();
        ASSERT_EQ(recorder->count(recorder->connects), 1);
    }

    void parameterSets(const Bytes& sps = kSps) { manager->setVideoSPSAndPPS(bytes(sps), bytes(kPps)); }
    void key(uint64_t ts) { manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, ts); }
    void inter(uint64_t ts) { manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, ts); }
    void audio(uint64_t ts, KNFrame::Bytes frame = adts(4, 1, 8)) { manager->sendAudioPacketTimestamp(frame, ts); }

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

TEST_F(KNRTMPManagerTest, ConnectFailuresReportTheirCodeAndLeaveNoSession) {
    struct Case {
        std::optional<std::string> url;
        Status status;
        bool failAlloc;
        int64_t code;
        const char* message;
        size_t connectsTried;
    };
    const Case cases[] = {
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
        manager->setConnectionURL(c.url);
        manager->establishConnection();
        drain();
        EXPECT_EQ(recorder->errorList(), (Errors{{c.code, c.message}}));
        EXPECT_EQ(log->connects.size(), c.connectsTried);
        EXPECT_EQ(log->alive, 0);
        EXPECT_EQ(recorder->count(recorder->connects), 0);

        // Nothing is left behind that would refuse the next attempt.
        log->status = Status::Connected;
        failAlloc = false;
        manager->setConnectionURL("rtmp://host/live/x");
        manager->establishConnection();
        drain();
        EXPECT_EQ(recorder->count(recorder->connects), 1);
    }
}

TEST_F(KNRTMPManagerTest, TimeOutZeroMeansTheDefaultLargeValuesAreClampedAndEveryCloseIsReported) {
    manager->closeConnection();  // even without a connection
    manager->setConnectionURL("rtmp://host/live/x");
    for (uint64_t timeout : {uint64_t{0}, uint64_t{7}, uint64_t{1} << 40}) {
        manager->setTimeout(timeout);
        manager->establishConnection();
        manager->closeConnection();
        drain();
    }
    ASSERT_EQ(log->connects.size(), 3u);
    EXPECT_EQ(log->connects[0].second, 30);
    EXPECT_EQ(log->connects[1].second, 7);
    EXPECT_EQ(log->connects[2].second, INT32_MAX);
    EXPECT_EQ(recorder->count(recorder->closes), 4);
    EXPECT_EQ(log->alive, 0);
}

TEST_F(KNRTMPManagerTest, PacketsCarryTheirHeaderFieldsBodiesAndSizes) {
    auto metadata = KNMetadata::create();
    metadata->setVideoCodecId("avc1");
    metadata->setAudioCodecId("mp4a");
    metadata->setAudioSampleRate(44100);
    connect(metadata);
    parameterSets();
    audio(1000, adts(4, 1, 10));
    key(1000);
    audio(1023, adts(4, 1, 4));
    inter(1033);
    audio(1046, adts(4, 1, 6, true));
    inter(1066);
    drain();

    using Fields = std::tuple<uint8_t, int, uint8_t, uint32_t, uint8_t, bool, int32_t>;
    const std::pair<Fields, Bytes> expected[] = {
        // type, channel, header type, timestamp, absolute, queued, stream; body
        {{0x12, 3, 0, 0, 1, false, kStreamId}, KNFLVPayload::onMetaData(*metadata)},
        {{0x09, 4, 0, 0, 0, false, kStreamId}, KNFLVPayload::avcSequenceHeader(kSps, kPps)},
        {{0x09, 4, 0, 0, 0, true, kStreamId}, {0x17, 0x01, 0, 0, 0, 0, 0, 0, 4, 0x65, 0x88, 0x80, 0x10}},
        {{0x08, 4, 0, 0, 0, false, kStreamId}, {0xAF, 0x00, 0x12, 0x08}},
        {{0x08, 4, 1, 0, 0, true, kStreamId}, {0xAF, 0x01, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {{0x08, 4, 0, 23, 0, true, kStreamId}, {0xAF, 0x01, 0, 1, 2, 3}},  // 4-byte payload: large header
        {{0x09, 4, 0, 33, 0, true, kStreamId}, {0x27, 0x01, 0, 0, 0, 0, 0, 0, 3, 0x41, 0x9A, 0x02}},
    };
    const auto sent = log->sent();
    ASSERT_EQ(sent.size(), std::size(expected));
    for (size_t i = 0; i < sent.size(); ++i) {
        const auto& p = sent[i];
        EXPECT_EQ(Fields(p.type, p.channel, p.headerType, p.timestamp, p.hasAbsTimestamp, p.queued, p.infoField2),
                  expected[i].first) << i;
        EXPECT_EQ(p.body, expected[i].second) << i;
    }
    std::lock_guard<std::mutex> guard(recorder->mutex);
    EXPECT_EQ(recorder->willSend, (std::vector<uint64_t>{17 + 67, 4 + 67, 11 + 67, 3 + 67, 15 + 67, 3 + 67}));
    EXPECT_EQ(recorder->didSend, (std::vector<uint64_t>{4 + 67, 17 + 53, 11 + 53, 3 + 67}));
}

TEST_F(KNRTMPManagerTest, RefusedInputIsNeverReadPastAndVideoStartsAtAKeyFrameWithUsableParameterSets) {
    connect();
    inter(900);  // before any key frame
    key(1000);   // no parameter sets yet
    parameterSets({0x67, 0x4D, 0x40});
    key(1100);  // SPS without its level byte
    parameterSets(Bytes(0x10000, 0x67));
    key(1200);  // SPS too long for its length field
    inter(1233);
    auto noSync = adtsBytes(4, 1, 8);
    noSync[0] = 0x00;
    for (const auto& packet : {adts(4, 1, 0), bytes({0xFF, 0xF1, 0x50}), bytes({}), KNFrame::Bytes(), bytes(noSync),
                               adts(4, 1, 0, true)}) {
        audio(1000, packet);
    }
    drain();
    EXPECT_EQ(recorder->count(recorder->badVideo), 3);
    EXPECT_EQ(recorder->count(recorder->badAudio), 6);
    EXPECT_TRUE(log->sent().empty());
    EXPECT_EQ(manager->queueLoad(), 0);

    manager->setSendingAudio(false);
    parameterSets();
    key(1300);
    manager->sendVideoPacketIsKeyFrameTimestamp(bytes({}), false, 1333);
    drain();
    manager->setSendingAudio(true);
    manager->setSendingVideo(false);
    audio(1300, adts(4, 1, 3, true));
    drain();
    const auto video = log->sentOfType(RTMP_PACKET_TYPE_VIDEO);
    ASSERT_EQ(video.size(), 2u);
    EXPECT_EQ(video[0].body, KNFLVPayload::avcSequenceHeader(kSps, kPps));
    EXPECT_EQ(video[1].body[0], 0x17);
    EXPECT_EQ(recorder->count(recorder->badVideo), 4);
    const auto sent = log->sentOfType(RTMP_PACKET_TYPE_AUDIO);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].body, (Bytes{0xAF, 0x01, 0, 1, 2}));
}

TEST_F(KNRTMPManagerTest, NewParameterSetsOrAudioFormatSendNewSequenceHeaders) {
    auto metadata = KNMetadata::create();
    metadata->setAudioSampleRate(44100);
    connect(metadata);
    manager->setSendingAudio(false);
    parameterSets();
    key(0);
    parameterSets();  // the same again: nothing new
    key(33);
    const Bytes sps2 = {0x67, 0x64, 0x00, 0x28, 0xAC};
    parameterSets(sps2);
    key(66);
    drain();
    const auto video = log->sentOfType(RTMP_PACKET_TYPE_VIDEO);
    ASSERT_EQ(video.size(), 5u);
    EXPECT_EQ(video[0].body, KNFLVPayload::avcSequenceHeader(kSps, kPps));
    EXPECT_EQ(video[3].body, KNFLVPayload::avcSequenceHeader(sps2, kPps));
    EXPECT_EQ(video[4].timestamp, 66u);

    manager->setSendingAudio(true);
    manager->setSendingVideo(false);
    audio(0);
    audio(23);
    audio(46, adts(7, 2, 8));  // 22050 Hz stereo now
    drain();
    const auto sent = log->sentOfType(RTMP_PACKET_TYPE_AUDIO);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0].body, (Bytes{0xAF, 0x00, 0x12, 0x08}));
    EXPECT_EQ(sent[3].body, (Bytes{0xAF, 0x00, 0x13, 0x90}));
    EXPECT_EQ(sent[4].body[1], 0x01);
}

TEST_F(KNRTMPManagerTest, LoadBoundAcceptsUpTo150Waiting) {
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
            EXPECT_EQ(recorder->count(recorder->drops), accepted ? 0 : 1);
            EXPECT_EQ(manager->queueLoad(), accepted ? waiting + 1 : waiting);
            gate.set_value();
            drain();
            EXPECT_EQ(manager->queueLoad(), 0);
            std::lock_guard<std::mutex> guard(recorder->mutex);
            EXPECT_EQ(recorder->willSend.size(), static_cast<size_t>(waiting + 1));
        }
    }
}

TEST_F(KNRTMPManagerTest, AfterADroppedKeyFrameVideoResumesOnlyAtAKeyFrame) {
    auto gate = holdQueue();
    for (int i = 0; i <= kMaxQueueLoad; ++i) audio(i);
    key(0);  // dropped at 151
    inter(33);
    EXPECT_EQ(recorder->count(recorder->drops), 2);
    gate.set_value();
    drain();
    // The load has fallen, yet inter frames still wait for a key frame; audio is not held.
    inter(66);
    audio(70);
    key(100);
    inter(133);
    EXPECT_EQ(recorder->count(recorder->drops), 3);
    EXPECT_FALSE(manager->droppingFrames());
    drain();
}

TEST_F(KNRTMPManagerTest, FramesHeldForInterleavingGoOutBeforeAClose) {
    connect();
    parameterSets();
    key(0);
    audio(10);
    inter(40);
    audio(33);
    manager->closeConnection();
    drain();
    std::vector<std::pair<uint8_t, uint32_t>> order;
    for (const auto& p : log->sent()) {
        if (p.body[1] != 0x00) order.emplace_back(p.type, p.timestamp);  // media, not headers
    }
    EXPECT_EQ(order, (std::vector<std::pair<uint8_t, uint32_t>>{{8, 0}, {9, 0}, {8, 23}, {9, 40}}));
    EXPECT_EQ(log->alive, 0);
    EXPECT_EQ(recorder->count(recorder->closes), 1);
}

TEST_F(KNRTMPManagerTest, ALostConnectionIsTornDownAndReportedOnce) {
    manager->setSendingAudio(false);
    connect();
    parameterSets();
    key(0);
    drain();

    log->failWrites = true;
    for (int i = 1; i <= 40; ++i) inter(i * 33);
    drain();
    EXPECT_EQ(recorder->story(), "connect; fail 30003; disconnect; ");
    EXPECT_EQ(recorder->errorList(), (Errors{{30003, "Connection to server lost"}}));
    EXPECT_EQ(recorder->count(recorder->badVideo), 1);
    EXPECT_EQ(log->alive, 0);
    EXPECT_EQ(manager->queueLoad(), 0);

    // Reconnecting in reaction works, and nothing stale closes the new connection.
    log->failWrites = false;
    log->connected = true;
    manager->establishConnection();
    key(2000);
    drain();
    EXPECT_EQ(recorder->count(recorder->connects), 2);
    EXPECT_EQ(log->alive, 1);
    EXPECT_EQ(log->sentOfType(RTMP_PACKET_TYPE_VIDEO).size(), 4u);  // header, key; header, key

    // The library finding the session gone before a write: one disconnect, no error.
    log->connected = false;
    for (int i = 0; i < 10; ++i) inter(2033 + i);
    drain();
    EXPECT_EQ(recorder->count(recorder->disconnects), 2);
    EXPECT_EQ(recorder->errorList().size(), 1u);
    EXPECT_EQ(log->alive, 0);
}

TEST_F(KNRTMPManagerTest, LogLinesTellWhatHappenedToEachPacket) {
    // A folder of its own: no other process's log of the same second shares the file name.
    const std::string documents = std::string(KESTRUNE_TEST_TMP) + "/rtmp-log-" + std::to_string(getpid());
    std::filesystem::create_directories(documents);
    setenv("KESTRUNE_DOCUMENTS", documents.c_str(), 1);
    auto knLog = KNLog::sharedInstance();
    knLog->setLogLevel(0);
    knLog->setLogScope(0);
    knLog->setLogOutput(1);
    connect();
    parameterSets();
    key(7000);
    audio(7000);
    drain();  // enqueue lines count from the base the queue has set by then
    inter(7033);
    drain();
    manager->closeConnection();
    inter(7066);
    drain();
    auto gate = holdQueue();
    while (recorder->count(recorder->drops) == 0) audio(7100);
    key(7099);
    gate.set_value();
    drain();
    knLog->setLogLevel(3);
    knLog->setLogOutput(0);

    std::ifstream file(platform::documentsDirectory() + "/" + knLog->logFile());
    std::stringstream text;
    text << file.rdbuf();
    for (const char* line : {"INFO: PPS SPS set\n", "INFO: Enqueued video packet with timestamp: 7000 keyframe: 1\n",
                             "INFO: PPS SPS sent\n", "INFO: Enqueued audio packet with timestamp: 7000\n",
                             "INFO: Dequeued video packet with timestamp: 0\n",
                             "INFO: Sent video packet with timestamp: 0, keyframe: 1\n", "INFO: Audio header sent\n",
                             "INFO: Sent audio packet with timestamp: 0\n",
                             "INFO: Enqueued video packet with timestamp: 33 keyframe: 0\n",
                             "INFO: Sent video packet with timestamp: 33, keyframe: 0\n",
                             "ERROR: Connection closed, ignoring video packet with timestamp: 7066\n",
                             "INFO: Dropping video packet with timestamp: 99 keyframe: 1\n"}) {
        EXPECT_NE(text.str().find(line), std::string::npos) << line;
    }
}

}  // namespace
