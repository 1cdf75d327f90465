#include "transport/KNRTMPManager.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <limits>

#include "core/KNLog.h"
#include "kestrune/KNError.h"
#include "transport/KNLibRTMPSession.h"
#include "transport/KNServerPath.h"

static_assert(KNRTMPManager::kPacketOverheadBytes == 67, "reported packet sizes assume this layout");

namespace {

constexpr int64_t kScopeAll = 0;
constexpr int64_t kScopeSending = 1;
constexpr int64_t kScopeQueue = 2;
// Reported for an audio packet on top of its ADTS frame: the raw AAC body is 5 bytes shorter.
constexpr uint64_t kAudioPacketOverheadBytes = KNRTMPManager::kPacketOverheadBytes - 14;
constexpr uint32_t kAudioHeaderLargeAtPayloadBytes = 4;

enum : int64_t {
    kErrorConnectionURL = 30000,
    kErrorAlreadyInitialized = 30001,
    kErrorAlloc = 30002,
    kErrorConnect = 30003,
    kErrorConnectStream = 30004,
};

const std::shared_ptr<KNLog>& sharedLog() {
    static const std::shared_ptr<KNLog> log = KNLog::sharedInstance();
    return log;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char line[160];
    va_list args;
    va_start(args, fmt);
    const int length = std::vsnprintf(line, sizeof(line), fmt, args);
    va_end(args);
    return std::string(line, std::clamp(length, 0, static_cast<int>(sizeof(line)) - 1));
}

// Packet lines come at frame rate: skip the formatting unless informational lines are written.
#define KN_LOG_INFO(scope, ...)                                                         \
    do {                                                                                \
        if (sharedLog()->logLevel() < 1) {                                              \
            sharedLog()->logInfoScope(format(__VA_ARGS__), scope);                      \
        }                                                                               \
    } while (0)
#define KN_LOG_ERROR(scope, ...)                                                        \
    do {                                                                                \
        if (sharedLog()->logLevel() < 3) {                                              \
            sharedLog()->logErrorScope(format(__VA_ARGS__), scope);                     \
        }                                                                               \
    } while (0)

int32_t effectiveTimeout(uint64_t timeoutSeconds) {
    if (timeoutSeconds == 0) return KNRTMPManager::kDefaultTimeoutSeconds;
    return static_cast<int32_t>(std::min<uint64_t>(timeoutSeconds, std::numeric_limits<int32_t>::max()));
}

bool isASCII(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A write to a connection the server has dropped must answer EPIPE on the caller's thread too,
// as on the queue's threads, which block SIGPIPE: blocked while it lasts, and a SIGPIPE it raised
// is taken before the old mask returns.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        wasBlocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) != 0 || sigismember(&old_, SIGPIPE);
    }
    ~SigpipeBlock() {
        if (wasBlocked_) return;
        sigset_t pending;
        if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
            const timespec none{};
            sigtimedwait(&pipe_, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_;
    bool wasBlocked_ = true;
};

// Counts a packet block off the load however it ends.
struct CountOff {
    std::atomic<int64_t>& load;
    ~CountOff() { load.fetch_sub(1); }
};

}  // namespace

std::shared_ptr<KNRTMPManager> KNRTMPManager::create() {
    return createWithSessionFactory([]() -> std::unique_ptr<KNRTMPSession> { return KNLibRTMPSession::create(); });
}

std::shared_ptr<KNRTMPManager> KNRTMPManager::createWithSessionFactory(KNRTMPSessionFactory factory) {
    return std::make_shared<KNRTMPManager>(std::move(factory));
}

KNRTMPManager::KNRTMPManager(KNRTMPSessionFactory factory)
    : sessionFactory_(std::move(factory)),
      senderQueue_(platform::DispatchQueue::createSerial(
          "com.KestruneSDK.RTMPQueue", platform::DispatchQueue::global(platform::QueuePriority::High))) {}

KNRTMPManager::~KNRTMPManager() = default;

std::shared_ptr<KNRTMPManagerDelegate> KNRTMPManager::delegate() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return delegate_.lock();
}

void KNRTMPManager::setDelegate(std::weak_ptr<KNRTMPManagerDelegate> delegate) {
    std::lock_guard<std::mutex> guard(mutex_);
    delegate_ = std::move(delegate);
}

std::optional<std::string> KNRTMPManager::connectionURL() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return connectionURL_;
}

void KNRTMPManager::setConnectionURL(std::optional<std::string> url) {
    std::lock_guard<std::mutex> guard(mutex_);
    connectionURL_ = std::move(url);
}

std::shared_ptr<const KNMetadata> KNRTMPManager::metadata() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return metadata_;
}

void KNRTMPManager::setMetadata(std::shared_ptr<const KNMetadata> metadata) {
    std::lock_guard<std::mutex> guard(mutex_);
    metadata_ = std::move(metadata);
}

uint64_t KNRTMPManager::timeout() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return timeout_;
}

void KNRTMPManager::setTimeout(uint64_t timeoutSeconds) {
    std::lock_guard<std::mutex> guard(mutex_);
    timeout_ = timeoutSeconds;
}

void KNRTMPManager::establishConnection() {
    runAfterWaitingPackets([self = shared_from_this()] { self->initConnection(); });
}

void KNRTMPManager::closeConnection() {
    runAfterWaitingPackets([self = shared_from_this()] {
        // Frames held back for interleaving were accepted: they go out before the connection ends.
        if (self->rtmp_ && self->rtmp_->isConnected()) self->sendReadyFrames(self->interleaver_.drain());
        self->stopRtmpConnect();
        if (auto delegate = self->delegate()) delegate->RTMPManagerDidCloseConnection(self.get());
    });
}

void KNRTMPManager::setVideoSPSAndPPS(const Bytes& sps, const Bytes& pps) {
    runAfterWaitingPackets([self = shared_from_this(), sps, pps] {
        static const std::vector<uint8_t> none;
        const auto& newSps = sps ? *sps : none;
        const auto& newPps = pps ? *pps : none;
        // The encoder restarted with other parameters: the next key frame needs a new header.
        if (!self->firstVideoPacket_ && (newSps != self->sps_ || newPps != self->pps_)) {
            self->firstVideoPacket_ = true;
        }
        self->sps_ = newSps;
        self->pps_ = newPps;
        KN_LOG_INFO(kScopeSending, "PPS SPS set");
    });
}

void KNRTMPManager::reportErrorWithCodeAndMessage(int64_t code, const std::string& message) {
    auto error = KNError::errorWithCodesMessage({code}, message);
    report([this, error](KNRTMPManagerDelegate& delegate) { delegate.RTMPManagerDidFailConnectingWithError(this, error); });
}

void KNRTMPManager::report(std::function<void(KNRTMPManagerDelegate&)> call) {
    if (!runningInline_) {
        if (auto delegate = this->delegate()) call(*delegate);
        return;
    }
    senderQueue_->async([self = shared_from_this(), call = std::move(call)] {
        if (auto delegate = self->delegate()) call(*delegate);
    });
}

void KNRTMPManager::initConnection() {
    std::optional<std::string> url;
    std::shared_ptr<const KNMetadata> metadata;
    uint64_t timeoutSeconds;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        url = connectionURL_;
        metadata = metadata_;
        timeoutSeconds = timeout_;
    }
    if (!url || url->empty()) {
        reportErrorWithCodeAndMessage(kErrorConnectionURL, "Connection URL is missing");
        return;
    }
    // A live connection is left exactly as it is.
    if (rtmp_) {
        reportErrorWithCodeAndMessage(kErrorAlreadyInitialized, "Connection already initialized");
        return;
    }

    interleaver_.reset();
    firstAudioPacket_ = true;
    firstVideoPacket_ = true;
    loggedVideoBase_.store(0, std::memory_order_relaxed);
    loggedAudioBase_.store(0, std::memory_order_relaxed);
    packetBuffer_.allocate(kInitialPacketBufferBytes);

    if (!isASCII(*url) || !KNServerPath::isUsableConnectString(*url)) {
        reportErrorWithCodeAndMessage(kErrorConnectionURL, "Failed to set RTMP URL");
        return;
    }
    std::unique_ptr<KNRTMPSession> session = sessionFactory_();
    if (!session) {
        reportErrorWithCodeAndMessage(kErrorAlloc, "Failed to alloc RTMP object");
        return;
    }
    switch (session->connect(*url, effectiveTimeout(timeoutSeconds))) {
    case KNRTMPSession::ConnectStatus::BadURL:
        reportErrorWithCodeAndMessage(kErrorConnectionURL, "Failed to set RTMP URL");
        return;
    case KNRTMPSession::ConnectStatus::ConnectFailed:
        reportErrorWithCodeAndMessage(kErrorConnect, "Failed to connect to server");
        return;
    case KNRTMPSession::ConnectStatus::StreamFailed:
        reportErrorWithCodeAndMessage(kErrorConnectStream, "Failed to connect to stream");
        return;
    case KNRTMPSession::ConnectStatus::Connected:
        break;
    }
    rtmp_ = std::move(session);
    if (metadata) sendMetaData(*metadata);
    if (auto delegate = this->delegate()) delegate->RTMPManagerDidConnectToServer(this);
}

// The load is left alone: it counts blocks still waiting, and each counts itself off when it runs.
void KNRTMPManager::stopRtmpConnect() {
    releaseSession();
}

void KNRTMPManager::releaseSession() {
    interleaver_.clearBuffers();
    rtmp_.reset();
    packetBuffer_.release();
}

// A dead connection is torn down right here, once: later blocks find no session and count
// themselves off, so the load stays exact.
void KNRTMPManager::tearDownLostConnection() {
    releaseSession();
    report([this](KNRTMPManagerDelegate& delegate) { delegate.RTMPManagerDidDisconnect(this); });
}

// ---- Media side ----

void KNRTMPManager::sendVideoPacketIsKeyFrameTimestamp(const Bytes& packet, bool isKeyFrame,
                                                       uint64_t timestampMs) {
    const uint64_t length = packet ? packet->size() : 0;
    const auto delegate = this->delegate();
    if (delegate) delegate->RTMPManagerWillSendPacketWithSize(this, length + kPacketOverheadBytes);

    const uint64_t logged = timestampMs - loggedVideoBase_.load(std::memory_order_relaxed);
    bool accept;
    if (isKeyFrame) {
        accept = queueLoad_.load() <= kMaxQueueLoad;
        droppingFrames_.store(!accept);
    } else {
        // Over the bound an inter frame goes too, or a stalled server with long (or no) key-frame
        // intervals would let frames pile up without limit; the picture then resumes at a key frame.
        accept = !droppingFrames_.load() && queueLoad_.load() <= kMaxQueueLoad;
        if (!accept) droppingFrames_.store(true);
    }
    if (!accept) {
        if (delegate) delegate->RTMPManagerDidDropPacket(this);
        KN_LOG_INFO(kScopeQueue, "Dropping video packet with timestamp: %llu keyframe: %d",
                    static_cast<unsigned long long>(logged), isKeyFrame ? 1 : 0);
        return;
    }
    queueLoad_.fetch_add(1);
    KN_LOG_INFO(kScopeQueue, "Enqueued video packet with timestamp: %llu keyframe: %d",
                static_cast<unsigned long long>(logged), isKeyFrame ? 1 : 0);
    enqueuePacket({packet, true, isKeyFrame, timestampMs});
}

void KNRTMPManager::sendAudioPacketTimestamp(const Bytes& packet, uint64_t timestampMs) {
    const uint64_t length = packet ? packet->size() : 0;
    const auto delegate = this->delegate();
    if (delegate) delegate->RTMPManagerWillSendPacketWithSize(this, length + kPacketOverheadBytes);

    if (queueLoad_.load() > kMaxQueueLoad) {
        if (delegate) delegate->RTMPManagerDidDropPacket(this);
        return;
    }
    const uint64_t logged = timestampMs - loggedAudioBase_.load(std::memory_order_relaxed);
    queueLoad_.fetch_add(1);
    KN_LOG_INFO(kScopeQueue, "Enqueued audio packet with timestamp: %llu", static_cast<unsigned long long>(logged));
    enqueuePacket({packet, false, false, timestampMs});
}

// Packets join the batch whose task is already queued, so a sender that fell behind takes all that
// waits in one turn rather than one wake-up per packet. A publisher with nothing queued or
// running, whose connection has room for what the packet may release, takes it at once on the
// caller's thread: no sender thread is woken for each packet and destination.
void KNRTMPManager::enqueuePacket(WaitingPacket packet) {
    {
        std::lock_guard<std::mutex> guard(waitingMutex_);
        if (waiting_) {
            waiting_->push_back(std::move(packet));
            return;
        }
    }
    bool taken = false;
    senderQueue_->trySync([&] { taken = processInline(packet); });
    if (taken) return;
    std::lock_guard<std::mutex> guard(waitingMutex_);
    if (waiting_) {
        waiting_->push_back(std::move(packet));
        return;
    }
    waiting_ = std::make_shared<std::vector<WaitingPacket>>();
    waiting_->push_back(std::move(packet));
    senderQueue_->async([self = shared_from_this(), batch = waiting_] { self->processWaitingPackets(batch); });
}

bool KNRTMPManager::processInline(const WaitingPacket& packet) {
    const size_t bytes = (packet.data ? packet.data->size() : 0) + interleaver_.waitingBytes();
    if (!rtmp_ || !rtmp_->canWriteWithoutWaiting(bytes)) return false;
    const SigpipeBlock quiet;
    runningInline_ = true;
    processPacket(packet);
    runningInline_ = false;
    return true;
}

void KNRTMPManager::processPacket(const WaitingPacket& packet) {
    if (packet.video) {
        processVideoPacket(packet.data, packet.keyFrame, packet.timestampMs);
    } else {
        processAudioPacket(packet.data, packet.timestampMs);
    }
}

// Anything else on the queue keeps its place among the packets: later packets start a new batch.
void KNRTMPManager::runAfterWaitingPackets(platform::DispatchQueue::Task task) {
    std::lock_guard<std::mutex> guard(waitingMutex_);
    waiting_.reset();
    senderQueue_->async(std::move(task));
}

void KNRTMPManager::processWaitingPackets(const std::shared_ptr<std::vector<WaitingPacket>>& batch) {
    std::vector<WaitingPacket> packets;
    {
        std::lock_guard<std::mutex> guard(waitingMutex_);
        if (waiting_ == batch) waiting_.reset();
        packets.swap(*batch);
    }
    for (const auto& packet : packets) processPacket(packet);
}

void KNRTMPManager::processVideoPacket(const Bytes& packet, bool isKeyFrame, uint64_t timestampMs) {
    CountOff countOff{queueLoad_};
    if (!rtmp_) {
        KN_LOG_ERROR(kScopeAll, "Connection closed, ignoring video packet with timestamp: %llu",
                     static_cast<unsigned long long>(timestampMs));
        return;
    }
    if (!packet || packet->empty()) {
        if (auto delegate = this->delegate()) delegate->RTMPManagerDidDropBadVideoPacket(this);
        return;
    }
    std::shared_ptr<const std::vector<uint8_t>> sequenceHeader;
    if (firstVideoPacket_) {
        if (!isKeyFrame) return;
        // Without usable parameter sets the picture can't start: wait for a key frame that has them.
        if (!KNFLVPayload::parameterSetsUsable(sps_, pps_)) {
            if (auto delegate = this->delegate()) delegate->RTMPManagerDidDropBadVideoPacket(this);
            return;
        }
        firstVideoPacket_ = false;
        sequenceHeader = std::make_shared<const std::vector<uint8_t>>(KNFLVPayload::avcSequenceHeader(sps_, pps_));
    }

    KNInterleaver::Entry entry;
    entry.frame.setData(packet);
    entry.frame.setTimestamp(interleaver_.rebaseVideo(timestampMs));
    entry.frame.setKeyframe(isKeyFrame);
    entry.sequenceHeader = std::move(sequenceHeader);
    loggedVideoBase_.store(interleaver_.videoBase().value_or(0), std::memory_order_relaxed);
    sendReadyFrames(interleaver_.pushVideo(std::move(entry), sendingAudio_.load()));
}

void KNRTMPManager::processAudioPacket(const Bytes& packet, uint64_t timestampMs) {
    CountOff countOff{queueLoad_};
    if (!rtmp_) {
        KN_LOG_ERROR(kScopeAll, "Connection closed, ignoring audio packet with timestamp: %llu",
                     static_cast<unsigned long long>(timestampMs));
        return;
    }
    const auto adts = packet ? KNFLVPayload::parseADTS(packet->data(), packet->size()) : std::nullopt;
    if (!adts) {
        if (auto delegate = this->delegate()) delegate->RTMPManagerDidDropBadAudioPacket(this);
        return;
    }

    KNInterleaver::Entry entry;
    entry.frame.setData(packet);
    entry.frame.setTimestamp(interleaver_.rebaseAudio(timestampMs));
    entry.headerLengthBytes = adts->headerLengthBytes;
    loggedAudioBase_.store(interleaver_.audioBase().value_or(0), std::memory_order_relaxed);

    // The header declares what the frames carry: first from the stream description, then again
    // whenever the frames announce another rate or channel count.
    bool sendHeader = false;
    if (firstAudioPacket_) {
        firstAudioPacket_ = false;
        declaredAudio_ = KNFLVPayload::audioConfigFromMetadata(metadata().get());
        sendHeader = true;
    }
    if (adts->config != declaredAudio_) {
        declaredAudio_ = adts->config;
        sendHeader = true;
    }
    if (sendHeader) {
        const auto header = KNFLVPayload::aacSequenceHeader(declaredAudio_);
        entry.sequenceHeader = std::make_shared<const std::vector<uint8_t>>(header.begin(), header.end());
    }
    sendReadyFrames(interleaver_.pushAudio(std::move(entry), sendingVideo_.load()));
}

void KNRTMPManager::sendReadyFrames(const std::vector<KNInterleaver::Entry>& frames) {
    for (const auto& frame : frames) {
        if (!rtmp_) return;  // torn down by a failed write: the rest is gone with the connection
        if (frame.sequenceHeader &&
            !sendSequenceHeader(*frame.sequenceHeader, frame.video ? RTMP_PACKET_TYPE_VIDEO : RTMP_PACKET_TYPE_AUDIO)) {
            continue;
        }
        if (frame.dequeued) {
            KN_LOG_INFO(kScopeQueue, "Dequeued %s packet with timestamp: %llu", frame.video ? "video" : "audio",
                        static_cast<unsigned long long>(frame.frame.timestamp()));
        }
        if (frame.video) {
            sendH264Packet(frame);
        } else {
            sendAACPacket(frame);
        }
    }
}

bool KNRTMPManager::sendSequenceHeader(const std::vector<uint8_t>& body, uint8_t packetType) {
    const bool video = packetType == RTMP_PACKET_TYPE_VIDEO;
    if (!rtmp_->isConnected()) {
        tearDownLostConnection();
        return false;
    }
    if (sendUnqueuedPacket(body, packetType, 0x04, false) <= 0) {
        if (auto delegate = this->delegate()) {
            video ? delegate->RTMPManagerDidDropBadVideoPacket(this) : delegate->RTMPManagerDidDropBadAudioPacket(this);
        }
        tearDownLostConnection();
        return false;
    }
    KN_LOG_INFO(kScopeSending, video ? "PPS SPS sent" : "Audio header sent");
    return true;
}

bool KNRTMPManager::sendH264Packet(const KNInterleaver::Entry& frame) {
    const auto& data = *frame.frame.data();
    const uint64_t timestamp = frame.frame.timestamp();
    if (!rtmp_->isConnected()) {
        tearDownLostConnection();
        return false;
    }
    RTMPPacket& packet = packetBuffer_.preparePacket(data.size() + KNFLVPayload::kVideoBodyOverheadBytes);
    KNFLVPayload::writeVideoBody(packetBuffer_.body(), data.data(), data.size(), frame.frame.keyframe());
    packet.m_packetType = RTMP_PACKET_TYPE_VIDEO;
    packet.m_nChannel = 0x04;
    packet.m_headerType = RTMP_PACKET_SIZE_LARGE;
    packet.m_nTimeStamp = static_cast<uint32_t>(timestamp);
    packet.m_nInfoField2 = rtmp_->streamId();
    const int result = sendRTMPPacketWithSize(packet, data.size() + kPacketOverheadBytes);
    if (result <= 0) {
        if (auto delegate = this->delegate()) delegate->RTMPManagerDidDropBadVideoPacket(this);
    }
    KN_LOG_INFO(kScopeSending, "Sent video packet with timestamp: %llu, keyframe: %d",
                static_cast<unsigned long long>(timestamp), frame.frame.keyframe() ? 1 : 0);
    if (result <= 0) tearDownLostConnection();
    return result > 0;
}

bool KNRTMPManager::sendAACPacket(const KNInterleaver::Entry& frame) {
    const auto& data = *frame.frame.data();
    const uint64_t timestamp = frame.frame.timestamp();
    if (!rtmp_->isConnected()) {
        tearDownLostConnection();
        return false;
    }
    const size_t payload = data.size() - frame.headerLengthBytes;
    RTMPPacket& packet = packetBuffer_.preparePacket(payload + 2);
    KNFLVPayload::writeAudioBody(packetBuffer_.body(), data.data(), data.size(), frame.headerLengthBytes);
    packet.m_packetType = RTMP_PACKET_TYPE_AUDIO;
    packet.m_nChannel = 0x04;
    packet.m_headerType = payload == kAudioHeaderLargeAtPayloadBytes ? RTMP_PACKET_SIZE_LARGE : RTMP_PACKET_SIZE_MEDIUM;
    packet.m_nTimeStamp = static_cast<uint32_t>(timestamp);
    packet.m_nInfoField2 = rtmp_->streamId();
    const int result = sendRTMPPacketWithSize(packet, data.size() + kAudioPacketOverheadBytes);
    if (result <= 0) {
        if (auto delegate = this->delegate()) delegate->RTMPManagerDidDropBadAudioPacket(this);
        tearDownLostConnection();
        return false;
    }
    KN_LOG_INFO(kScopeSending, "Sent audio packet with timestamp: %llu", static_cast<unsigned long long>(timestamp));
    return true;
}

int KNRTMPManager::sendRTMPPacketWithSize(RTMPPacket& packet, uint64_t sizeBytes) {
    const int result = rtmp_->sendPacket(packet, true);
    if (result > 0) {
        if (auto delegate = this->delegate()) delegate->RTMPManagerDidSendPacketWithSize(this, sizeBytes);
    } else {
        reportErrorWithCodeAndMessage(kErrorConnect, "Connection to server lost");
    }
    return result;
}

void KNRTMPManager::sendMetaData(const KNMetadata& metadata) {
    const std::vector<uint8_t> body = KNFLVPayload::onMetaData(metadata);
    if (body.empty()) return;
    sendUnqueuedPacket(body, RTMP_PACKET_TYPE_INFO, 0x03, true);
}

// Headers and onMetaData: a large header at time 0, in a small buffer of their own.
int KNRTMPManager::sendUnqueuedPacket(const std::vector<uint8_t>& body, uint8_t packetType, int channel,
                                      bool absoluteTimestamp) {
    std::vector<char> buffer(RTMP_MAX_HEADER_SIZE + body.size());
    std::copy(body.begin(), body.end(), buffer.begin() + RTMP_MAX_HEADER_SIZE);
    RTMPPacket packet{};
    packet.m_body = buffer.data() + RTMP_MAX_HEADER_SIZE;
    packet.m_nBodySize = static_cast<uint32_t>(body.size());
    packet.m_packetType = packetType;
    packet.m_nChannel = channel;
    packet.m_headerType = RTMP_PACKET_SIZE_LARGE;
    packet.m_hasAbsTimestamp = absoluteTimestamp ? 1 : 0;
    packet.m_nInfoField2 = rtmp_->streamId();
    return rtmp_->sendPacket(packet, false);
}
