#pragma once
// The stream sources manager's side of a destination: told every destination event before the
// host is, plus the packet-level events the host never sees.
#include <cstdint>
#include <memory>

#include "kestrune/KNStreamSource.h"

class KNStreamSourcePrivateDelegate : public KNStreamSourceDelegate {
public:
    virtual void streamSourceDidEstimateNewBitrate(const std::shared_ptr<KNStreamSource>& /*source*/,
                                                   uint64_t /*bitsPerSecond*/) {}
    virtual void streamSourceDidSendPacketWithSize(const std::shared_ptr<KNStreamSource>& /*source*/,
                                                   uint64_t /*sizeBytes*/) {}
    virtual void streamSourceDidDropPacket(const std::shared_ptr<KNStreamSource>& /*source*/) {}
};
