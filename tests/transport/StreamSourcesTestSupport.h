#pragma once
#include <gtest/gtest.h>

#include <algorithm>

#include "kestrune/KNError.h"
#include "kestrune/KNStreamInfo.h"
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

// In order: "first", "last", "connect:<stream>", "close:<stream>", "fail:<stream>:<code>", "estimate:<bps>", "kB:<n>", "drop".
class ManagerEvents : public KNStreamSourcesManagerDelegate {
public:
    using Source = std::shared_ptr<KNStreamSource>;

    void streamSourcesManagerFirstStreamDidConnect(KNStreamSourcesManager*) override { record("first"); }
    void streamSourcesManagerLastStreamDidCloseConnection(KNStreamSourcesManager*) override { record("last"); }
    void streamSourcesManagerStreamSourceDidConnect(KNStreamSourcesManager*, const Source& s) override { record("connect:" + name(s)); }
    void streamSourcesManagerStreamSourceDidCloseConnection(KNStreamSourcesManager*, const Source& s) override {
        record("close:" + name(s));
    }
    void streamSourcesManagerStreamSourceDidFailConnectingWithError(KNStreamSourcesManager*, const Source& s,
                                                                    const std::shared_ptr<KNError>& error) override {
        record("fail:" + name(s) + ":" + std::to_string(error->errorCodes().front()));
    }
    void streamSourcesManagerDidEstimateNewBitrate(KNStreamSourcesManager*, uint64_t bps) override {
        record("estimate:" + std::to_string(bps));
    }
    void streamSourcesManagerDidUpdateBitrate(KNStreamSourcesManager*, uint64_t kB) override { record("kB:" + std::to_string(kB)); }
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
    bool waitForCount(const std::string& what, size_t n) const { return waitFor([&] { return count(what) >= n; }, 10s); }

private:
    static std::string name(const Source& s) { return s->streamInfo()->streamName().value_or(""); }
    void record(std::string what) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(what));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

}  // namespace kntest
