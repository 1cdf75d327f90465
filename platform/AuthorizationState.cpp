#include "platform/AuthorizationState.h"

#include "platform/DispatchQueue.h"

namespace platform {

void AuthorizationState::request(std::function<void(int64_t status)> handler) {
    int64_t expected = 0;
    status_.compare_exchange_strong(expected, requestAnswer_.load());
    const int64_t status = status_.load();
    DispatchQueue::global()->async([handler = std::move(handler), status] {
        if (handler) handler(status);
    });
}

}  // namespace platform
