#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "kestrune/KNError.h"
#include "kestrune/KNStreamInfo.h"
#include "platform/DispatchQueue.h"
#include "support/TestServer.h"
#include "transport/KNRTMPManager.h"
#include "transport/KNStreamSourcesManager.h"

namespace kntest {

// By default a host name that is not ASCII: refused (30000) before any socket is made.
inline std::shared_ptr<KNStreamInfo> destination(const std::string& stream,
                                                 const std::string& hostAndPort = "unreachable-\xc3\xa9.invalid") {
    auto info = KNStreamInfo::create();
    info->setServerAddress(hostAndPort);
    info->setApplicationName("live");
    info->setStreamName(stream);
    return info;
}

inline KNStreamSource::Bytes bytes(size_t size, uint8_t fill = 0x41) {
    return std::make_shared<const std::vector<uint8_t>>(size, fill);
}
inline std::shared_ptr<KNError> errorWithCode(int64_t code) { return KNError::errorWithCodesMessage({code}, "failure"); }

// Holds a queue while it lives.
struct QueueGate {
    explicit QueueGate(std::shared_ptr<platform::DispatchQueue> queue) : queue(std::move(queue)) {
        this->queue->async([opened = opened.get_future().share()] { opened.wait(); });
    }
    ~QueueGate() {
        opened.set_value();
        queue->sync([] {});
    }
    std::shared_ptr<platform::DispatchQueue> queue;
    std::promise<void> opened;
};

// Everything the manager tells its delegate, in order: "first", "last", "connect:<stream>",
// "close:<stream>", "fail:<stream>:<code>", "estimate:<bps>", "kB:<n>", "drop".
class ManagerEvents : public KNStreamSourcesManagerDelegate {
public:
    using Source = std::shared_ptr<KNStreamSource>;

    void streamSourcesManagerFirstStreamDidConnect(KNStreamSourcesManager*) override { record("first"); }
    void streamSourcesManagerLastStreamDidCloseConnection(KNStreamSourcesManager*) override { record("last"); }
    void streamSourcesManagerStreamSourceDidConnect(KNStreamSourcesManager*, const Source& s) override { record("connect:", s); }
    void streamSourcesManagerStreamSourceDidCloseConnection(KNStreamSourcesManager*, const Source& s) override { record("close:", s); }
    void streamSourcesManagerStreamSourceDidFailConnectingWithError(KNStreamSourcesManager*, const Source& s,
                                                                    const std::shared_ptr<KNError>& error) override {
        record("fail:", s, ":" + std::to_string(error->errorCodes().front()));
    }
    void streamSourcesManagerDidEstimateNewBitrate(KNStreamSourcesManager*, uint64_t bps) override { record("estimate:", bps); }
    void streamSourcesManagerDidUpdateBitrate(KNStreamSourcesManager*, uint64_t kilobytes) override {
        if (onKilobytes) onKilobytes(kilobytes);
        record("kB:", kilobytes);
    }
    void streamSourcesManagerDidDropPacket(KNStreamSourcesManager*) override { record("drop"); }

    std::vector<std::string> names() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::string> matching(const std::string& prefix) const {
        auto all = names();
        std::erase_if(all, [&](const auto& what) { return what.rfind(prefix, 0) != 0; });
        return all;
    }
    size_t count(const std::string& what) const { return static_cast<size_t>(std::ranges::count(names(), what)); }
    bool waitForCount(const std::string& what, size_t n, std::chrono::milliseconds timeout = 10s) const {
        return kntest::waitFor([&] { return count(what) >= n; }, timeout);
    }

    std::function<void(uint64_t)> onKilobytes;

private:
    void record(const std::string& what, const Source& source, const std::string& detail = "") {
        record(what + source->streamInfo()->streamName().value_or("") + detail);
    }
    void record(const std::string& what, uint64_t value) { record(what + std::to_string(value)); }
    void record(std::string what) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(what));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

// Waits until the serial delegate queue has passed on everything queued so far.
inline void flushReports(ManagerEvents& events, const std::shared_ptr<KNStreamSource>& probe) {
    const size_t before = events.count("drop");
    probe->RTMPManagerDidDropPacket(nullptr);
    ASSERT_TRUE(events.waitForCount("drop", before + 1)) << "the delegate queue did not drain";
}

}  // namespace kntest
