#pragma once
// A playable media file, named by its URL: what the photo library hands out and what a file source
// reads. Readers open it.
#include <memory>

#include "kestrune/platform/URL.h"

namespace platform {

class Asset {
public:
    static std::shared_ptr<Asset> createWithURL(URL url) { return std::shared_ptr<Asset>(new Asset(std::move(url))); }
    const URL& url() const { return url_; }

private:
    explicit Asset(URL url) : url_(std::move(url)) {}
    const URL url_;
};

// How an asset's audio tracks are mixed; the photo library hands out none.
class AudioMix;

}  // namespace platform
