#pragma once
#include <cstdint>

class KNBandwidthDetector;

// Listener of one bandwidth detector (the stream destination). Called on the detector's queue.
class KNBandwidthDetectorDelegate {
public:
    virtual ~KNBandwidthDetectorDelegate() = default;

    // Optional: a new estimate, in bits per second.
    virtual void bandwidthDetectorDidEstimateNewBitrate(KNBandwidthDetector* /*detector*/, uint64_t /*bitsPerSecond*/) {}
    // Whether the operation above is implemented. The detector's rising trend is paced by the
    // estimates it hands over, so a delegate that takes none changes how the trend moves.
    virtual bool respondsToBandwidthDetectorDidEstimateNewBitrate() const { return true; }
};
