#pragma once
// Estimates how fast one connection carries the stream: once a second, while monitoring, it turns
// the bytes written in the last interval into a rate, watches the sizes of handed-over packets for
// a rising trend (a turndown), keeps a few reference rates, and reports their average whenever it
// changes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "transport/KNBandwidthDetectorDelegate.h"

namespace platform {
class DispatchQueue;
}

class KNBandwidthDetector : public std::enable_shared_from_this<KNBandwidthDetector> {
public:
    static std::shared_ptr<KNBandwidthDetector> create();

    // Both are decided on the detector's queue, in call order: a start runs a tick at once and
    // then one a second; a stop ends the loop. However quickly they alternate, at most one loop
    // runs, and the last call wins.
    void startMonitoringBandwidth();
    void stopMonitoringBandwidth();
    // A packet handed to the publisher, and one written to the connection; ignored while off.
    void willSendPacketOfSize(uint64_t sizeBytes);
    void didSendPacketOfSize(uint64_t sizeBytes);
    // The publisher dropped a packet: the link carries less than the stream. From such a second on,
    // for as long as a turndown holds the trend down, the estimate never rises, and it falls
    // toward the rates the link did carry.
    void didDropPacket();

    bool isMonitoring() const { return isMonitoringBandwidth_.load(); }
    // -1.8 on the oldest phones (their estimates are 77.5 % of the rate), else 0.
    float aggressiveness() const;

    std::weak_ptr<KNBandwidthDetectorDelegate> delegate() const;
    void setDelegate(std::weak_ptr<KNBandwidthDetectorDelegate> delegate);
    const std::shared_ptr<platform::DispatchQueue>& detectorQueue() const { return detectorQueue_; }

    // The measurement's state; read on the detector's queue (from elsewhere, these wait for it).
    bool hasFirstTurndown() const;
    float previousVector() const;
    std::vector<float> bwSamples() const;        // bytes per second, newest first
    std::vector<uint64_t> buffGrowth() const;    // bytes, newest first
    std::vector<float> turnSamples() const;      // bytes per second, newest first
    uint64_t bwSampleCount() const;
    double previousMeasurementTimeStamp() const;  // seconds, host clock
    double previousTurndown() const;
    double previousIncrease() const;
    int64_t previousAverage() const;

    // Test hook: receives each next tick instead of the queue's one-second timer; whoever holds
    // it runs it on the detector's queue. Set before starting.
    using TickScheduler = std::function<void(std::function<void()> tick)>;
    void setTickSchedulerForTesting(TickScheduler scheduler);

    KNBandwidthDetector();  // use create()

private:
    // One tick of the loop `generation`; a tick of an older loop, or while off, ends it.
    void startMonitoringService(uint64_t generation);
    void scheduleTick(uint64_t generation);
    // The mean of the reference rates, each truncated first; 0 without any.
    float referenceAverage() const;
    template <class Read>
    auto readOnQueue(Read read) const;

    const std::shared_ptr<platform::DispatchQueue> detectorQueue_;
    std::atomic<bool> isMonitoringBandwidth_{false};

    mutable std::mutex hooksMutex_;  // delegate and scheduler, set from any thread
    std::weak_ptr<KNBandwidthDetectorDelegate> delegate_;
    TickScheduler tickScheduler_;

    // Counted on the senders' threads, taken by the tick: a queued task per packet would wake
    // the detector's queue at packet rate. The last handed-over size carries kHandedOver, so
    // that "none since the last tick" (0) differs from a packet of 0 bytes.
    static constexpr uint64_t kHandedOver = uint64_t{1} << 63;
    std::atomic<uint64_t> sentBytes_{0};
    std::atomic<uint64_t> lastHandedOver_{0};
    std::atomic<bool> dropped_{false};  // the publisher dropped a packet since the last tick

    // On the detector's queue only.
    uint64_t generation_ = 0;
    double previousDrop_ = -1e9;  // host clock, seconds: the last tick that saw a drop
    std::vector<float> bwSamples_;
    std::vector<uint64_t> buffGrowth_;
    std::vector<float> turnSamples_;
    uint64_t bwSampleCount_ = 30;
    bool hasFirstTurndown_ = false;
    float previousVector_ = 0;
    double previousMeasurementTimeStamp_ = 0;
    double previousTurndown_ = 0;
    double previousIncrease_ = 0;
    int64_t previousAverage_ = 0;
};
