#pragma once
// Reads the first video and the first audio track of a media file as decoded samples: video as
// NV12 video-range images ('420v'), audio as 16-bit interleaved PCM at the file's own rate and
// channel count. Each track is pulled on its own; the file is demuxed on demand, and packets of
// the other track wait in a bounded queue. Every call may come from any thread.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "kestrune/platform/media/SampleBuffer.h"

namespace platform {

enum class AssetReaderStatus { Unknown, Reading, Completed, Failed, Cancelled };
enum class AssetTrack { Video, Audio };

class AssetReader {
public:
    // Packet bytes held for the track nobody is pulling before the reader gives up.
    static constexpr size_t kDefaultMaxQueuedBytes = 64u << 20;

    // Null when the file can't be opened as media (the reason in `error` when given).
    static std::shared_ptr<AssetReader> create(const std::string& path, std::string* error = nullptr);
    ~AssetReader();
    AssetReader(const AssetReader&) = delete;
    AssetReader& operator=(const AssetReader&) = delete;

    bool hasTrack(AssetTrack track) const;
    // Frames per second: the average rate, else the base rate, else 0.
    double nominalFrameRate() const;
    void setMaxQueuedBytes(size_t bytes);

    // Opens the decoders. False (and Failed) when a track's decoder can't be opened.
    bool startReading();
    AssetReaderStatus status() const { return status_.load(); }
    void cancelReading();
    // The track's next sample; null at its end, on failure or once cancelled. Completed comes
    // once every track has reached its end.
    std::shared_ptr<SampleBuffer> copyNextSampleBuffer(AssetTrack track);

    struct Impl;

private:
    explicit AssetReader(std::unique_ptr<Impl> impl);
    void fail();

    std::mutex mutex_;  // guards impl_'s demuxer, decoders and queues
    std::unique_ptr<Impl> impl_;
    std::atomic<AssetReaderStatus> status_{AssetReaderStatus::Unknown};
};

}  // namespace platform
