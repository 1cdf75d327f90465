#pragma once
// Writes passthrough H.264 and AAC samples into an MPEG-4 or M4A file, on libavformat.
//
// The file's header needs the H.264 parameter sets, which come with the first video sample, so it
// is written then; audio that arrives earlier is held (up to kMaxHeldMediaSeconds). An audio track
// takes its decoder configuration from its hint or, failing that, from its first sample; one that
// has none when the header is written is left out of the file (video waits for it up to
// kMaxAudioConfigurationWaitSeconds). The first audio sample's
// TrimDurationAtStart attachment becomes an edit list: the track starts at 0 with the decoder
// priming removed. The file is created without following a link at its name, and closed as soon
// as a write fails. Finishing runs on the writer's own queue and ends in Completed or Failed.
// All operations may be called from any thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/URL.h"
#include "platform/media/AssetWriterInput.h"
#include "platform/media/MediaTime.h"

namespace platform {

class DispatchQueue;

enum class AssetWriterStatus { Unknown, Writing, Completed, Failed, Cancelled };
enum class AssetFileType { MPEG4, AppleM4A };

// Where the file's bytes go when not straight into the file: tests put a failing one here.
class AssetByteSink {
public:
    virtual ~AssetByteSink() = default;
    // False on failure (the writer then fails).
    virtual bool write(const uint8_t* data, size_t sizeBytes) = 0;
    // Absolute position in bytes; false on failure.
    virtual bool seek(int64_t offsetBytes) = 0;
    virtual bool close() = 0;
};

class AssetWriter : public std::enable_shared_from_this<AssetWriter> {
public:
    static constexpr double kMaxHeldMediaSeconds = 10.0;
    // How long video waits for an audio track's configuration before the file goes without it.
    static constexpr double kMaxAudioConfigurationWaitSeconds = 2.0;

    // Null (with a reason in `error` when given) for an empty path, a folder, or a missing parent
    // folder. Nothing is created on disk before startWriting.
    static std::shared_ptr<AssetWriter> create(const std::string& path, AssetFileType fileType,
                                               std::string* error = nullptr,
                                               std::shared_ptr<AssetByteSink> sink = nullptr);
    ~AssetWriter();
    AssetWriter(const AssetWriter&) = delete;
    AssetWriter& operator=(const AssetWriter&) = delete;

    // One input per media type, before startWriting; audio only for M4A.
    bool canAddInput(const AssetWriterInput& input) const;
    void addInput(const std::shared_ptr<AssetWriterInput>& input);

    // Opens the file; false (status Failed) when it can't.
    bool startWriting();
    // The file's time 0: every sample is written at its output time minus this.
    void startSessionAtSourceTime(MediaTime startTime);
    AssetWriterStatus status() const;
    std::string errorText() const;
    std::optional<URL> outputURL() const { return URL::fromFilePath(path_); }
    const std::string& outputPath() const { return path_; }

    // Writes what is held and the file's index, closes the file, then calls `completion` on the
    // writer's queue; status() then tells Completed or Failed. Only while Writing.
    void finishWritingWithCompletionHandler(std::function<void()> completion);

    struct Impl;

private:
    friend class AssetWriterInput;
    AssetWriter(std::string path, AssetFileType fileType, std::shared_ptr<AssetByteSink> sink);

    bool isReadyForInput(size_t index) const;
    bool append(size_t index, const std::shared_ptr<SampleBuffer>& sample);
    bool appendLocked(size_t index, const std::shared_ptr<SampleBuffer>& sample);
    void finishOnQueue();

    const std::string path_;
    const std::shared_ptr<DispatchQueue> queue_;
    mutable std::mutex mutex_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
