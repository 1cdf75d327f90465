#pragma once
// A file source delegate that notes every sample with the host time it came at.
#include <mutex>
#include <vector>

#include "kestrune/KNFileInputSource.h"
#include "platform/HostClock.h"
#include "platform/media/SampleBuffer.h"

namespace kntest {

struct Delivery {
    bool video = false;
    double hostSeconds = 0;
    double mediaSeconds = 0;
    int64_t frames = 0;  // audio frames, or 1 for a picture
};

class DeliveryLog : public KNFileInputSourceDelegate {
public:
    void fileInputSourceDidReadVideoSample(KNFileInputSource*, const std::shared_ptr<platform::SampleBuffer>& s) override {
        add(true, s);
    }
    void fileInputSourceDidReadAudioSample(KNFileInputSource*, const std::shared_ptr<platform::SampleBuffer>& s) override {
        add(false, s);
    }
    std::vector<Delivery> all() const {
        std::lock_guard lock(mutex_);
        return deliveries_;
    }
    size_t count(bool video) const {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const auto& d : deliveries_) n += d.video == video ? 1 : 0;
        return n;
    }

private:
    void add(bool video, const std::shared_ptr<platform::SampleBuffer>& s) {
        const Delivery d{video, platform::HostClock::now(), s->presentationTimeStamp().seconds(), s->numSamples()};
        std::lock_guard lock(mutex_);
        deliveries_.push_back(d);
    }
    mutable std::mutex mutex_;
    std::vector<Delivery> deliveries_;
};

// A source reading `path` for `log`.
inline std::shared_ptr<KNFileInputSource> sourceFor(const std::string& path, const std::shared_ptr<KNFileInputSourceDelegate>& log) {
    auto source = KNFileInputSource::create();
    source->setDelegate(log);
    source->setVideoURL(platform::URL::fromFilePath(path));
    return source;
}

inline bool readToEnd(const KNFileInputSource& source) {
    auto reader = source.assetReader();
    return reader && reader->status() == platform::AssetReaderStatus::Completed;
}

}  // namespace kntest
