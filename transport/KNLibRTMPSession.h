#pragma once
#include <memory>

#include "transport/KNRTMPSession.h"

class KNTLSTunnel;

// One session of the RTMP library. Destruction closes and frees it.
class KNLibRTMPSession final : public KNRTMPSession {
public:
    // Outgoing chunk size announced once connected: fewer chunk headers, far less server work.
    static constexpr int kOutChunkSizeBytes = 4096;

    // Null when the library can't allocate a session.
    static std::unique_ptr<KNLibRTMPSession> create();
    ~KNLibRTMPSession() override;

    ConnectStatus connect(const std::string& url, int32_t timeoutSeconds) override;
    bool isConnected() override;
    int sendPacket(RTMPPacket& packet, bool queue) override;
    int32_t streamId() override;
    bool canWriteWithoutWaiting(size_t bytes) override;

private:
    explicit KNLibRTMPSession(RTMP* rtmp);
    bool announceChunkSize();
    bool writeTLSDirectly();

    RTMP* rtmp_;
    // rtmps only: the session's TLS, through a socket pair until connected, then written directly.
    std::unique_ptr<KNTLSTunnel> tunnel_;
    std::unique_ptr<char[]> url_;  // parsed in place by the library; outlives rtmp_'s use of it
};
