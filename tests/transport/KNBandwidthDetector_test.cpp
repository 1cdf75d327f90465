#include "transport/KNBandwidthDetector.h"

#include <gtest/gtest.h>

#include <future>

#include "platform/DispatchQueue.h"
#include "platform/HostClock.h"
#include "platform/MachineModel.h"

struct EstimateRecorder : KNBandwidthDetectorDelegate {
    void bandwidthDetectorDidEstimateNewBitrate(KNBandwidthDetector*, uint64_t bps) override { estimates.push_back(bps); }
    std::vector<uint64_t> estimates;
};

class KNBandwidthDetectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::HostClock::setOverride([this] { return now.load(); });
        makeDetector();
    }
    void TearDown() override {
        platform::HostClock::clearOverride();
        platform::MachineModel::clearOverride();
    }
    void makeDetector() {
        detector = KNBandwidthDetector::create();
        detector->setDelegate(delegate = std::make_shared<EstimateRecorder>());
        pending.clear();
        detector->setTickSchedulerForTesting([this](std::function<void()> tick) { pending.push_back(std::move(tick)); });
        detector->startMonitoringBandwidth();
        drain();
    }
    void drain() { detector->detectorQueue()->sync([] {}); }
    void fire(double seconds = 1) {
        auto due = std::exchange(pending, {});
        now = now + seconds;
        for (auto& tick : due) detector->detectorQueue()->sync(tick);
    }
    void interval(double seconds, uint64_t sentBytes, std::optional<uint64_t> lastHandedOver) {
        if (lastHandedOver) detector->willSendPacketOfSize(*lastHandedOver);
        if (sentBytes) detector->didSendPacketOfSize(sentBytes);
        ASSERT_EQ(pending.size(), 1u);
        fire(seconds);
    }

    std::atomic<double> now{1000.0};
    std::shared_ptr<KNBandwidthDetector> detector;
    std::shared_ptr<EstimateRecorder> delegate;
    std::vector<std::function<void()>> pending;
};

TEST_F(KNBandwidthDetectorTest, SteadyRateIsReportedOnceAtTheDevicesBitsPerByte) {
    for (const auto& [model, estimate] : {std::pair{"iPhone6,2", 6200u}, std::pair{"x86_64", 8000u}}) {  // 6.2 or 8 bits a byte
        platform::MachineModel::setOverride(model);
        makeDetector();
        for (int i = 0; i < 3; ++i) interval(2, 2001, 700);  // the first only sets the reference
        interval(1, 1000, std::nullopt);  // bytes drained, nothing new handed over
        interval(1, 0, std::nullopt);
        EXPECT_EQ(delegate->estimates, std::vector<uint64_t>{estimate}) << model;
    }
}

TEST_F(KNBandwidthDetectorTest, TurndownsReferencesWindowsAndListLimits) {
    for (uint64_t size : {500, 700, 600, 500, 600}) interval(1, 1000, size);
    EXPECT_FALSE(detector->hasFirstTurndown());  // 500/700/600 grew, then shrank
    interval(1, 1000, 700);
    EXPECT_TRUE(detector->hasFirstTurndown());
    interval(1, 500, 700);
    EXPECT_EQ(delegate->estimates, (std::vector<uint64_t>{8000, 6000}));  // 8 x average 750
    std::vector<int> rising;
    for (int second = 2; second <= 45; ++second) {
        interval(1, 500, 700);
        if (detector->previousVector() > 0) rising.push_back(second);
    }
    // More than 30 s since the turndown and more than 10 s since the last rise, both strictly.
    EXPECT_EQ(rising, (std::vector<int>{31, 42}));

    makeDetector();  // the lists keep 30 rates, 3 growths and 5 turns
    for (int i = 1; i <= 40; ++i) interval(1, 1000u * i, 100u * (i % 4 + 1));
    EXPECT_EQ(std::tuple(detector->bwSamples().size(), detector->bwSamples().front(), detector->buffGrowth().size(),
                         detector->turnSamples().size()), std::tuple(size_t{30}, 40000.0f, size_t{3}, size_t{5}));
}

// A stop and a start both queued before either runs.
TEST_F(KNBandwidthDetectorTest, RestartsLeaveExactlyOneLoop) {
    std::promise<void> open;
    detector->detectorQueue()->async([held = open.get_future().share()] { held.wait(); });
    detector->stopMonitoringBandwidth();
    detector->startMonitoringBandwidth();
    open.set_value();
    drain();
    for (int round = 0; round < 3; ++round) {
        fire();
        EXPECT_EQ(pending.size(), 1u);
    }
    detector->stopMonitoringBandwidth();
    drain();
    fire();
    EXPECT_TRUE(pending.empty());
    EXPECT_TRUE(delegate->estimates.empty());
}

// A minute of a connection that speeds up, stalls and recovers, with many packets a second of
// sizes that rise and fall: the estimates the detector has always given for it.
TEST_F(KNBandwidthDetectorTest, EstimatesOfARecordedPacketSequenceStayTheSame) {
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % bound;
    };
    for (int second = 0; second < 60; ++second) {
        const uint64_t rate = second < 20 ? 40000 + 3000 * second : (second < 35 ? 15000 : 60000 + 500 * second);
        const int packets = 30 + static_cast<int>(next(40));
        uint64_t sent = 0;
        for (int i = 0; i < packets && sent < rate; ++i) {
            const uint64_t size = 67 + next(static_cast<uint32_t>(2 * rate / packets));
            detector->willSendPacketOfSize(size + (second % 7 == 3 ? 40 * (i % 3) : 0));
            detector->didSendPacketOfSize(size);
            sent += size;
        }
        ASSERT_EQ(pending.size(), 1u);
        fire(0.9 + 0.05 * (second % 5));
    }
    EXPECT_TRUE(detector->hasFirstTurndown());
    const std::vector<uint64_t> recorded = {
        356272, 361008, 366704, 368566, 375390, 401684, 428673, 451286, 475878, 496932, 525176, 549910,
        573489, 599745, 626664, 638632, 660790, 684753, 597976, 485268, 449995, 429936, 531798, 626750,
        628480, 648480, 661318, 680520, 700678, 711979, 725987, 721777, 724732, 713427};
    EXPECT_EQ(delegate->estimates, recorded);
}

// A drop shows the link carries less than the stream: a rate measured then, however high (the
// kernel's buffers take bursts), must not raise the estimate, nor may one measured while the
// drop holds the trend down; lower ones lower it.
TEST_F(KNBandwidthDetectorTest, AfterADropTheEstimateOnlyFallsUntilTheHoldEnds) {
    interval(1, 10000, 700);
    interval(1, 10000, 700);
    ASSERT_EQ(delegate->estimates, std::vector<uint64_t>{80000});
    detector->didDropPacket();
    interval(1, 20000, 700);
    interval(1, 20000, 700);
    EXPECT_EQ(delegate->estimates, std::vector<uint64_t>{80000}) << "no rise in or right after a dropping second";
    detector->didDropPacket();
    interval(1, 4000, 700);
    interval(1, 4000, 700);
    EXPECT_EQ(delegate->estimates, (std::vector<uint64_t>{80000, 56000})) << "the link's rate became a reference";
    for (int second = 0; second < 30; ++second) interval(1, 20000, 700);
    EXPECT_EQ(delegate->estimates.back(), 56000u) << "held for 30 s after the last drop";
    interval(1, 20000, 700);
    interval(1, 20000, 700);
    EXPECT_GT(delegate->estimates.back(), 56000u) << "rises again once the hold has ended";
}
