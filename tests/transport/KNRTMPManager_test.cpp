#include "transport/KNRTMPManager.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "KNRTMPSessionStandIn.h"
#include "core/KNMetadata.h"
#include "transport/KNFLVPayload.h"

using namespace kntest;

const Bytes kSps = {0x67, 0x4D, 0x40, 0x1E, 0x95, 0xA0}, kPps = {0x68, 0xEE, 0x3C, 0x80};
const auto kKeyNal = bytes({0x65, 0x88, 0x80, 0x10}), kNal = bytes({0x41, 0x9A, 0x02});

class KNRTMPManagerTest : public ::testing::Test {
protected:
    void SetUp() override { manager->setDelegate(recorder); }
    void drain() { manager->senderQueue()->sync([] {}); }
    void establish() {
        manager->setConnectionURL("rtmp://h/live/test");
        manager->establishConnection();
        drain();
    }
    void parameterSets(const Bytes& sps = kSps, const Bytes& pps = kPps) { manager->setVideoSPSAndPPS(bytes(sps), bytes(pps)); }
    void key(uint64_t ts) { manager->sendVideoPacketIsKeyFrameTimestamp(kKeyNal, true, ts); }
    void inter(uint64_t ts) { manager->sendVideoPacketIsKeyFrameTimestamp(kNal, false, ts); }
    void audio(uint64_t ts, KNFrame::Bytes frame = adts(4, 1, 8)) { manager->sendAudioPacketTimestamp(frame, ts); }

    std::shared_ptr<SessionLog> log = std::make_shared<SessionLog>();
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<KNRTMPManager> manager =
        KNRTMPManager::createWithSessionFactory([log = log] { return std::make_unique<StandInSession>(log); });
};

// AMF0 written out by hand, to hold the encoder to the layout players read.
static Bytes onMetaData() {
    Bytes amf;
    auto put = [&](const std::string& s, bool typed) {
        if (typed) amf.push_back(0x02);
        amf.insert(amf.end(), {0, static_cast<uint8_t>(s.size())});
        amf.insert(amf.end(), s.begin(), s.end());
    };
    auto number = [&](double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        amf.push_back(0x00);
        for (int shift = 56; shift >= 0; shift -= 8) amf.push_back(static_cast<uint8_t>(bits >> shift));
    };
    put("@setDataFrame", true);
    put("onMetaData", true);
    amf.push_back(0x03);
    for (auto [n, v] : {std::pair{"duration", 0.0}, {"fileSize", 0}, {"videocodecid", -1}, {"width", 1280}, {"height", 720},
                        {"videodatarate", 2500}, {"framerate", 30}, {"audiocodecid", -2}, {"audiodatarate", 80},
                        {"audiosamplerate", 44100}, {"audiosamplesize", 16}}) {
        put(n, false);
        if (v < 0)
            put(v == -1 ? "avc1" : "mp4a", true);
        else
            number(v);
    }
    put("stereo", false);
    amf.insert(amf.end(), {0x01, 0x01, 0x00, 0x00, 0x09});
    return amf;
}

// New formats re-arm the sequence headers; frames held for interleaving go out before a close.
TEST_F(KNRTMPManagerTest, PacketsCarryTheirHeaderFieldsAndBodiesByteForByte) {
    auto m = KNMetadata::create();
    m->setVideoCodecId("avc1");
    m->setVideoWidth(1280);
    m->setVideoHeight(720);
    m->setVideoBitrate(2500000);
    m->setVideoFramerate(30);
    m->setAudioCodecId("mp4a");
    m->setAudioBitrate(80000);
    m->setAudioSampleRate(44100);
    m->setAudioSampleSize(16);
    m->setAudioStereo(true);
    manager->setMetadata(m);
    establish();
    const Bytes sps2 = {0x67, 0x64, 0x00, 0x28, 0xAC};
    parameterSets();
    audio(1000, adts(4, 1, 10));
    key(1000);
    audio(1023, adts(4, 1, 4));
    inter(1033);
    audio(1046, adts(4, 1, 6, true));
    parameterSets();  // the same sets again: nothing new
    key(1066);
    parameterSets(sps2);
    key(1099);
    audio(1069, adts(7, 2, 2));  // 22050 Hz stereo
    manager->closeConnection();
    drain();
    const Bytes keyBody = {0x17, 0x01, 0, 0, 0, 0, 0, 0, 4, 0x65, 0x88, 0x80, 0x10};
    const std::pair<Fields, Bytes> expected[] = {
        {{0x12, 3, 0, 0, 1, false, kStreamId}, onMetaData()},
        {{0x09, 4, 0, 0, 0, false, kStreamId}, {0x17, 0, 0, 0, 0, 1, 0x4D, 0x40, 0x1E, 0xFF, 0xE1, 0, 6, 0x67, 0x4D, 0x40,
                                                 0x1E, 0x95, 0xA0, 1, 0, 4, 0x68, 0xEE, 0x3C, 0x80}},
        {{0x09, 4, 0, 0, 0, true, kStreamId}, keyBody},
        {{0x08, 4, 0, 0, 0, false, kStreamId}, {0xAF, 0x00, 0x12, 0x08}},
        {{0x08, 4, 1, 0, 0, true, kStreamId}, {0xAF, 0x01, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {{0x08, 4, 0, 23, 0, true, kStreamId}, {0xAF, 0x01, 0, 1, 2, 3}},  // 4-byte payload: large header
        {{0x09, 4, 0, 33, 0, true, kStreamId}, {0x27, 0x01, 0, 0, 0, 0, 0, 0, 3, 0x41, 0x9A, 0x02}},
        {{0x08, 4, 1, 46, 0, true, kStreamId}, {0xAF, 0x01, 0, 1, 2, 3, 4, 5}},
        {{0x09, 4, 0, 66, 0, true, kStreamId}, keyBody},
        {{0x08, 4, 0, 0, 0, false, kStreamId}, {0xAF, 0x00, 0x13, 0x90}},
        {{0x08, 4, 1, 69, 0, true, kStreamId}, {0xAF, 0x01, 0, 1}},
        {{0x09, 4, 0, 0, 0, false, kStreamId}, {0x17, 0, 0, 0, 0, 1, 0x64, 0x00, 0x28, 0xFF, 0xE1, 0, 5, 0x67, 0x64, 0x00,
                                                 0x28, 0xAC, 1, 0, 4, 0x68, 0xEE, 0x3C, 0x80}},
        {{0x09, 4, 0, 99, 0, true, kStreamId}, keyBody},
    };
    const auto sent = log->sent();
    ASSERT_EQ(sent.size(), std::size(expected));
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].fields, expected[i].first) << i;
        EXPECT_EQ(sent[i].body, expected[i].second) << i;
    }
    EXPECT_EQ(recorder->story(), "connect; close; ");
    EXPECT_EQ(log->alive, 0);
}

TEST_F(KNRTMPManagerTest, UnsafeParameterSetsAndADTSFramesAreRefusedNeverReadPast) {
    establish();
    inter(900);  // before any key frame: waits, not bad
    key(1000);   // no parameter sets yet
    const std::pair<Bytes, Bytes> refused[] = {{{}, kPps}, {{0x67, 0x4D, 0x40}, kPps} /* no level byte */, {kSps, {}},
                                               {Bytes(0x10000, 0x67), kPps}, {kSps, Bytes(0x10000, 0x68)}};
    for (const auto& [sps, pps] : refused) {
        parameterSets(sps, pps);
        key(1200);
    }
    manager->sendVideoPacketIsKeyFrameTimestamp(bytes({}), false, 1233);
    auto noSync = adtsBytes(8, 2, 10, true);
    auto truncated = noSync;
    noSync[1] = 0x71;
    truncated.resize(8);
    for (const auto& packet : {adts(4, 1, 0), adts(4, 1, 0, true), bytes(noSync), bytes(truncated),
                               bytes({0xFF, 0xF1, 0x50}), bytes({}), KNFrame::Bytes()}) audio(1000, packet);
    drain();
    EXPECT_EQ(std::pair(recorder->count(recorder->badVideo), recorder->count(recorder->badAudio)), std::pair(7, 7));
    EXPECT_TRUE(log->sent().empty());

    // Bodies that fit the first buffer only without its header room: it grows, nothing is written past it.
    parameterSets();
    manager->setSendingAudio(false);
    const size_t fits = KNRTMPManager::kInitialPacketBufferBytes - KNFLVPayload::kVideoBodyOverheadBytes;
    for (const size_t nal : {fits, fits - 1, fits - KNRTMPPacketBuffer::kRecordAndHeaderRoomBytes}) {
        key(1400);
        manager->sendVideoPacketIsKeyFrameTimestamp(bytes(Bytes(nal, 0x65)), true, 1433);
        drain();
        EXPECT_EQ(log->sent().back().body.size(), nal + KNFLVPayload::kVideoBodyOverheadBytes);
    }
}

// 151 blocks waiting: a key frame is dropped; once the load falls, inter frames still wait for the
// next key frame while audio is not held.
TEST_F(KNRTMPManagerTest, AKeyFrameOverTheBoundIsDroppedAndVideoResumesAtTheNextKeyFrame) {
    std::promise<void> gate;
    manager->senderQueue()->async([held = gate.get_future().share()] { held.wait(); });
    for (int i = 0; i <= kMaxQueueLoad; ++i) audio(i);
    key(0);
    EXPECT_TRUE(manager->droppingFrames());
    EXPECT_EQ(manager->queueLoad(), kMaxQueueLoad + 1);
    gate.set_value();
    drain();
    inter(66);
    audio(70);
    key(100);
    inter(133);
    EXPECT_EQ(recorder->count(recorder->drops), 2);
    EXPECT_FALSE(manager->droppingFrames());
}

// A stalled server with no key frame coming: an inter frame over the bound is dropped as well, or
// frames would wait without limit, and the picture resumes at the next key frame.
TEST_F(KNRTMPManagerTest, AnInterFrameOverTheBoundIsDroppedToo) {
    std::promise<void> gate;
    manager->senderQueue()->async([held = gate.get_future().share()] { held.wait(); });
    for (int i = 0; i <= kMaxQueueLoad; ++i) audio(i);
    inter(0);
    EXPECT_TRUE(manager->droppingFrames());
    EXPECT_EQ(manager->queueLoad(), kMaxQueueLoad + 1);
    gate.set_value();
    drain();
    inter(33);
    key(66);
    EXPECT_EQ(recorder->count(recorder->drops), 2);
    EXPECT_FALSE(manager->droppingFrames());
}

// Unusable URLs end before any session is made. The load counts exactly the blocks still waiting,
// also those accepted before a close and a connect reset the connection, so the bound stays 150.
TEST_F(KNRTMPManagerTest, UnusableURLsMakeNoSessionAndTheLoadStaysExact) {
    for (const std::string url : {"", "rtmp://h:0/a/s", "rtmp://h:65536/a/s", "rtmp://h:70000/a/s", "rtmp://h:-5/a/s"}) {
        manager->setConnectionURL(url);
        manager->establishConnection();
    }
    drain();
    EXPECT_EQ(recorder->story(), "fail 30000; fail 30000; fail 30000; fail 30000; fail 30000; ");
    EXPECT_EQ(log->connectCalls, 0);

    establish();
    for (const int fed : {100, 200}) {
        std::promise<void> gate;
        manager->senderQueue()->async([held = gate.get_future().share()] { held.wait(); });
        manager->closeConnection();
        manager->establishConnection();
        for (int i = 0; i < fed; ++i) audio(i);
        gate.set_value();
        drain();
        EXPECT_EQ(manager->queueLoad(), 0);
    }
    EXPECT_EQ(recorder->count(recorder->drops), 200 - 151);
}

// An idle publisher whose connection has room writes on the caller's thread, without waking its
// queue; with work queued, or without room, the packet waits for the queue. A write that fails
// on the caller's thread reports the lost connection from the queue, never from inside the call.
TEST_F(KNRTMPManagerTest, AnIdlePublisherWithRoomWritesOnTheCallersThread) {
    const auto caller = std::this_thread::get_id();
    manager->setSendingAudio(false);
    establish();
    parameterSets();
    drain();
    log->room = true;
    key(0);
    ASSERT_EQ(log->sent().size(), 2u);  // the sequence header, then the frame
    EXPECT_EQ(log->writers.back(), caller);

    std::promise<void> gate;
    manager->senderQueue()->async([held = gate.get_future().share()] { held.wait(); });
    inter(33);
    EXPECT_EQ(log->sent().size(), 2u);
    gate.set_value();
    drain();
    EXPECT_EQ(log->sent().size(), 3u);

    log->room = false;
    inter(66);
    drain();
    ASSERT_EQ(log->sent().size(), 4u);
    EXPECT_NE(log->writers.back(), caller);

    log->room = true;
    log->failing = true;
    inter(100);
    ASSERT_TRUE(recorder->waitFor(recorder->disconnects, 1, std::chrono::seconds(5)));
    EXPECT_NE(recorder->count(recorder->disconnectThread), caller);
    EXPECT_EQ(manager->queueLoad(), 0);
}
