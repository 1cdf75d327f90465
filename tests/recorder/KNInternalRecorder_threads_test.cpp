#include <gtest/gtest.h>

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
