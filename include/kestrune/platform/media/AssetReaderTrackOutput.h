#pragma once
// One track of an asset reader as its own output: the track's decoded samples, pulled one at a
// time (see AssetReader::copyNextSampleBuffer). May be called from any thread.
#include <atomic>
#include <memory>

#include "kestrune/platform/media/AssetReader.h"
#include "kestrune/platform/media/SampleBuffer.h"

namespace platform {

class AssetReaderTrackOutput {
public:
    // Null when the reader has no such track.
    static std::shared_ptr<AssetReaderTrackOutput> create(std::shared_ptr<AssetReader> reader, AssetTrack track) {
        if (!reader || !reader->hasTrack(track)) return nullptr;
        return std::shared_ptr<AssetReaderTrackOutput>(new AssetReaderTrackOutput(std::move(reader), track));
    }

    AssetTrack track() const { return track_; }
    const std::shared_ptr<AssetReader>& reader() const { return reader_; }
    // Every sample handed out is the caller's own either way; the flag is kept for the caller.
    bool alwaysCopiesSampleData() const { return alwaysCopies_.load(); }
    void setAlwaysCopiesSampleData(bool copies) { alwaysCopies_.store(copies); }

    // Null at the track's end, on failure or once the reading was cancelled.
    std::shared_ptr<SampleBuffer> copyNextSampleBuffer() { return reader_->copyNextSampleBuffer(track_); }

private:
    AssetReaderTrackOutput(std::shared_ptr<AssetReader> reader, AssetTrack track)
        : reader_(std::move(reader)), track_(track) {}

    const std::shared_ptr<AssetReader> reader_;
    const AssetTrack track_;
    std::atomic<bool> alwaysCopies_{true};
};

}  // namespace platform
