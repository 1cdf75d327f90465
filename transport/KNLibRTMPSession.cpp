#include "transport/KNLibRTMPSession.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <librtmp/log.h>

#include "core/KNLog.h"
#include "transport/KNRTMPChunkWriter.h"
#include "transport/KNRTMPConnect.h"
#include "transport/KNTLSTunnel.h"

namespace {

// Serialises the library's session initialisation, which also sets up process-wide TLS state.
std::mutex& rtmpSyncObject() {
    static std::mutex lock;
    return lock;
}

void libraryLogLine(int level, const char* format, va_list args) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    const auto& log = KNLog::sharedInstance();
    if (level <= RTMP_LOGERROR) {
        log->logErrorScope(line, KNLogScopeAll);
    } else if (level == RTMP_LOGWARNING) {
        log->logWarningScope(line, KNLogScopeAll);
    } else if (level == RTMP_LOGINFO) {
        log->logInfoScope(line, KNLogScopeAll);
    }
}

// The library's log settings are process-wide and have no getter for the callback: set once, as
// the program loads, so a level or callback the host gives the library later (before its first
// connect or after it) stays. Until then its lines go where the system's own log settings say, and
// nowhere while that is off.
const bool libraryLogRouted = [] {
    RTMP_LogSetLevel(RTMP_LOGINFO);
    RTMP_LogSetCallback(&libraryLogLine);
    return true;
}();

}  // namespace

std::unique_ptr<KNLibRTMPSession> KNLibRTMPSession::create() {
    RTMP* rtmp = RTMP_Alloc();
    if (!rtmp) return nullptr;
    {
        std::lock_guard<std::mutex> guard(rtmpSyncObject());
        RTMP_Init(rtmp);
    }
    return std::unique_ptr<KNLibRTMPSession>(new KNLibRTMPSession(rtmp));
}

KNLibRTMPSession::KNLibRTMPSession(RTMP* rtmp) : rtmp_(rtmp) {}

KNLibRTMPSession::~KNLibRTMPSession() {
    // Closing still writes (unpublish, delete stream), and the last owner may let go on any
    // thread: a server that has gone must not raise SIGPIPE there.
    sigset_t pipe, previous;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    kn::endSession(rtmp_, &tunnel_);  // RTMP_Close, and for rtmps the TLS close after the last bytes
    RTMP_Free(rtmp_);
    if (!sigismember(&previous, SIGPIPE)) {
        const timespec none{};
        while (sigtimedwait(&pipe, nullptr, &none) == SIGPIPE) {
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    // url_ goes after the session: the library's link strings point into it.
}

KNRTMPSession::ConnectStatus KNLibRTMPSession::connect(const std::string& url, int32_t timeoutSeconds) {
    url_ = std::make_unique<char[]>(url.size() + 1);
    std::memcpy(url_.get(), url.c_str(), url.size() + 1);
    if (RTMP_SetupURL(rtmp_, url_.get()) != 1) return ConnectStatus::BadURL;

    rtmp_->Link.timeout = timeoutSeconds;
    RTMP_EnableWrite(rtmp_);
    const bool secure = (rtmp_->Link.protocol & RTMP_FEATURE_SSL) != 0;

    kn::ConnectDeadline deadline(timeoutSeconds);
    const bool connected = kn::RTMP_Connect(rtmp_, nullptr, &deadline, &tunnel_);
    const bool publishing = connected && RTMP_ConnectStream(rtmp_, 0) && announceChunkSize() &&
                            (!secure || writeTLSDirectly());
    // Past the deadline the connection was cut, whatever step it had reached.
    if (deadline.finish() || !connected) return ConnectStatus::ConnectFailed;
    if (!publishing) return ConnectStatus::StreamFailed;
    return ConnectStatus::Connected;
}

// Connected, the session only writes: from here the library's socket layer encrypts straight onto
// the TCP socket through the verified TLS session (its reads would not take GnuTLS's "again"
// answers, hence the tunnel until now).
bool KNLibRTMPSession::writeTLSDirectly() {
    void* tls = nullptr;
    int tcp = -1;
    if (!tunnel_ || !tunnel_->handOver(tls, tcp)) return false;
    const int plain = rtmp_->m_sb.sb_socket;
    rtmp_->m_sb.sb_socket = tcp;
    rtmp_->m_sb.sb_ssl = tls;
    close(plain);
    return true;
}

// The standard Set Chunk Size control message; every later packet is cut at the new size.
bool KNLibRTMPSession::announceChunkSize() {
    char buffer[RTMP_MAX_HEADER_SIZE + 4] = {};
    RTMPPacket packet{};
    packet.m_body = buffer + RTMP_MAX_HEADER_SIZE;
    packet.m_packetType = RTMP_PACKET_TYPE_CHUNK_SIZE;
    packet.m_nChannel = 0x02;
    packet.m_headerType = RTMP_PACKET_SIZE_LARGE;
    packet.m_nBodySize = 4;
    const uint32_t size = kOutChunkSizeBytes;
    packet.m_body[0] = static_cast<char>((size >> 24) & 0x7f);
    packet.m_body[1] = static_cast<char>((size >> 16) & 0xff);
    packet.m_body[2] = static_cast<char>((size >> 8) & 0xff);
    packet.m_body[3] = static_cast<char>(size & 0xff);
    if (RTMP_SendPacket(rtmp_, &packet, 0) <= 0) return false;
    rtmp_->m_outChunkSize = kOutChunkSizeBytes;
    return true;
}

bool KNLibRTMPSession::isConnected() { return RTMP_IsConnected(rtmp_) != 0; }

int KNLibRTMPSession::sendPacket(RTMPPacket& packet, bool queue) {
    switch (KNRTMPChunkWriter::send(rtmp_, packet)) {
        case KNRTMPChunkWriter::Result::Sent:
            return 1;
        case KNRTMPChunkWriter::Result::Failed:
            return 0;
        case KNRTMPChunkWriter::Result::NotHandled:
            break;
    }
    return RTMP_SendPacket(rtmp_, &packet, queue ? 1 : 0);
}

int32_t KNLibRTMPSession::streamId() { return rtmp_->m_stream_id; }
