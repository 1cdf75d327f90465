#include "platform/LogRelay.h"

#include <memory>
#include <mutex>

namespace platform {

namespace {

struct Relay {
    std::mutex mutex;
    std::shared_ptr<const LogRelay::Sink> sink;
};

Relay& relayState() {
    static Relay* relay = new Relay();  // codec threads may still write while the process exits
    return *relay;
}

}  // namespace

void LogRelay::setSink(Sink sink) {
    auto made = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
    auto& relay = relayState();
    std::lock_guard lock(relay.mutex);
    relay.sink = std::move(made);
}

void LogRelay::relay(Level level, const std::string& line) {
    std::shared_ptr<const Sink> sink;
    {
        auto& relay = relayState();
        std::lock_guard lock(relay.mutex);
        sink = relay.sink;
    }
    if (sink) (*sink)(level, line);
}

}  // namespace platform
