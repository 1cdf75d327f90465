#pragma once
// The publisher's view of one library session: connect, write packets, report liveness. The
// library's session is one implementation (KNLibRTMPSession); tests put a stand-in in its place.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <librtmp/rtmp.h>

class KNRTMPSession {
public:
    enum class ConnectStatus { Connected, BadURL, ConnectFailed, StreamFailed };

    virtual ~KNRTMPSession() = default;

    // URL set-up, socket connect and handshake, publish stream. The session keeps `url` for its
    // whole life (the library points into it). `timeoutSeconds` is already the effective time-out.
    virtual ConnectStatus connect(const std::string& url, int32_t timeoutSeconds) = 0;
    virtual bool isConnected() = 0;
    // The packet's body must have RTMP_MAX_HEADER_SIZE writable bytes in front of it.
    virtual int sendPacket(RTMPPacket& packet, bool queue) = 0;
    virtual int32_t streamId() = 0;
    // Whether `bytes` more can be written now without the write waiting for the peer; a session
    // that can't tell answers false.
    virtual bool canWriteWithoutWaiting(size_t /*bytes*/) { return false; }
};

// Returns null when no session can be made.
using KNRTMPSessionFactory = std::function<std::unique_ptr<KNRTMPSession>()>;
