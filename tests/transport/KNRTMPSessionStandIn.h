#pragma once
#include <condition_variable>
#include <cstring>
#include <functional>
#include <thread>

#include "kestrune/KNError.h"
#include "transport/KNRTMPManager.h"

namespace kntest {

using Bytes = std::vector<uint8_t>;
constexpr int32_t kStreamId = 5;
// type, channel, header type, timestamp, absolute, queued, stream
using Fields = std::tuple<uint8_t, int, uint8_t, uint32_t, uint8_t, bool, int32_t>;
struct SentPacket {
    Fields fields;
    Bytes body;
};

struct SessionLog {
    std::mutex mutex;
    std::vector<SentPacket> packets;
    std::atomic<int> alive = 0;
    std::atomic<int> connectCalls = 0;
    std::atomic<bool> room = false;     // what canWriteWithoutWaiting answers
    std::atomic<bool> failing = false;  // writes fail
    std::vector<std::thread::id> writers;
    std::vector<SentPacket> sent() {
        std::lock_guard<std::mutex> guard(mutex);
        return packets;
    }
};

struct StandInSession : KNRTMPSession {
    explicit StandInSession(std::shared_ptr<SessionLog> log) : log_(std::move(log)) { ++log_->alive; }
    ~StandInSession() override { --log_->alive; }
    ConnectStatus connect(const std::string&, int32_t) override {
        ++log_->connectCalls;
        return ConnectStatus::Connected;
    }
    bool isConnected() override { return true; }
    int sendPacket(RTMPPacket& packet, bool queue) override {
        // The library writes its chunk header in front of the body: that room must be ours.
        std::memset(packet.m_body - RTMP_MAX_HEADER_SIZE, 0xCC, RTMP_MAX_HEADER_SIZE);
        std::lock_guard<std::mutex> guard(log_->mutex);
        if (log_->failing) return 0;
        log_->writers.push_back(std::this_thread::get_id());
        auto* body = reinterpret_cast<const uint8_t*>(packet.m_body);
        log_->packets.push_back({{packet.m_packetType, packet.m_nChannel, packet.m_headerType, packet.m_nTimeStamp,
                                  packet.m_hasAbsTimestamp, queue, packet.m_nInfoField2},
                                 Bytes(body, body + packet.m_nBodySize)});
        return 1;
    }
    int32_t streamId() override { return kStreamId; }
    bool canWriteWithoutWaiting(size_t) override { return log_->room; }
    std::shared_ptr<SessionLog> log_;
};

struct Recorder : KNRTMPManagerDelegate {
    std::mutex mutex;
    std::condition_variable changed;
    int connects = 0, disconnects = 0, closes = 0, drops = 0, badAudio = 0, badVideo = 0;
    std::vector<std::pair<int64_t, std::string>> errors;
    std::string history;

    void RTMPManagerDidConnectToServer(KNRTMPManager*) override { bump(connects, "connect; "); }
    void RTMPManagerDidDisconnect(KNRTMPManager*) override {
        {
            std::lock_guard<std::mutex> guard(mutex);
            disconnectThread = std::this_thread::get_id();
        }
        bump(disconnects, "disconnect; ");
    }
    std::thread::id disconnectThread;
    void RTMPManagerDidCloseConnection(KNRTMPManager*) override { bump(closes, "close; "); }
    void RTMPManagerDidDropPacket(KNRTMPManager*) override { bump(drops); }
    void RTMPManagerDidDropBadAudioPacket(KNRTMPManager*) override { bump(badAudio); }
    void RTMPManagerDidDropBadVideoPacket(KNRTMPManager*) override { bump(badVideo); }
    void RTMPManagerDidFailConnectingWithError(KNRTMPManager*, std::shared_ptr<KNError> error) override {
        std::lock_guard<std::mutex> guard(mutex);
        errors.emplace_back(error->errorCodes().at(0), error->message().value_or(""));
        history += "fail " + std::to_string(errors.back().first) + "; ";
        changed.notify_all();
    }
    void bump(int& counter, const char* event = "") {
        std::lock_guard<std::mutex> guard(mutex);
        ++counter;
        history += event;
        changed.notify_all();
    }
    template <typename T>
    T count(const T& field) {
        std::lock_guard<std::mutex> guard(mutex);
        return field;
    }
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, done);
    }
    bool waitFor(const int& counter, int n, std::chrono::milliseconds timeout) { return waitUntil([&] { return counter >= n; }, timeout); }
    auto errorList() { return count(errors); }
    std::string story() { return count(history); }
};

inline KNFrame::Bytes bytes(Bytes b) { return std::make_shared<const Bytes>(std::move(b)); }

// One AAC LC ADTS frame, payload 0, 1, 2...
inline Bytes adtsBytes(int samplingIndex, int channels, size_t payloadBytes, bool crc = false) {
    const size_t length = (crc ? 9 : 7) + payloadBytes;
    Bytes frame = {0xFF, static_cast<uint8_t>(crc ? 0xF0 : 0xF1),
                   static_cast<uint8_t>((1 << 6) | (samplingIndex << 2) | (channels >> 2)),
                   static_cast<uint8_t>(((channels & 3) << 6) | (length >> 11)), static_cast<uint8_t>(length >> 3),
                   static_cast<uint8_t>(((length & 7) << 5) | 0x1F), 0xFC};
    if (crc) frame.insert(frame.end(), {0x12, 0x34});
    for (size_t i = 0; i < payloadBytes; ++i) frame.push_back(static_cast<uint8_t>(i));
    return frame;
}
inline KNFrame::Bytes adts(int index, int channels, size_t payload, bool crc = false) {
    return bytes(adtsBytes(index, channels, payload, crc));
}

}  // namespace kntest
