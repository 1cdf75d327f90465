// One destination: how publisher and detector events become its own reports and its on flag,
// switching through the manager and without one, and second handles.
#include "kestrune/KNStreamSource.h"

#include <gtest/gtest.h>

#include "transport/KNBandwidthDetector.h"
#include "transport/StreamSourcesTestSupport.h"

namespace {

using kntest::destination;
using kntest::errorWithCode;
using Source = std::shared_ptr<KNStreamSource>;

// Both listeners write into one log, so the order between them shows. (Packet-level events reach
// the manager alone; its tests show them arriving.)
struct Listener : KNStreamSourcePrivateDelegate {
    Listener(std::vector<std::string>& log, std::string who) : log(log), who(std::move(who)) {}
    void streamSourceDidConnect(const Source&) override { add("connect"); }
    void streamSourceDidDisconnect(const Source&) override { add("disconnect"); }
    void streamSourceDidCloseConnection(const Source&) override { add("close"); }
    void streamSourceDidFailConnectingWithError(const Source&, const std::shared_ptr<KNError>& error) override {
        add("fail:" + std::to_string(error->errorCodes().front()));
        errors.push_back(error);
    }
    void add(const std::string& line) {
        EXPECT_EQ(std::this_thread::get_id(), thread) << "passed on synchronously, on the reporting thread";
        log.push_back(who + ":" + line);
    }
    std::vector<std::string>& log;
    std::string who;
    std::thread::id thread = std::this_thread::get_id();
    std::vector<std::shared_ptr<KNError>> errors;
};

TEST(KNStreamSource, EventsReachTheManagerFirstThenTheHostAndSetTheOnFlag) {
    std::vector<std::string> log;
    auto host = std::make_shared<Listener>(log, "public");
    auto manager = std::make_shared<Listener>(log, "private");
    auto source = KNStreamSource::create();
    source->setStreamInfo(destination("listened"));
    source->setDelegate(host);
    source->setPrivateDelegate(manager);

    auto duplicate = errorWithCode(30001);
    auto lost = errorWithCode(30003);
    const struct {
        std::function<void()> report;
        std::string heard;
        bool on;
    } steps[] = {
        {[&] { source->RTMPManagerDidConnectToServer(nullptr); }, "connect", true},
        // A refused second connect means a live session exists: still on.
        {[&] { source->RTMPManagerDidFailConnectingWithError(nullptr, duplicate); }, "fail:30001", true},
        {[&] { source->RTMPManagerDidDisconnect(nullptr); }, "disconnect", false},
        {[&] { source->RTMPManagerDidConnectToServer(nullptr); }, "connect", true},
        {[&] { source->RTMPManagerDidFailConnectingWithError(nullptr, lost); }, "fail:30003", false},
        {[&] { source->RTMPManagerDidConnectToServer(nullptr); }, "connect", true},
        {[&] { source->RTMPManagerDidCloseConnection(nullptr); }, "close", false},
    };
    std::vector<std::string> expected;
    for (const auto& step : steps) {
        step.report();
        EXPECT_EQ(source->on(), step.on) << step.heard;
        expected.insert(expected.end(), {"private:" + step.heard, "public:" + step.heard});
    }
    EXPECT_EQ(log, expected);
    // The publisher's own error objects.
    EXPECT_EQ(host->errors, (std::vector{duplicate, lost}));
    EXPECT_EQ(manager->errors, host->errors);
}

// The detector decides starts and stops on its own queue: whatever it has not run yet, the last
// word counts. Each step runs while the detector's queue is held.
TEST(KNStreamSource, DetectorRunsWithTheAdaptiveFlagAndStopsOnEveryEnd) {
    auto source = KNStreamSource::create();
    using Action = std::function<void()>;
    Action connect = [&] { source->RTMPManagerDidConnectToServer(nullptr); };
    Action close = [&] { source->RTMPManagerDidCloseConnection(nullptr); };
    Action disconnect = [&] { source->RTMPManagerDidDisconnect(nullptr); };
    Action flagOn = [&] { source->setAdaptiveBitrateOn(true); };
    Action flagOff = [&] { source->setAdaptiveBitrateOn(false); };
    const struct {
        const char* what;
        std::vector<Action> actions;
        bool monitoring;
    } steps[] = {
        {"a connection without the flag does not measure", {connect}, false},
        {"the flag starts measuring at once", {flagOn}, true},
        {"a close stops it whatever the flag", {close}, false},
        {"the next connection starts it again", {connect}, true},
        {"a disconnect stops it", {disconnect}, false},
        {"reconnected", {connect}, true},
        {"a reconnect right after a close measures again", {close, connect}, true},
        {"closed", {close}, false},
        {"the flag switched off right after a connection stops it", {connect, flagOff}, false},
    };
    for (const auto& step : steps) {
        {
            kntest::QueueGate gate(source->bandwidthDetector()->detectorQueue());
            for (const auto& action : step.actions) action();
        }
        EXPECT_EQ(source->bandwidthDetector()->isMonitoring(), step.monitoring) << step.what;
    }
}

TEST(KNStreamSource, AFastFailureLeavesTheDestinationOffSoItCanBeSwitchedOnAgain) {
    auto manager = KNStreamSourcesManager::create();
    auto events = std::make_shared<kntest::ManagerEvents>();
    manager->setDelegate(events);
    auto source = manager->addSourceWithStreamInfo(destination("fails-at-once"));
    auto settle = [&] { source->rtmpManager()->senderQueue()->sync([] {}); };

    // The publisher refuses the URL on its queue right away; whenever that lands, the switch
    // must read off afterwards, or it could never be switched on again.
    for (size_t round = 1; round <= 20; ++round) {
        source->setOn(true);
        ASSERT_TRUE(events->waitForCount("fail:fails-at-once:30000", round));
        settle();
        EXPECT_FALSE(source->on()) << "round " << round;
    }
    // On from the moment it starts connecting; switching on again then queues no second connect.
    {
        kntest::QueueGate gate(source->rtmpManager()->senderQueue());
        source->setOn(true);
        EXPECT_TRUE(source->on());
        source->setOn(true);
    }
    kntest::flushReports(*events, source);
    EXPECT_EQ(events->count("fail:fails-at-once:30000"), 21u);
    EXPECT_TRUE(manager->connectedStreamSources().empty());
}

TEST(KNStreamSource, ACopyIsASecondHandleOnTheSameDestination) {
    auto manager = KNStreamSourcesManager::create();
    auto source = manager->addSourceWithStreamInfo(destination("copied"));
    source->RTMPManagerDidConnectToServer(nullptr);

    auto copy = source->copy();
    EXPECT_TRUE(copy->isEqual(*source));
    EXPECT_TRUE(copy->on());
    EXPECT_EQ(copy->rtmpManager(), source->rtmpManager());
    EXPECT_EQ(copy->streamSourcesManager(), manager);
    // The shared publisher keeps reporting to the original.
    EXPECT_EQ(source->rtmpManager()->delegate().get(), static_cast<KNRTMPManagerDelegate*>(source.get()));
}

}  // namespace
