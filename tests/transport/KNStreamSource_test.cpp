// One destination: how publisher and detector events become its own reports and its on flag,
// switching through the manager and without one, and second handles.
#include "kestrune/KNStreamSource.h"

#include <gtest/gtest.h>

#include "transport/KNBandwidthDetector.h"
#include "transport/StreamSourcesTestSupport.h"

namespace {

using kntest::errorWithCode;
using kntest::offlineDestination;

// Both listeners write into one log, so the order between them shows.
struct SharedLog {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<std::thread::id> threads;
    std::vector<std::shared_ptr<KNError>> errors;
    void add(std::string line) {
        std::lock_guard lock(mutex);
        lines.push_back(std::move(line));
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return lines;
    }
};

struct PublicListener : KNStreamSourceDelegate {
    explicit PublicListener(std::shared_ptr<SharedLog> log) : log(std::move(log)) {}
    void streamSourceDidConnect(const std::shared_ptr<KNStreamSource>&) override { log->add("public:connect"); }
    void streamSourceDidDisconnect(const std::shared_ptr<KNStreamSource>&) override { log->add("public:disconnect"); }
    void streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>&) override { log->add("public:close"); }
    void streamSourceDidFailConnectingWithError(const std::shared_ptr<KNStreamSource>&,
                                                const std::shared_ptr<KNError>& error) override {
        {
            std::lock_guard lock(log->mutex);
            log->errors.push_back(error);
        }
        log->add("public:fail:" + std::to_string(error->errorCodes().front()));
    }
    std::shared_ptr<SharedLog> log;
};

struct PrivateListener : KNStreamSourcePrivateDelegate {
    explicit PrivateListener(std::shared_ptr<SharedLog> log) : log(std::move(log)) {}
    void streamSourceDidConnect(const std::shared_ptr<KNStreamSource>&) override { log->add("private:connect"); }
    void streamSourceDidDisconnect(const std::shared_ptr<KNStreamSource>&) override {
        log->add("private:disconnect");
    }
    void streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>&) override { log->add("private:close"); }
    void streamSourceDidFailConnectingWithError(const std::shared_ptr<KNStreamSource>&,
                                                const std::shared_ptr<KNError>& error) override {
        log->add("private:fail:" + std::to_string(error->errorCodes().front()));
    }
    void streamSourceDidEstimateNewBitrate(const std::shared_ptr<KNStreamSource>&, uint64_t bps) override {
        log->add("private:estimate:" + std::to_string(bps));
    }
    void streamSourceDidSendPacketWithSize(const std::shared_ptr<KNStreamSource>&, uint64_t size) override {
        log->add("private:sent:" + std::to_string(size));
    }
    void streamSourceDidDropPacket(const std::shared_ptr<KNStreamSource>&) override { log->add("private:drop"); }
    std::shared_ptr<SharedLog> log;
};

struct Listened {
    Listened() {
        source->setStreamInfo(offlineDestination("listened"));
        source->setDelegate(publicListener);
        source->setPrivateDelegate(privateListener);
    }
    std::shared_ptr<SharedLog> log = std::make_shared<SharedLog>();
    std::shared_ptr<PublicListener> publicListener = std::make_shared<PublicListener>(log);
    std::shared_ptr<PrivateListener> privateListener = std::make_shared<PrivateListener>(log);
    std::shared_ptr<KNStreamSource> source = KNStreamSource::create();
};

void settleDetector(const std::shared_ptr<KNStreamSource>& source) {
    source->bandwidthDetector()->detectorQueue()->sync([] {});
}

TEST(KNStreamSource, ConnectionEventsReachTheManagerFirstThenTheHostAndSetTheOnFlag) {
    Listened l;
    const auto thread = std::this_thread::get_id();

    l.source->RTMPManagerDidConnectToServer(nullptr);
    EXPECT_TRUE(l.source->on());
    // A refused second connect means a live session exists: still on.
    auto duplicate = errorWithCode(30001);
    l.source->RTMPManagerDidFailConnectingWithError(nullptr, duplicate);
    EXPECT_TRUE(l.source->on());
    l.source->RTMPManagerDidDisconnect(nullptr);
    EXPECT_FALSE(l.source->on());
    l.source->RTMPManagerDidConnectToServer(nullptr);
    auto lost = errorWithCode(30003);
    l.source->RTMPManagerDidFailConnectingWithError(nullptr, lost);
    EXPECT_FALSE(l.source->on());
    l.source->RTMPManagerDidConnectToServer(nullptr);
    l.source->RTMPManagerDidCloseConnection(nullptr);
    EXPECT_FALSE(l.source->on());

    EXPECT_EQ(l.log->snapshot(),
              (std::vector<std::string>{"private:connect", "public:connect", "private:fail:30001", "public:fail:30001",
                                        "private:disconnect", "public:disconnect", "private:connect", "public:connect",
                                        "private:fail:30003", "public:fail:30003", "private:connect", "public:connect",
                                        "private:close", "public:close"}));
    // Passed on synchronously, on the reporting thread, with the publisher's own error object.
    for (auto t : l.log->threads) EXPECT_EQ(t, thread);
    ASSERT_EQ(l.log->errors.size(), 2u);
    EXPECT_EQ(l.log->errors[0], duplicate);
    EXPECT_EQ(l.log->errors[1], lost);
}

TEST(KNStreamSource, PacketLevelReportsGoToTheManagerOnlyAndEstimatesPassUnbounded) {
    Listened l;
    l.source->RTMPManagerDidSendPacketWithSize(nullptr, 1234);
    l.source->RTMPManagerDidDropPacket(nullptr);
    l.source->RTMPManagerDidDropBadAudioPacket(nullptr);
    l.source->RTMPManagerDidDropBadVideoPacket(nullptr);
    l.source->RTMPManagerWillSendPacketWithSize(nullptr, 99);
    // The floor of 1000 is the manager's business, not the destination's.
    l.source->bandwidthDetectorDidEstimateNewBitrate(nullptr, 600);
    EXPECT_EQ(l.log->snapshot(),
              (std::vector<std::string>{"private:sent:1234", "private:drop", "private:estimate:600"}));

}

TEST(KNStreamSource, DetectorRunsWithTheAdaptiveFlagAndStopsOnEveryEnd) {
    Listened l;
    auto detector = l.source->bandwidthDetector();

    // Without the flag a connection does not measure.
    l.source->RTMPManagerDidConnectToServer(nullptr);
    settleDetector(l.source);
    EXPECT_FALSE(detector->isMonitoring());

    // The flag starts measuring at once, connected or not.
    l.source->setAdaptiveBitrateOn(true);
    settleDetector(l.source);
    EXPECT_TRUE(detector->isMonitoring());

    // A close stops it whatever the flag; the next connection starts it again.
    l.source->RTMPManagerDidCloseConnection(nullptr);
    settleDetector(l.source);
    EXPECT_FALSE(detector->isMonitoring());
    l.source->RTMPManagerDidConnectToServer(nullptr);
    settleDetector(l.source);
    EXPECT_TRUE(detector->isMonitoring());

    l.source->RTMPManagerDidDisconnect(nullptr);
    settleDetector(l.source);
    EXPECT_FALSE(detector->isMonitoring());

    // The detector decides starts and stops on its queue; whatever it has not run yet, the last
    // word counts. A reconnect right after a close measures again...
    l.source->RTMPManagerDidConnectToServer(nullptr);
    settleDetector(l.source);
    {
        kntest::QueueGate gate(detector->detectorQueue());
        l.source->RTMPManagerDidCloseConnection(nullptr);
        l.source->RTMPManagerDidConnectToServer(nullptr);
    }
    EXPECT_TRUE(detector->isMonitoring());
    // ...and switching the flag off right after a connection stops it.
    l.source->RTMPManagerDidCloseConnection(nullptr);
    settleDetector(l.source);
    {
        kntest::QueueGate gate(detector->detectorQueue());
        l.source->RTMPManagerDidConnectToServer(nullptr);
        l.source->setAdaptiveBitrateOn(false);
    }
    EXPECT_FALSE(detector->isMonitoring());
    EXPECT_FALSE(l.source->adaptiveBitrateOn());
}

TEST(KNStreamSource, AFastFailureLeavesTheDestinationOffSoItCanBeSwitchedOnAgain) {
    auto manager = KNStreamSourcesManager::create();
    auto events = std::make_shared<kntest::ManagerEvents>();
    manager->setDelegate(events);
    auto source = manager->addSourceWithStreamInfo(offlineDestination("fails-at-once"));

    // The publisher refuses the URL on its queue right away; whenever that lands, the switch
    // must read off afterwards, or it could never be switched on again.
    for (size_t round = 1; round <= 20; ++round) {
        source->setOn(true);
        ASSERT_TRUE(events->waitForCount("fail:fails-at-once:30000", round));
        source->rtmpManager()->senderQueue()->sync([] {});
        EXPECT_FALSE(source->on()) << "round " << round;
    }
    // Connect-all picks it up again since it reads off.
    manager->establishConnectionToAllSources();
    EXPECT_TRUE(events->waitForCount("fail:fails-at-once:30000", 21));
    source->rtmpManager()->senderQueue()->sync([] {});
    EXPECT_FALSE(source->on());
    EXPECT_TRUE(manager->connectedStreamSources().empty());
}

TEST(KNStreamSource, SwitchingToTheCurrentValueDoesNothing) {
    auto manager = KNStreamSourcesManager::create();
    auto events = std::make_shared<kntest::ManagerEvents>();
    manager->setDelegate(events);
    auto source = manager->addSourceWithStreamInfo(offlineDestination("switch"));
    {
        kntest::QueueGate gate(source->rtmpManager()->senderQueue());
        source->setOn(true);
        EXPECT_TRUE(source->on()) << "on from the moment it starts connecting";
        source->setOn(true);
    }
    // One connect was queued, so one refusal came back.
    auto probe = manager->addSourceWithStreamInfo(offlineDestination("probe"));
    kntest::flushReports(*events, probe);
    EXPECT_EQ(events->count("fail:switch:30000"), 1u);

    // Off while off queues no close.
    source->setOn(false);
    source->rtmpManager()->senderQueue()->sync([] {});
    kntest::flushReports(*events, probe);
    EXPECT_EQ(events->count("close:switch"), 0u);
}

TEST(KNStreamSource, ARemovedDestinationOnlyWarnsWhenSwitched) {
    auto manager = KNStreamSourcesManager::create();
    auto source = manager->addSourceWithStreamInfo(offlineDestination("removed"));
    manager->removeSource(source);
    EXPECT_EQ(source->streamSourcesManager(), nullptr);

    testing::internal::CaptureStdout();
    source->setOn(true);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "WARNING: You are using a stream source that was removed from the SDK management so it won't work as "
              "expected.\n");
    EXPECT_FALSE(source->on());

    // A destination that never had a manager behaves the same.
    auto orphan = KNStreamSource::create();
    testing::internal::CaptureStdout();
    orphan->setOn(true);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("WARNING: You are using a stream source"),
              std::string::npos);
    EXPECT_FALSE(orphan->on());
}

TEST(KNStreamSource, ACopyIsASecondHandleOnTheSameDestination) {
    auto manager = KNStreamSourcesManager::create();
    manager->setRtmpTimeout(9);
    auto source = manager->addSourceWithStreamInfo(offlineDestination("copied"));
    source->setSendingAudio(false);
    source->RTMPManagerDidConnectToServer(nullptr);

    auto copy = source->copy();
    EXPECT_TRUE(copy->isEqual(*source));
    EXPECT_TRUE(copy->on());
    EXPECT_FALSE(copy->sendingAudio());
    EXPECT_EQ(copy->rtmpManager(), source->rtmpManager());
    EXPECT_EQ(copy->bandwidthDetector(), source->bandwidthDetector());
    EXPECT_EQ(copy->streamSourcesManager(), manager);
    EXPECT_EQ(copy->rtmpTimeout(), 0u);
    // The shared publisher keeps reporting to the original.
    EXPECT_EQ(source->rtmpManager()->delegate().get(), static_cast<KNRTMPManagerDelegate*>(source.get()));
}

}  // namespace
