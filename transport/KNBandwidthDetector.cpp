#include "transport/KNBandwidthDetector.h"

#include <chrono>
#include <limits>

#include "core/KNArrayQueue.h"
#include "core/KNVersionsHelper.h"
#include "platform/DispatchQueue.h"
#include "platform/HostClock.h"

namespace {

constexpr auto kTickInterval = std::chrono::seconds(1);
constexpr size_t kBuffGrowthLimit = 3;
constexpr size_t kTurnSamplesLimit = 5;
constexpr double kRiseAfterIncreaseSeconds = 10.0;
constexpr double kRiseAfterTurndownSeconds = 30.0;

// Toward zero, without the undefined behaviour of an out-of-range conversion.
int64_t truncated(float value) {
    if (!(value == value)) return 0;
    if (value >= 9.2e18f) return std::numeric_limits<int64_t>::max();
    if (value <= -9.2e18f) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

uint64_t truncatedUnsigned(float value) {
    if (!(value > 0)) return 0;
    if (value >= 1.8e19f) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(value);
}

}  // namespace

KNBandwidthDetector::KNBandwidthDetector()
    : detectorQueue_(platform::DispatchQueue::createSerial("com.KestruneSDK.BandwidthDetector")) {}

std::shared_ptr<KNBandwidthDetector> KNBandwidthDetector::create() { return std::make_shared<KNBandwidthDetector>(); }

void KNBandwidthDetector::startMonitoringBandwidth() {
    // Decided on the queue, after any stop queued before it: a flag read here could still show a
    // loop that a queued stop is about to end.
    detectorQueue_->async([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self || self->isMonitoringBandwidth_.load()) return;
        self->isMonitoringBandwidth_.store(true);
        // A new loop: the tick still pending from a stopped one belongs to an older generation and
        // ends when it fires.
        self->startMonitoringService(++self->generation_);
    });
}

void KNBandwidthDetector::stopMonitoringBandwidth() {
    detectorQueue_->async([weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->isMonitoringBandwidth_.store(false);
    });
}

void KNBandwidthDetector::willSendPacketOfSize(uint64_t sizeBytes) {
    if (!isMonitoringBandwidth_.load(std::memory_order_relaxed)) return;
    lastHandedOver_.store(kHandedOver | sizeBytes, std::memory_order_relaxed);
}

void KNBandwidthDetector::didSendPacketOfSize(uint64_t sizeBytes) {
    if (!isMonitoringBandwidth_.load(std::memory_order_relaxed)) return;
    sentBytes_.fetch_add(sizeBytes, std::memory_order_relaxed);
}

void KNBandwidthDetector::didDropPacket() {
    if (!isMonitoringBandwidth_.load(std::memory_order_relaxed)) return;
    dropped_.store(true, std::memory_order_relaxed);
}

float KNBandwidthDetector::aggressiveness() const { return KNVersionsHelper::isIphone5sOrLower() ? -1.8f : 0.0f; }

void KNBandwidthDetector::startMonitoringService(uint64_t generation) {
    if (!isMonitoringBandwidth_.load() || generation != generation_) return;

    const double now = platform::HostClock::now();
    const double dt = now - previousMeasurementTimeStamp_;
    const double oldTurndown = previousTurndown_;
    const double oldIncrease = previousIncrease_;
    previousMeasurementTimeStamp_ = now;

    const uint64_t sentBytes = sentBytes_.exchange(0, std::memory_order_relaxed);
    const uint64_t lastHandedOver = lastHandedOver_.exchange(0, std::memory_order_relaxed);
    const float bw = dt > 0 ? static_cast<float>(sentBytes) / static_cast<float>(dt) : 0.0f;
    kn_pushFront(bwSamples_, bw);
    if (bwSamples_.size() > bwSampleCount_) kn_popBack(bwSamples_);

    float vector = 0;
    float avg = 0;
    const bool handedOver = (lastHandedOver & kHandedOver) != 0;
    const bool dropped = dropped_.exchange(false, std::memory_order_relaxed);
    if (dropped) previousDrop_ = now;
    const bool heldDown = now - previousDrop_ <= kRiseAfterTurndownSeconds;
    if (handedOver) {
        kn_pushFront(buffGrowth_, lastHandedOver & ~kHandedOver);
        if (buffGrowth_.size() > kBuffGrowthLimit) kn_popBack(buffGrowth_);

        // Above 0 only when the last three ticks' packets grew each time.
        int score = 0;
        int32_t prev = 0;
        for (const uint64_t size : buffGrowth_) {
            const auto value = static_cast<int32_t>(size);
            score += value > prev ? -1 : (value < prev ? 1 : 0);
            prev = value;
        }

        if (score > 0) {
            hasFirstTurndown_ = true;
            previousTurndown_ = now;
            vector = -1.0f;
        } else if (hasFirstTurndown_) {
            const bool rising = (now - oldIncrease) > kRiseAfterIncreaseSeconds &&
                                (now - oldTurndown) > kRiseAfterTurndownSeconds;
            vector = rising ? 1.0f : 0.0f;
        } else {
            vector = 1.0f;
        }

        // The trend has just turned back up: this rate becomes a reference. So does the rate of
        // a second in which the publisher dropped, what the link carried while the stream
        // overflowed it. After a drop a reference may only lower the estimate: one that rose
        // would overflow the link again.
        const bool turned = vector >= 0 && previousVector_ < 0;
        if ((turned || dropped) && (!heldDown || bw < referenceAverage())) {
            kn_pushFront(turnSamples_, kn_front(bwSamples_));
            if (turnSamples_.size() > kTurnSamplesLimit) kn_popBack(turnSamples_);
        }
        avg = referenceAverage();
        if (bw > avg && !heldDown) {
            kn_pushFront(turnSamples_, bw);
            if (turnSamples_.size() > kTurnSamplesLimit) kn_popBack(turnSamples_);
        }
        previousVector_ = vector;
    }

    std::shared_ptr<KNBandwidthDetectorDelegate> delegate;
    {
        std::lock_guard lock(hooksMutex_);
        delegate = delegate_.lock();
    }
    // With nothing handed over there is nothing to estimate from: reporting a 0 here would drive
    // the encoder to its floor while the connection is merely idle, so the average stands.
    if (handedOver) {
        if (delegate && delegate->respondsToBandwidthDetectorDidEstimateNewBitrate()) {
            if (vector > 0) previousIncrease_ = now;
            if (bw > 0 && truncated(avg) != previousAverage_) {
                delegate->bandwidthDetectorDidEstimateNewBitrate(this, truncatedUnsigned((aggressiveness() + 8.0f) * avg));
            }
        }
        previousAverage_ = truncated(avg);
    }

    scheduleTick(generation);
}

float KNBandwidthDetector::referenceAverage() const {
    if (turnSamples_.empty()) return 0;
    int64_t sum = 0;
    for (const float sample : turnSamples_) sum += truncated(sample);
    return static_cast<float>(sum) / static_cast<float>(turnSamples_.size());
}

void KNBandwidthDetector::scheduleTick(uint64_t generation) {
    auto tick = [weak = weak_from_this(), generation] {
        if (const auto self = weak.lock()) self->startMonitoringService(generation);
    };
    TickScheduler scheduler;
    {
        std::lock_guard lock(hooksMutex_);
        scheduler = tickScheduler_;
    }
    if (scheduler) {
        scheduler(std::move(tick));
    } else {
        detectorQueue_->after(kTickInterval, std::move(tick));
    }
}

std::weak_ptr<KNBandwidthDetectorDelegate> KNBandwidthDetector::delegate() const {
    std::lock_guard lock(hooksMutex_);
    return delegate_;
}

void KNBandwidthDetector::setDelegate(std::weak_ptr<KNBandwidthDetectorDelegate> delegate) {
    std::lock_guard lock(hooksMutex_);
    delegate_ = std::move(delegate);
}

void KNBandwidthDetector::setTickSchedulerForTesting(TickScheduler scheduler) {
    std::lock_guard lock(hooksMutex_);
    tickScheduler_ = std::move(scheduler);
}

template <class Read>
auto KNBandwidthDetector::readOnQueue(Read read) const {
    if (detectorQueue_->isCurrent()) return read();
    decltype(read()) value{};
    detectorQueue_->sync([&] { value = read(); });
    return value;
}

bool KNBandwidthDetector::hasFirstTurndown() const {
    return readOnQueue([this] { return hasFirstTurndown_; });
}
float KNBandwidthDetector::previousVector() const {
    return readOnQueue([this] { return previousVector_; });
}
std::vector<float> KNBandwidthDetector::bwSamples() const {
    return readOnQueue([this] { return bwSamples_; });
}
std::vector<uint64_t> KNBandwidthDetector::buffGrowth() const {
    return readOnQueue([this] { return buffGrowth_; });
}
std::vector<float> KNBandwidthDetector::turnSamples() const {
    return readOnQueue([this] { return turnSamples_; });
}
uint64_t KNBandwidthDetector::bwSampleCount() const {
    return readOnQueue([this] { return bwSampleCount_; });
}
double KNBandwidthDetector::previousMeasurementTimeStamp() const {
    return readOnQueue([this] { return previousMeasurementTimeStamp_; });
}
double KNBandwidthDetector::previousTurndown() const {
    return readOnQueue([this] { return previousTurndown_; });
}
double KNBandwidthDetector::previousIncrease() const {
    return readOnQueue([this] { return previousIncrease_; });
}
int64_t KNBandwidthDetector::previousAverage() const {
    return readOnQueue([this] { return previousAverage_; });
}
