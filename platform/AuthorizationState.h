#pragma once
// An authorization status that the host (or a test) sets, and what a request grants while it is
// not determined (0). Safe from any thread.
#include <atomic>
#include <cstdint>
#include <functional>

namespace platform {

class AuthorizationState {
public:
    explicit AuthorizationState(int64_t granted) : status_(granted), requestAnswer_(granted) {}

    int64_t status() const { return status_.load(); }
    void setStatus(int64_t status) { status_.store(status); }
    void setRequestAnswer(int64_t status) { requestAnswer_.store(status); }
    // A status not yet determined becomes the request answer; the handler then gets the status
    // on a background thread.
    void request(std::function<void(int64_t status)> handler);

private:
    std::atomic<int64_t> status_;
    std::atomic<int64_t> requestAnswer_;
};

}  // namespace platform
