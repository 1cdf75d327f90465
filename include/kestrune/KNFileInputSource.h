#pragma once
// Reads a video file into paced samples for the push streamer: NV12 ('420v') video frames and
// 16-bit PCM pieces of at most 1024 frames, each handed over when its presentation time comes
// on one clock anchored at the first sample delivered. The host's delegate passes them on to
// KNStreamer::sendVideoBuffer and sendAudioBuffer.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "kestrune/platform/URL.h"
#include "kestrune/platform/media/AssetReader.h"

class KNAssetsLibrary;
class KNError;
class KNFileInputSource;
namespace platform {
class Asset;
class AssetReaderTrackOutput;
class DispatchQueue;
class SampleBuffer;
}  // namespace platform

// Both operations are optional and arrive on the source's readerQueue. A delegate that keeps a
// buffer past the call keeps its reference.
class KNFileInputSourceDelegate {
public:
    virtual ~KNFileInputSourceDelegate() = default;
    virtual void fileInputSourceDidReadVideoSample(KNFileInputSource* /*source*/,
                                                   const std::shared_ptr<platform::SampleBuffer>& /*sample*/) {}
    virtual void fileInputSourceDidReadAudioSample(KNFileInputSource* /*source*/,
                                                   const std::shared_ptr<platform::SampleBuffer>& /*sample*/) {}
};

class KNFileInputSource : public std::enable_shared_from_this<KNFileInputSource> {
public:
    static std::shared_ptr<KNFileInputSource> create();
    ~KNFileInputSource();
    KNFileInputSource(const KNFileInputSource&) = delete;
    KNFileInputSource& operator=(const KNFileInputSource&) = delete;

    std::shared_ptr<KNFileInputSourceDelegate> delegate() const;
    void setDelegate(std::weak_ptr<KNFileInputSourceDelegate> delegate);
    std::optional<platform::URL> videoURL() const;
    void setVideoURL(std::optional<platform::URL> url);

    // Refusals come only through `error`, code 0: no URL, a reader already started (or still
    // opening), a file that isn't media. Otherwise the reading starts on readerQueue.
    void startReadingWithError(std::shared_ptr<KNError>* error = nullptr);
    // At once, from any thread (also from a delegate call or with a lock the delegate takes): it
    // waits for nothing. No sample is read after it returns; audio pieces already scheduled and a
    // delegate call already under way still arrive.
    void stopReading();

    // The reader of the last start; null after a stop or a refused start. Its status tells
    // whether the file has been read to its end (Completed), or ended early or cut (Failed).
    std::shared_ptr<platform::AssetReader> assetReader() const;
    // The file of the last start, and the reader's outputs of its first video and audio tracks
    // (null without such a track, and after a stop).
    std::shared_ptr<platform::Asset> currentAsset() const;
    std::shared_ptr<platform::AssetReaderTrackOutput> videoAssetTrackOutput() const;
    std::shared_ptr<platform::AssetReaderTrackOutput> audioAssetTrackOutput() const;
    // The video track's nominal rate, truncated; 0 when the file gives none.
    int64_t frameRate() const { return frameRate_.load(); }
    // Every read and every delegate call runs here.
    std::shared_ptr<platform::DispatchQueue> readerQueue() const;
    // Made with the source; the reading doesn't use it.
    std::shared_ptr<KNAssetsLibrary> assetLibrary() const;

    // Plain stores: a reading under way keeps the reader, outputs and queue it started with (a
    // null queue is kept out). The next start sets the reader, outputs, asset and rate anew.
    void setAssetReader(std::shared_ptr<platform::AssetReader> reader);
    void setCurrentAsset(std::shared_ptr<platform::Asset> asset);
    void setVideoAssetTrackOutput(std::shared_ptr<platform::AssetReaderTrackOutput> output);
    void setAudioAssetTrackOutput(std::shared_ptr<platform::AssetReaderTrackOutput> output);
    void setFrameRate(int64_t frameRate) { frameRate_.store(frameRate); }
    void setReaderQueue(std::shared_ptr<platform::DispatchQueue> queue);
    void setAssetLibrary(std::shared_ptr<KNAssetsLibrary> library);

private:
    struct Reading;
    KNFileInputSource();
    void open(const std::shared_ptr<Reading>& reading);
    void videoTurn(const std::shared_ptr<Reading>& reading);
    void audioTurn(const std::shared_ptr<Reading>& reading);
    bool current(const Reading& reading) const;
    std::shared_ptr<platform::DispatchQueue> queue() const;
    void deliver(bool video, const std::shared_ptr<platform::SampleBuffer>& sample);

    std::shared_ptr<platform::DispatchQueue> readerQueue_;
    std::shared_ptr<KNAssetsLibrary> assetLibrary_;
    mutable std::mutex mutex_;
    std::weak_ptr<KNFileInputSourceDelegate> delegate_;
    std::optional<platform::URL> videoURL_;
    std::shared_ptr<platform::AssetReader> assetReader_;
    std::shared_ptr<platform::Asset> currentAsset_;
    std::shared_ptr<platform::AssetReaderTrackOutput> videoAssetTrackOutput_;
    std::shared_ptr<platform::AssetReaderTrackOutput> audioAssetTrackOutput_;
    bool opening_ = false;  // a start is opening the file, without the lock
    // Bumped by every start and stop; a turn of an older reading ends when it sees it.
    std::atomic<uint64_t> generation_{0};
    std::atomic<int64_t> frameRate_{0};
};
