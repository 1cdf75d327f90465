#pragma once
// What a host may do with the push streamer's set of destinations. Only the library's sources
// manager implements it; destinations are added and removed through the streamer.
#include <cstdint>
#include <memory>
#include <vector>

class KNStreamSource;
class KNStreamSourcesManager;

class KNStreamSourcesControls {
public:
    using Sources = std::vector<std::shared_ptr<KNStreamSource>>;

    virtual ~KNStreamSourcesControls() = default;
    KNStreamSourcesControls(const KNStreamSourcesControls&) = delete;
    KNStreamSourcesControls& operator=(const KNStreamSourcesControls&) = delete;

    virtual Sources streamSources() const = 0;
    virtual Sources connectedStreamSources() const = 0;
    virtual bool adaptiveBitRateOn() const = 0;
    virtual void setAdaptiveBitRateOn(bool on) = 0;
    // Seconds; 0 leaves the connect time-out at its default.
    virtual uint64_t rtmpTimeout() const = 0;
    virtual void setRtmpTimeout(uint64_t timeoutSeconds) = 0;
    virtual void establishConnectionToAllSources() = 0;
    virtual void closeConnectionOnAllSources() = 0;

private:
    friend class KNStreamSourcesManager;
    KNStreamSourcesControls() = default;
};
