#pragma once
// What the streamer examples share: a delegate that follows every destination and the streamer's
// errors, and the steps that connect the destinations before a stream and close them after it.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kestrune/KNError.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"
#include "kestrune/KNStreamer.h"

namespace example {

// Reports arrive on the library's threads: the counts change and are read under mutex_.
class DestinationHost : public KNStreamSourceDelegate, public KNStreamerDelegate {
public:
    void streamSourceDidConnect(const std::shared_ptr<KNStreamSource>& source) override {
        std::printf("connected: %s\n", url(*source).c_str());
        note([&] { ++connected_; });
    }
    void streamSourceDidFailConnectingWithError(const std::shared_ptr<KNStreamSource>& source,
                                                const std::shared_ptr<KNError>& error) override {
        std::printf("failed: %s: %s\n", url(*source).c_str(), error->description().c_str());
        note([&] { ++failed_; });
    }
    void streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>&) override { note([&] { ++closed_; }); }
    void streamSourceDidDisconnect(const std::shared_ptr<KNStreamSource>& source) override {
        std::printf("lost: %s\n", url(*source).c_str());
    }
    void streamerDidReceiveError(KNStreamer*, const std::shared_ptr<KNError>& error) override {
        std::fprintf(stderr, "streamer: %s\n", error->description().c_str());
    }

    // Waits until `done` holds or `timeout` passes; true when it holds.
    template <class Predicate>
    bool waitUntil(Predicate done, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(*this); });
    }

    int connected_ = 0;
    int failed_ = 0;
    int closed_ = 0;
    std::mutex mutex_;

protected:
    template <class Change>
    void note(Change change) {
        std::lock_guard lock(mutex_);
        change();
        changed_.notify_all();
    }

    std::condition_variable changed_;

private:
    static std::string url(KNStreamSource& source) { return source.streamInfo()->customStreamURLString().value_or(""); }
};

// Switches on a destination for each URL and waits until each has connected or failed; false
// when none connected.
inline bool connectDestinations(KNStreamer& streamer, const std::shared_ptr<DestinationHost>& host,
                                const std::vector<std::string>& urls,
                                std::vector<std::shared_ptr<KNStreamSource>>& sources) {
    using namespace std::chrono_literals;
    for (const auto& url : urls) {
        auto info = KNStreamInfo::create();
        info->setCustomStreamURLString(url);
        auto source = streamer.addStreamSourceWithInfo(info);
        source->setDelegate(host);
        source->setOn(true);
        sources.push_back(source);
    }
    const int count = static_cast<int>(sources.size());
    host->waitUntil([&](DestinationHost& h) { return h.connected_ + h.failed_ == count; }, 35s);
    return !host->waitUntil([](DestinationHost& h) { return h.connected_ == 0; }, 0ms);
}

// Stops the stream and waits for each connected destination's own close report.
inline void closeDestinations(KNStreamer& streamer, DestinationHost& host,
                              const std::vector<std::shared_ptr<KNStreamSource>>& sources) {
    using namespace std::chrono_literals;
    streamer.stopStreaming();
    for (const auto& source : sources) streamer.removeStreamSource(source);
    host.waitUntil([](DestinationHost& h) { return h.closed_ >= h.connected_; }, 10s);
}

}  // namespace example
