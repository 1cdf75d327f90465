#pragma once
#include <cstdint>
#include <memory>

class KNError;
class KNRTMPManager;

// Listener of one publisher. Every operation is optional: the defaults do nothing.
// Connection, failure, disconnect, close, sent and bad-packet reports arrive on the publisher's
// queue; will-send and drop reports on the thread that handed the packet in.
class KNRTMPManagerDelegate {
public:
    virtual ~KNRTMPManagerDelegate() = default;

    virtual void RTMPManagerDidConnectToServer(KNRTMPManager* /*manager*/) {}
    virtual void RTMPManagerDidFailConnectingWithError(KNRTMPManager* /*manager*/,
                                                       std::shared_ptr<KNError> /*error*/) {}
    virtual void RTMPManagerDidDisconnect(KNRTMPManager* /*manager*/) {}
    virtual void RTMPManagerDidCloseConnection(KNRTMPManager* /*manager*/) {}
    virtual void RTMPManagerWillSendPacketWithSize(KNRTMPManager* /*manager*/, uint64_t /*sizeBytes*/) {}
    virtual void RTMPManagerDidSendPacketWithSize(KNRTMPManager* /*manager*/, uint64_t /*sizeBytes*/) {}
    virtual void RTMPManagerDidDropBadAudioPacket(KNRTMPManager* /*manager*/) {}
    virtual void RTMPManagerDidDropBadVideoPacket(KNRTMPManager* /*manager*/) {}
    virtual void RTMPManagerDidDropPacket(KNRTMPManager* /*manager*/) {}
};
