// The bandwidth detector's arithmetic, trend windows and loop control, on a clock and a tick source
// the test drives.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/HostClock.h"
#include "platform/MachineModel.h"
#include "support/TestServer.h"
#include "transport/KNBandwidthDetector.h"

namespace {

using namespace std::chrono_literals;

class EstimateRecorder : public KNBandwidthDetectorDelegate {
public:
    explicit EstimateRecorder(bool responds = true) : responds_(responds) {}

    void bandwidthDetectorDidEstimateNewBitrate(KNBandwidthDetector*, uint64_t bitsPerSecond) override {
        std::lock_guard lock(mutex_);
        estimates_.push_back(bitsPerSecond);
    }
    bool respondsToBandwidthDetectorDidEstimateNewBitrate() const override { return responds_; }

    std::vector<uint64_t> estimates() {
        std::lock_guard lock(mutex_);
        return estimates_;
    }

private:
    const bool responds_;
    std::mutex mutex_;
    std::vector<uint64_t> estimates_;
};

class KNBandwidthDetectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::HostClock::setOverride([this] { return now_.load(); });
        makeDetector();
    }
    void makeDetector() {
        detector_ = KNBandwidthDetector::create();
        useDelegate(std::make_shared<EstimateRecorder>());
        detector_->setTickSchedulerForTesting([this](std::function<void()> tick) {
            std::lock_guard lock(pendingMutex_);
            pending_.push_back(std::move(tick));
        });
    }
    void TearDown() override {
        platform::HostClock::clearOverride();
        platform::MachineModel::clearOverride();
    }

    void useDelegate(std::shared_ptr<EstimateRecorder> delegate) {
        delegate_ = std::move(delegate);
        detector_->setDelegate(delegate_);
    }
    // Waits until everything queued on the detector so far has run.
    void drain() {
        detector_->detectorQueue()->sync([] {});
    }
    void start() {
        detector_->startMonitoringBandwidth();
        drain();
    }
    size_t pendingTicks() {
        std::lock_guard lock(pendingMutex_);
        return pending_.size();
    }
    // Fires every tick scheduled so far, at the current time, on the detector's queue.
    void firePending() {
        std::vector<std::function<void()>> due;
        {
            std::lock_guard lock(pendingMutex_);
            due.swap(pending_);
        }
        for (auto& tick : due) detector_->detectorQueue()->sync(tick);
    }
    // One interval: bytes written, the last packet handed over (if any), then the tick `seconds`
    // after the previous one.
    void interval(double seconds, uint64_t sentBytes, std::optional<uint64_t> lastHandedOver) {
        if (lastHandedOver) detector_->willSendPacketOfSize(*lastHandedOver);
        if (sentBytes) detector_->didSendPacketOfSize(sentBytes);
        now_ = now_ + seconds;
        ASSERT_EQ(pendingTicks(), 1u);
        firePending();
    }

    // Seconds after a turndown (at second 0) whose tick had a rising trend, over 45 seconds.
    std::vector<int> risingSecondsAfterTurndown() {
        interval(1, 1000, 500);
        interval(1, 1000, 600);
        interval(1, 1000, 700);
        std::vector<int> rising;
        for (int second = 1; second <= 45; ++second) {
            interval(1, 500, 700);
            if (detector_->previousVector() > 0) rising.push_back(second);
        }
        return rising;
    }

    std::atomic<double> now_{1000.0};
    std::shared_ptr<KNBandwidthDetector> detector_;
    std::shared_ptr<EstimateRecorder> delegate_;
    std::mutex pendingMutex_;
    std::vector<std::function<void()>> pending_;
};

TEST_F(KNBandwidthDetectorTest, SteadyRateIsReportedOnceAtTheDevicesBitsPerByte) {
    // Old phones count 6.2 bits a byte (aggressiveness -1.8); everything else 8.
    for (const auto& [model, estimate] : {std::pair{"x86_64", 8000u}, std::pair{"iPhone6,2", 6200u}}) {
        SCOPED_TRACE(model);
        platform::MachineModel::setOverride(model);
        makeDetector();
        start();
        interval(2, 2001, 700);  // 1000.5 B/s becomes the first reference; average still 0
        EXPECT_TRUE(delegate_->estimates().empty());
        interval(2, 2001, 700);  // average 1000
        interval(2, 2001, 700);  // unchanged average: nothing new
        EXPECT_EQ(delegate_->estimates(), std::vector<uint64_t>{estimate});
        EXPECT_EQ(detector_->previousAverage(), 1000);
        detector_->stopMonitoringBandwidth();
        drain();
        firePending();
    }
    EXPECT_FLOAT_EQ(detector_->aggressiveness(), -1.8f);
}

TEST_F(KNBandwidthDetectorTest, IdleTickKeepsTheEstimateInsteadOfReportingZero) {
    start();
    interval(2, 2001, 700);
    interval(2, 2001, 700);
    interval(1, 1000, std::nullopt);  // bytes drained, nothing new handed over
    EXPECT_EQ(detector_->previousAverage(), 1000);
    interval(1, 1000, 700);  // back at the same rate: the average never moved
    interval(1, 0, std::nullopt);
    EXPECT_EQ(delegate_->estimates(), std::vector<uint64_t>{8000});
}

TEST_F(KNBandwidthDetectorTest, ThreeGrowingPacketsMakeATurndownAndTheNextRateAReference) {
    start();
    interval(1, 1000, 500);
    interval(1, 1000, 700);
    interval(1, 1000, 600);  // grew, then shrank: no turndown
    EXPECT_FALSE(detector_->hasFirstTurndown());
    EXPECT_FLOAT_EQ(detector_->previousVector(), 1.0f);

    interval(1, 1000, 500);
    interval(1, 1000, 600);
    EXPECT_FALSE(detector_->hasFirstTurndown());
    interval(1, 1000, 700);
    EXPECT_TRUE(detector_->hasFirstTurndown());
    EXPECT_FLOAT_EQ(detector_->previousVector(), -1.0f);
    EXPECT_EQ(detector_->previousTurndown(), now_.load());

    interval(1, 500, 700);  // turned back: 500 B/s joins 1000 B/s as a reference
    EXPECT_EQ(detector_->turnSamples(), (std::vector<float>{500.0f, 1000.0f}));
    EXPECT_EQ(delegate_->estimates(), (std::vector<uint64_t>{8000, 6000}));  // 8 x average 750
}

TEST_F(KNBandwidthDetectorTest, TrendRisesAgainOnlyAfterTheWindows) {
    start();
    // The last rise before the turndown was 2 s before it; then more than 30 s since the
    // turndown and more than 10 s since the last rise, both strictly.
    EXPECT_EQ(risingSecondsAfterTurndown(), (std::vector<int>{31, 42}));
}

TEST_F(KNBandwidthDetectorTest, WithoutTakenEstimatesEveryTickAfterThirtySecondsRises) {
    useDelegate(std::make_shared<EstimateRecorder>(false));
    start();
    const auto rising = risingSecondsAfterTurndown();
    ASSERT_EQ(rising.size(), 15u);
    EXPECT_EQ(rising.front(), 31);
    EXPECT_TRUE(delegate_->estimates().empty());
}

TEST_F(KNBandwidthDetectorTest, ListsKeepTheirLimits) {
    start();
    for (int i = 1; i <= 40; ++i) interval(1, 1000u * i, 100u * (i % 4 + 1));
    EXPECT_EQ(detector_->bwSamples().size(), 30u);
    EXPECT_EQ(detector_->bwSamples().front(), 40000.0f);
    EXPECT_EQ(detector_->buffGrowth().size(), 3u);
    EXPECT_EQ(detector_->turnSamples().size(), 5u);
}

TEST_F(KNBandwidthDetectorTest, SamplesWhileOffAreLostAndAStopEndsTheLoop) {
    detector_->willSendPacketOfSize(700);
    detector_->didSendPacketOfSize(5000);
    start();
    EXPECT_EQ(detector_->bwSamples(), std::vector<float>{0.0f});
    interval(2, 2001, 700);
    interval(2, 2001, 700);
    ASSERT_EQ(delegate_->estimates().size(), 1u);

    detector_->stopMonitoringBandwidth();
    drain();
    detector_->didSendPacketOfSize(90000);
    detector_->willSendPacketOfSize(900);
    now_ = now_ + 1;
    firePending();
    EXPECT_EQ(pendingTicks(), 0u);
    EXPECT_FALSE(detector_->isMonitoring());
    EXPECT_EQ(delegate_->estimates().size(), 1u);
}

TEST_F(KNBandwidthDetectorTest, RestartsLeaveExactlyOneLoop) {
    start();
    start();
    EXPECT_EQ(pendingTicks(), 1u);  // a start while on changes nothing
    detector_->stopMonitoringBandwidth();
    drain();
    start();
    EXPECT_EQ(pendingTicks(), 2u);  // the stopped loop's tick has not fired yet

    // A stop and a start both queued before either runs.
    std::atomic<bool> open{false};
    detector_->detectorQueue()->async([&] { kntest::waitFor([&] { return open.load(); }, 10s); });
    detector_->stopMonitoringBandwidth();
    detector_->startMonitoringBandwidth();
    open = true;
    drain();

    EXPECT_TRUE(detector_->isMonitoring());
    for (int round = 0; round < 3; ++round) {
        now_ = now_ + 1;
        firePending();
        EXPECT_EQ(pendingTicks(), 1u);
    }
}

TEST(KNBandwidthDetectorLoop, RunsOnTheQueuesTimerAndEndsWithTheDetector) {
    auto detector = KNBandwidthDetector::create();
    auto delegate = std::make_shared<EstimateRecorder>();
    detector->setDelegate(delegate);
    detector->startMonitoringBandwidth();
    // The tick at the start, then two with packets: the second of them gives the first estimate.
    for (size_t ticks = 1; ticks <= 3; ++ticks) {
        ASSERT_TRUE(kntest::waitFor([&] { return detector->bwSamples().size() >= ticks; }, 5s));
        detector->willSendPacketOfSize(1000);
        detector->didSendPacketOfSize(50000);
    }
    EXPECT_EQ(delegate->estimates().size(), 1u);
    std::weak_ptr<KNBandwidthDetector> gone = detector;
    detector.reset();
    EXPECT_TRUE(gone.expired());  // the pending tick holds it only weakly
}

}  // namespace
