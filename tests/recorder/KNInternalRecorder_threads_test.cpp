#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "HubFakes.h"

using namespace kntest;
using Entries = std::vector<std::string>;

TEST_F(HubTest, AConnectionFasterThanTheStartStillAnswersIt) {
    fakes->sources->onConnectAll = [this] {
        std::thread destination([this] { hub->streamSourcesManagerFirstStreamDidConnect(nullptr); });
        destination.join();
    };
    Answers answers;
    std::thread host([&] { hub->startStreamingWithCompletion(answers.completion()); });
    EXPECT_TRUE(runMainUntil([&] { return !answers.log.entries().empty(); }));
    host.join();
    drainMainQueue();
    EXPECT_EQ(answers.log.entries(), Entries{"YES"});
}

TEST_F(HubTest, OverlappingStopsReportOneStopAndOneIdle) {
    for (int round = 0; round < 50; ++round) {
        log->clear();
        hub->startStreamingWithCompletion(nullptr);
        std::thread capture([this] { hub->captureSessionDidStopRunning(); });
        std::thread route([this] { hub->captureOutputRouteDidChange(); });
        fakes->reachability->report(KNNetworkStatusNotReachable);
        capture.join();
        route.join();
        fakes->reachability->queue->sync([] {});
        drainMainQueue();
        EXPECT_EQ(log->entries("state"), (Entries{"state 2", "state 1", "state 3", "state 0"})) << round;
        EXPECT_EQ(hub->recordingState(), KNRecorderStateIdle);
    }
}

TEST_F(HubTest, StopThenStartAtOnceKeepsTheScreenAwake) {
    hub->startStreamingWithCompletion(nullptr);
    hub->stopStreaming();
    hub->startStreamingWithCompletion(nullptr);
    drainMainQueue();
    EXPECT_TRUE(fakes->idleTimerDisabled);
    hub->stopStreaming();
    drainMainQueue();
    EXPECT_FALSE(fakes->idleTimerDisabled);
}

// Reports follow the states' own order (idle, starting, then streaming or stopping, ...) and end
// where the hub ends, whichever thread made each change.
TEST_F(HubTest, StartsStopsAndRecordingsFromSeveralThreadsEndIdleWithNothingRunning) {
    fakes->aac->configured = true;
    constexpr int kRounds = 200;
    std::atomic<int> answered{0};
    auto count = [&answered](bool, std::shared_ptr<KNError>) { ++answered; };
    std::thread starter([&] {
        for (int i = 0; i < kRounds; ++i) hub->startStreamingWithCompletion(count);
    });
    std::thread stopper([&] {
        for (int i = 0; i < kRounds; ++i) hub->stopStreaming();
    });
    std::thread connector([&] {
        for (int i = 0; i < kRounds; ++i) hub->streamSourcesManagerFirstStreamDidConnect(nullptr);
    });
    std::thread recorder([&] {
        for (int i = 0; i < kRounds / 4; ++i) {
            hub->startRecordingWithCompletion(nullptr);
            hub->stopRecordingWithCompletion(nullptr);
        }
    });
    starter.join();
    stopper.join();
    connector.join();
    recorder.join();
    hub->stopStreaming();
    EXPECT_TRUE(runMainUntil([&] { return answered.load() == kRounds; }));
    fakes->saver->queue->sync([] {});
    EXPECT_EQ(hub->recordingState(), KNRecorderStateIdle);
    EXPECT_FALSE(fakes->h264->encoding);
    EXPECT_FALSE(fakes->aac->encoding);
    const std::map<std::string, std::vector<std::string>> next = {
        {"state 0", {"state 2"}}, {"state 2", {"state 1", "state 3"}}, {"state 1", {"state 3"}}, {"state 3", {"state 0"}}};
    std::string previous = "state 0";
    for (const auto& state : log->entries("state")) {
        const auto& allowed = next.at(previous);
        EXPECT_NE(std::ranges::find(allowed, state), allowed.end()) << previous << " then " << state;
        previous = state;
    }
    EXPECT_EQ(previous, "state 0");
}
