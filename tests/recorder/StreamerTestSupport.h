#pragma once
// A streamer delegate noting its state changes and errors, from any thread.
#include <mutex>
#include <string>
#include <vector>

#include "kestrune/KNError.h"
#include "kestrune/KNStreamer.h"

namespace kntest {

class StreamerReports : public KNStreamerDelegate {
public:
    void streamerDidChangeState(KNStreamer*, KNStreamerState state) override {
        std::lock_guard lock(mutex_);
        states_.push_back(state);
    }
    void streamerDidReceiveError(KNStreamer*, const std::shared_ptr<KNError>& error) override {
        std::lock_guard lock(mutex_);
        errors_.push_back(error->description());
    }
    std::vector<int64_t> states() {
        std::lock_guard lock(mutex_);
        return states_;
    }
    std::vector<std::string> errors() {
        std::lock_guard lock(mutex_);
        return errors_;
    }

private:
    std::mutex mutex_;
    std::vector<int64_t> states_;
    std::vector<std::string> errors_;
};

}  // namespace kntest
