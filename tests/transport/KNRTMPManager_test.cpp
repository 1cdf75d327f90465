// The publisher against a session stand-in: connection lifecycle, what goes on the wire and in
// which order, the load bound and the drop state, refused input, and a lost connection.
#include "transport/KNRTMPManager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "KNRTMPSessionStandIn.h"
#include "core/KNLog.h"
#include "platform/Documents.h"
#include "kestrune/KNError.h"

namespace {

using namespace kntest;

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
        manager = KNRTMPManager::createWithSessionFactory(
            [log = log, this]() -> std::unique_ptr<KNRTMPSession> {
                if (failAlloc) return nullptr;
                return std::make_unique<StandInSession>(log);
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

    // Holds the queue until the returned promise is set.
    std::promise<void> holdQueue() {
        std::promise<void> gate;
        manager->senderQueue()->async([future = gate.get_future().share()] { future.wait(); });
        return gate;
    }

    std::shared_ptr<SessionLog> log = std::make_shared<SessionLog>();
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
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
        SetUp();
        log->status = c.status;
        failAlloc = c.failAlloc;
        manager->setConnectionURL(c.url);
        manager->establishConnection();
        drain();
        EXPECT_EQ(recorder->errorList(), (std::vector<std::pair<int64_t, std::string>>{{c.code, c.message}}))
            << c.message;
        EXPECT_EQ(log->connects.size(), c.connectsTried) << c.message;
        EXPECT_EQ(log->alive, 0) << c.message;
        EXPECT_EQ(recorder->count(recorder->connects), 0);

        // Nothing is left behind that would refuse the next attempt.
        log->status = Status::Connected;
        failAlloc = false;
        manager->setConnectionURL("rtmp://host/live/x");
        manager->establishConnection();
        drain();
        EXPECT_EQ(recorder->count(recorder->connects), 1) << c.message;
    }
}

TEST_F(KNRTMPManagerTest, TimeOutZeroMeansTheDefaultAndLargeValuesAreClamped) {
    manager->setConnectionURL("rtmp://host/live/x");
    for (uint64_t timeout : {uint64_t{0}, uint64_t{7}, uint64_t{1} << 40}) {
        manager->setTimeout(timeout);
        manager->establishConnection();
        manager->closeConnection();
        drain();
    }
    drain();
    ASSERT_EQ(log->connects.size(), 3u);
    EXPECT_EQ(log->connects[0].second, 30);
    EXPECT_EQ(log->connects[1].second, 7);
    EXPECT_EQ(log->connects[2].second, INT32_MAX);
    EXPECT_EQ(recorder->count(recorder->closes), 3);
}

TEST_F(KNRTMPManagerTest, CloseIsReportedEvenWithoutAConnection) {
    manager->closeConnection();
    drain();
    EXPECT_EQ(recorder->count(recorder->closes), 1);
    EXPECT_EQ(log->alive, 0);
}

TEST_F(KNRTMPManagerTest, SecondEstablishIsRefusedAndTheLiveStreamGoesOn) {
    manager->setSendingAudio(false);
    connect();
    manager->setVideoSPSAndPPS(bytes(kSps), bytes(kPps));
    manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, 5000);
    manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, 5033);
    manager->establishConnection();
    manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, 5066);
    drain();

    EXPECT_EQ(recorder->errorList(),
              (std::vector<std::pair<int64_t, std::string>>{{30001, "Connection already initialized"}}));
    EXPECT_EQ(log->connects.size(), 1u);
    EXPECT_EQ(log->alive, 1);
    // No second header, no wait for a key frame, no restart of the time line.
    const auto video = log->sentOfType(RTMP_PACKET_TYPE_VIDEO);
    ASSERT_EQ(video.size(), 4u);
    EXPECT_EQ(video[0].body[1], 0x00);
    std::vector<uint32_t> times;
    for (size_t i = 1; i < video.size(); ++i) times.push_back(video[i].timestamp);
    EXPECT_EQ(times, (std::vector<uint32_t>{0, 33, 66}));
}

TEST_F(KNRTMPManagerTest, PacketsCarryTheirHeaderFieldsBodiesAndSizes) {
    auto metadata = KNMetadata::create();
    metadata->setVideoCodecId("avc1");
    metadata->setAudioCodecId("mp4a");
    metadata->setAudioSampleRate(44100);
    connect(metadata);
    manager->setVideoSPSAndPPS(bytes(kSps), bytes(kPps));
    manager->sendAudioPacketTimestamp(adts(4, 1, 10), 1000);
    manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, 1000);
    manager->sendAudioPacketTimestamp(adts(4, 1, 4), 1023);
    manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, 1033);
    manager->sendAudioPacketTimestamp(adts(4, 1, 6, true), 1046);
    manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, 1066);
    drain();

    const auto sent = log->sent();
    ASSERT_EQ(sent.size(), 7u);
    // type, channel, header type, timestamp, absolute, queued
    struct Fields {
        uint8_t type;
        int channel;
        uint8_t headerType;
        uint32_t timestamp;
        uint8_t hasAbs;
        bool queued;
    };
    const Fields expected[] = {
        {0x12, 3, 0, 0, 1, false},   // onMetaData
        {0x09, 4, 0, 0, 0, false},   // AVC header
        {0x09, 4, 0, 0, 0, true},    // key frame
        {0x08, 4, 0, 0, 0, false},   // AAC header
        {0x08, 4, 1, 0, 0, true},    // raw AAC
        {0x08, 4, 0, 23, 0, true},   // raw AAC, 4-byte payload: large header
        {0x09, 4, 0, 33, 0, true},   // inter frame
    };
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].type, expected[i].type) << i;
        EXPECT_EQ(sent[i].channel, expected[i].channel) << i;
        EXPECT_EQ(sent[i].headerType, expected[i].headerType) << i;
        EXPECT_EQ(sent[i].timestamp, expected[i].timestamp) << i;
        EXPECT_EQ(sent[i].hasAbsTimestamp, expected[i].hasAbs) << i;
        EXPECT_EQ(sent[i].queued, expected[i].queued) << i;
        EXPECT_EQ(sent[i].infoField2, kStreamId) << i;
    }
    EXPECT_EQ(sent[0].body, KNFLVPayload::onMetaData(*metadata));
    EXPECT_EQ(sent[1].body, KNFLVPayload::avcSequenceHeader(kSps, kPps));
    EXPECT_EQ(sent[2].body, (Bytes{0x17, 0x01, 0, 0, 0, 0, 0, 0, 4, 0x65, 0x88, 0x80, 0x10}));
    EXPECT_EQ(sent[3].body, (Bytes{0xAF, 0x00, 0x12, 0x08}));
    EXPECT_EQ(sent[4].body, (Bytes{0xAF, 0x01, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(sent[5].body, (Bytes{0xAF, 0x01, 0, 1, 2, 3}));
    EXPECT_EQ(sent[6].body, (Bytes{0x27, 0x01, 0, 0, 0, 0, 0, 0, 3, 0x41, 0x9A, 0x02}));

    std::lock_guard<std::mutex> guard(recorder->mutex);
    EXPECT_EQ(recorder->willSend, (std::vector<uint64_t>{17 + 67, 4 + 67, 11 + 67, 3 + 67, 15 + 67, 3 + 67}));
    EXPECT_EQ(recorder->didSend, (std::vector<uint64_t>{4 + 67, 17 + 53, 11 + 53, 3 + 67}));
}

TEST_F(KNRTMPManagerTest, VideoStartsAtAKeyFrameWithUsableParameterSets) {
    manager->setSendingAudio(false);
    connect();
    auto sendKey = [&](uint64_t ts) { manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, ts); };

    manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, 900);  // before any key frame
    sendKey(1000);                                                   // no parameter sets yet
    manager->setVideoSPSAndPPS(bytes({0x67, 0x4D, 0x40}), bytes(kPps));
    sendKey(1100);                                                   // SPS without its level byte
    manager->setVideoSPSAndPPS(bytes(Bytes(0x10000, 0x67)), bytes(kPps));
    sendKey(1200);                                                   // SPS too long for its length field
    manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, 1233);
    drain();
    EXPECT_EQ(recorder->count(recorder->badVideo), 3);
    EXPECT_TRUE(log->sent().empty());
    EXPECT_EQ(manager->queueLoad(), 0);

    manager->setVideoSPSAndPPS(bytes(kSps), bytes(kPps));
    sendKey(1300);
    manager->sendVideoPacketIsKeyFrameTimestamp(bytes({}), false, 1333);
    drain();
    const auto video = log->sentOfType(RTMP_PACKET_TYPE_VIDEO);
    ASSERT_EQ(video.size(), 2u);
    EXPECT_EQ(video[0].body, KNFLVPayload::avcSequenceHeader(kSps, kPps));
    EXPECT_EQ(video[1].body[0], 0x17);
    EXPECT_EQ(recorder->count(recorder->badVideo), 4);
}

TEST_F(KNRTMPManagerTest, NewParameterSetsOrAudioFormatSendNewSequenceHeaders) {
    auto metadata = KNMetadata::create();
    metadata->setAudioSampleRate(44100);
    connect(metadata);
    manager->setSendingAudio(false);
    manager->setVideoSPSAndPPS(bytes(kSps), bytes(kPps));
    manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, 0);
    manager->setVideoSPSAndPPS(bytes(kSps), bytes(kPps));  // the same again: nothing new
    manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, 33);
    const Bytes sps2 = {0x67, 0x64, 0x00, 0x28, 0xAC};
    manager->setVideoSPSAndPPS(bytes(sps2), bytes(kPps));
    manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, 66);
    drain();
    const auto video = log->sentOfType(RTMP_PACKET_TYPE_VIDEO);
    ASSERT_EQ(video.size(), 5u);
    EXPECT_EQ(video[0].body, KNFLVPayload::avcSequenceHeader(kSps, kPps));
    EXPECT_EQ(video[3].body, KNFLVPayload::avcSequenceHeader(sps2, kPps));
    EXPECT_EQ(video[4].timestamp, 66u);

    manager->setSendingAudio(true);
    manager->setSendingVideo(false);
    manager->sendAudioPacketTimestamp(adts(4, 1, 8), 0);
    manager->sendAudioPacketTimestamp(adts(4, 1, 8), 23);
    manager->sendAudioPacketTimestamp(adts(7, 2, 8), 46);  // 22050 Hz stereo now
    drain();
    const auto audio = log->sentOfType(RTMP_PACKET_TYPE_AUDIO);
    ASSERT_EQ(audio.size(), 5u);
    EXPECT_EQ(audio[0].body, (Bytes{0xAF, 0x00, 0x12, 0x08}));
    EXPECT_EQ(audio[3].body, (Bytes{0xAF, 0x00, 0x13, 0x90}));
    EXPECT_EQ(audio[4].body[1], 0x01);
}

TEST_F(KNRTMPManagerTest, MalformedAudioIsRefusedWithoutReadingPastIt) {
    manager->setSendingVideo(false);
    connect();
    auto noSync = std::make_shared<Bytes>(*adts(4, 1, 8));
    (*noSync)[0] = 0x00;
    const KNFrame::Bytes refused[] = {adts(4, 1, 0), bytes({0xFF, 0xF1, 0x50}), bytes({}), nullptr, noSync,
                                      adts(4, 1, 0, true)};
    for (const auto& packet : refused) manager->sendAudioPacketTimestamp(packet, 100);
    drain();
    EXPECT_EQ(recorder->count(recorder->badAudio), 6);
    EXPECT_TRUE(log->sent().empty());

    manager->sendAudioPacketTimestamp(adts(4, 1, 3, true), 100);
    drain();
    const auto audio = log->sentOfType(RTMP_PACKET_TYPE_AUDIO);
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_EQ(audio[1].body, (Bytes{0xAF, 0x01, 0, 1, 2}));
}

TEST_F(KNRTMPManagerTest, LoadBoundAcceptsUpTo150Waiting) {
    struct Case {
        int waiting;
        bool video;  // a key frame, else audio
        bool accepted;
    };
    const Case cases[] = {{0, true, true},    {150, true, true},   {151, true, false},
                          {0, false, true},   {150, false, true},  {151, false, false}};
    for (const auto& c : cases) {
        SetUp();
        auto gate = holdQueue();
        for (int i = 0; i < c.waiting; ++i) manager->sendAudioPacketTimestamp(adts(4, 1, 8), i);
        ASSERT_EQ(manager->queueLoad(), c.waiting);
        if (c.video) {
            manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, 0);
            EXPECT_EQ(manager->droppingFrames(), !c.accepted) << c.waiting;
        } else {
            manager->sendAudioPacketTimestamp(adts(4, 1, 8), 0);
            EXPECT_FALSE(manager->droppingFrames());
        }
        EXPECT_EQ(recorder->count(recorder->drops), c.accepted ? 0 : 1) << c.waiting << c.video;
        EXPECT_EQ(manager->queueLoad(), c.accepted ? c.waiting + 1 : c.waiting) << c.waiting << c.video;
        gate.set_value();
        drain();
        EXPECT_EQ(manager->queueLoad(), 0);
        std::lock_guard<std::mutex> guard(recorder->mutex);
        EXPECT_EQ(recorder->willSend.size(), static_cast<size_t>(c.waiting + 1));
    }
}

TEST_F(KNRTMPManagerTest, AfterADroppedKeyFrameVideoResumesOnlyAtAKeyFrame) {
    auto gate = holdQueue();
    for (int i = 0; i <= kMaxQueueLoad; ++i) manager->sendAudioPacketTimestamp(adts(4, 1, 8), i);
    manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, 0);  // dropped at 151
    manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, 33);
    EXPECT_EQ(recorder->count(recorder->drops), 2);
    gate.set_value();
    drain();
    ASSERT_EQ(manager->queueLoad(), 0);

    // The load has fallen, yet inter frames still wait for a key frame; audio is not held.
    manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, 66);
    manager->sendAudioPacketTimestamp(adts(4, 1, 8), 70);
    EXPECT_EQ(recorder->count(recorder->drops), 3);
    manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, 100);
    manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, 133);
    EXPECT_EQ(recorder->count(recorder->drops), 3);
    EXPECT_FALSE(manager->droppingFrames());
    drain();
}

TEST_F(KNRTMPManagerTest, VideoGoesOutWhileTheAudioItWaitsForNeverComes) {
    connect();  // audio on, yet the host sends none
    manager->setVideoSPSAndPPS(bytes(kSps), bytes(kPps));
    for (int i = 0; i < 150; ++i) {
        manager->sendVideoPacketIsKeyFrameTimestamp(i % 30 ? kNal : kKeyNal, i % 30 == 0, i * 33);
    }
    drain();
    const auto video = log->sentOfType(RTMP_PACKET_TYPE_VIDEO);
    // Held back no more than about two seconds of media: 150 frames span five.
    ASSERT_GT(video.size(), 80u);
    EXPECT_GE(video.back().timestamp, 149u * 33 - 2100);
}

TEST_F(KNRTMPManagerTest, FramesHeldForInterleavingGoOutBeforeAClose) {
    connect();
    manager->setVideoSPSAndPPS(bytes(kSps), bytes(kPps));
    manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, 0);
    manager->sendAudioPacketTimestamp(adts(4, 1, 8), 10);
    manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, 40);
    manager->sendAudioPacketTimestamp(adts(4, 1, 8), 33);
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
    manager->setVideoSPSAndPPS(bytes(kSps), bytes(kPps));
    manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, 0);
    drain();

    log->failWrites = true;
    for (int i = 1; i <= 40; ++i) manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, i * 33);
    drain();
    EXPECT_EQ(recorder->count(recorder->disconnects), 1);
    EXPECT_EQ(recorder->count(recorder->closes), 0);
    EXPECT_EQ(recorder->errorList(), (std::vector<std::pair<int64_t, std::string>>{{30003, "Connection to server lost"}}));
    EXPECT_EQ(recorder->count(recorder->badVideo), 1);
    EXPECT_EQ(log->alive, 0);
    EXPECT_EQ(manager->queueLoad(), 0);

    // Reconnecting in reaction works, and nothing stale closes the new connection.
    log->failWrites = false;
    log->connected = true;
    manager->establishConnection();
    manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, 2000);
    drain();
    EXPECT_EQ(recorder->count(recorder->connects), 2);
    EXPECT_EQ(log->alive, 1);
    EXPECT_EQ(log->sentOfType(RTMP_PACKET_TYPE_VIDEO).size(), 4u);  // header, key; header, key

    // The library finding the session gone before a write: one disconnect, no error.
    log->connected = false;
    for (int i = 0; i < 10; ++i) manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, 2033 + i);
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
    manager->setVideoSPSAndPPS(bytes(kSps), bytes(kPps));
    manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, 7000);
    manager->sendAudioPacketTimestamp(adts(4, 1, 8), 7000);
    drain();  // enqueue lines count from the base the queue has set by then
    manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, 7033);
    drain();
    manager->closeConnection();
    manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, 7066);
    drain();
    auto gate = holdQueue();
    while (recorder->count(recorder->drops) == 0) manager->sendAudioPacketTimestamp(adts(4, 1, 8), 7100);
    manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, 7099);
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
