#pragma once
// Helpers of the destination and sources-manager tests: a listener that records every report of
// the manager, a gate that holds a publisher's queue, and destination records that fail to
// connect at once without touching the network.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrune/KNError.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"
#include "platform/DispatchQueue.h"
#include "transport/KNRTMPManager.h"
#include "transport/KNStreamSourcesManager.h"

namespace kntest {

using namespace std::chrono_literals;

// A destination whose host name is not ASCII: the publisher refuses its URL (30000) before any
// socket is made.
inline std::shared_ptr<KNStreamInfo> offlineDestination(const std::string& stream) {
    auto info = KNStreamInfo::create();
    info->setServerAddress("unreachable-\xc3\xa9.invalid");
    info->setApplicationName("live");
    info->setStreamName(stream);
    return info;
}

// "rtmp://HOST:PORT/live/STREAM", e.g. on the test server.
inline std::shared_ptr<KNStreamInfo> rtmpDestination(const std::string& hostAndPort, const std::string& stream) {
    auto info = KNStreamInfo::create();
    info->setServerAddress(hostAndPort);
    info->setApplicationName("live");
    info->setStreamName(stream);
    return info;
}

inline std::string nameOf(const std::shared_ptr<KNStreamSource>& source) {
    auto info = source ? source->streamInfo() : nullptr;
    return info ? info->streamName().value_or("") : "";
}

inline KNStreamSource::Bytes bytes(size_t size, uint8_t fill = 0x41) {
    return std::make_shared<const std::vector<uint8_t>>(size, fill);
}

// Holds a queue: nothing queued after the gate runs until it opens. Opening waits for what was
// queued behind it.
class QueueGate {
public:
    explicit QueueGate(std::shared_ptr<platform::DispatchQueue> queue) : queue_(std::move(queue)) {
        queue_->async([state = state_] {
            std::unique_lock lock(state->mutex);
            state->cv.wait(lock, [&] { return state->open; });
        });
    }
    ~QueueGate() { open(); }
    QueueGate(const QueueGate&) = delete;
    QueueGate& operator=(const QueueGate&) = delete;

    void open() {
        {
            std::lock_guard lock(state_->mutex);
            if (state_->open) return;
            state_->open = true;
        }
        state_->cv.notify_all();
        queue_->sync([] {});
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool open = false;
    };
    std::shared_ptr<platform::DispatchQueue> queue_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Everything the manager tells its delegate, in the order heard, with the thread it came on.
class ManagerEvents : public KNStreamSourcesManagerDelegate {
public:
    struct Event {
        std::string what;  // "first", "last", "connect:<stream>", "close:<stream>", "fail:<stream>:<code>",
                           // "estimate:<bps>", "kB:<n>", "drop"
        std::thread::id thread;
    };

    void streamSourcesManagerFirstStreamDidConnect(KNStreamSourcesManager*) override { record("first"); }
    void streamSourcesManagerLastStreamDidCloseConnection(KNStreamSourcesManager*) override { record("last"); }
    void streamSourcesManagerStreamSourceDidConnect(KNStreamSourcesManager*,
                                                    const std::shared_ptr<KNStreamSource>& source) override {
        record("connect:" + nameOf(source));
    }
    void streamSourcesManagerStreamSourceDidCloseConnection(KNStreamSourcesManager*,
                                                            const std::shared_ptr<KNStreamSource>& source) override {
        record("close:" + nameOf(source));
    }
    void streamSourcesManagerStreamSourceDidFailConnectingWithError(KNStreamSourcesManager*,
                                                                    const std::shared_ptr<KNStreamSource>& source,
                                                                    const std::shared_ptr<KNError>& error) override {
        const auto code = error && !error->errorCodes().empty() ? error->errorCodes().front() : 0;
        record("fail:" + nameOf(source) + ":" + std::to_string(code));
    }
    void streamSourcesManagerDidEstimateNewBitrate(KNStreamSourcesManager*, uint64_t bps) override {
        record("estimate:" + std::to_string(bps));
    }
    void streamSourcesManagerDidUpdateBitrate(KNStreamSourcesManager*, uint64_t kilobytes) override {
        if (onKilobytes) onKilobytes(kilobytes);
        record("kB:" + std::to_string(kilobytes));
    }
    void streamSourcesManagerDidDropPacket(KNStreamSourcesManager*) override { record("drop"); }

    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (auto& e : events()) result.push_back(e.what);
        return result;
    }
    // Reports whose text starts with the prefix ("kB:" for the throughput values).
    std::vector<std::string> matching(const std::string& prefix) const {
        std::vector<std::string> result;
        for (auto& e : events()) {
            if (e.what.rfind(prefix, 0) == 0) result.push_back(e.what);
        }
        return result;
    }
    size_t count(const std::string& what) const {
        auto all = names();
        return static_cast<size_t>(std::count(all.begin(), all.end(), what));
    }
    size_t size() const {
        std::lock_guard lock(mutex_);
        return events_.size();
    }
    bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            std::unique_lock lock(mutex_);
            const uint64_t seen = version_;
            lock.unlock();
            if (predicate()) return true;
            lock.lock();
            // Sleeps only while nothing new was recorded since the predicate was read.
            if (!cv_.wait_until(lock, deadline, [&] { return version_ != seen; })) {
                lock.unlock();
                return predicate();
            }
        }
    }
    bool waitForCount(const std::string& what, size_t n, std::chrono::milliseconds timeout = 10s) {
        return waitFor([&] { return count(what) >= n; }, timeout);
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
        ++version_;
    }

    // Run inside the throughput report, on the reporting thread, before it is recorded.
    std::function<void(uint64_t)> onKilobytes;

private:
    void record(std::string what) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back({std::move(what), std::this_thread::get_id()});
            ++version_;
        }
        cv_.notify_all();
    }
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Event> events_;
    uint64_t version_ = 0;
};

// Waits until the manager's delegate has heard everything queued so far: a drop report of the
// probe (a listed destination) is queued behind it on the serial delegate queue.
inline void flushReports(ManagerEvents& events, const std::shared_ptr<KNStreamSource>& probe) {
    const size_t before = events.count("drop");
    probe->RTMPManagerDidDropPacket(nullptr);
    ASSERT_TRUE(events.waitForCount("drop", before + 1)) << "the delegate queue did not drain";
}

inline std::shared_ptr<KNError> errorWithCode(int64_t code) {
    return KNError::errorWithCodesMessage({code}, "test failure " + std::to_string(code));
}

}  // namespace kntest
