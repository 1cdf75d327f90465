#pragma once
// A streamer delegate noting its state changes and errors, from any thread; a recording rig that
// feeds a streamer a moving picture and a tone, paced as a live source, into the photo library.
#include <cmath>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "encoding/KNAACEncoder2.h"
#include "encoding/KNH264Encoder.h"
#include "encoding/KNLocalSaver.h"
#include "kestrune/KNError.h"
#include "kestrune/KNStreamer.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"
#include "platform/RunLoop.h"
#include "platform/media/BlockBuffer.h"
#include "platform/media/FormatDescription.h"
#include "support/ScopedEnv.h"
#include "support/TestServer.h"
#include "support/VideoTestMedia.h"
#include "transport/KNStreamSourcesManager.h"

namespace kntest {

// The streamer's components as the library's own types, which the tests drive further than a host.
inline std::shared_ptr<KNH264Encoder> videoEncoderOf(const KNStreamer& streamer) {
    return std::dynamic_pointer_cast<KNH264Encoder>(streamer.videoEncoder());
}
inline std::shared_ptr<KNAACEncoder2> audioEncoderOf(const KNStreamer& streamer) {
    return std::dynamic_pointer_cast<KNAACEncoder2>(streamer.audioEncoder());
}
inline std::shared_ptr<KNStreamSourcesManager> streamSourcesOf(const KNStreamer& streamer) {
    return std::dynamic_pointer_cast<KNStreamSourcesManager>(streamer.streamSources());
}
inline std::shared_ptr<KNLocalSaver> localSaverOf(const KNStreamer& streamer) {
    return std::dynamic_pointer_cast<KNLocalSaver>(streamer.localSaver());
}

class StreamerReports : public KNStreamerDelegate {
public:
    void streamerDidChangeState(KNStreamer*, KNStreamerState state) override {
        std::lock_guard lock(mutex_);
        states_.push_back(state);
    }
    void streamerDidReceiveError(KNStreamer*, const std::shared_ptr<KNError>& error) override {
        std::lock_guard lock(mutex_);
        errors_.push_back(error->description());
    }
    std::vector<int64_t> states() {
        std::lock_guard lock(mutex_);
        return states_;
    }
    std::vector<std::string> errors() {
        std::lock_guard lock(mutex_);
        return errors_;
    }

private:
    std::mutex mutex_;
    std::vector<int64_t> states_;
    std::vector<std::string> errors_;
};

// A streamer recording 320x240 into its own Documents and photo-library folders.
struct StreamerRecordingRig {
    static constexpr int kFps = 30;
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 240;
    static constexpr int64_t kSampleRate = 48000;

    StreamerRecordingRig()
        : documents(std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("streamer-documents")),
          photos(std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("streamer-photos")),
          documentsEnv("KESTRUNE_DOCUMENTS", documents),
          photosEnv("KESTRUNE_PHOTO_LIBRARY", photos) {
        streamer->setDelegate(reports);
        streamer->videoSettings()->setResolutionWithError(0);
        streamer->videoSettings()->setVideoFrameSizeWithError(KNVideoFrameSizeMake(kWidth, kHeight));
        streamer->settings()->setLocalSaveWithError(true);
    }

    // `frames` pictures at their pace, each with its 1/30 s of tone when `audio`.
    void feed(int frames, bool audio = true) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < frames; ++i) {
            const auto due = start + std::chrono::milliseconds(i * 1000 / kFps);
            platform::RunLoop::main().runUntil([&] { return std::chrono::steady_clock::now() >= due; }, std::chrono::seconds(1));
            if (audio) streamer->sendAudioBuffer(tone(kSampleRate / kFps));
            streamer->sendVideoBuffer(videoSample(makePatternFrame(kWidth, kHeight, fed), platform::MediaTime::make(fed, kFps)));
            ++fed;
        }
    }

    std::shared_ptr<platform::SampleBuffer> tone(int64_t frames) {
        std::vector<uint8_t> pcm(static_cast<size_t>(frames) * 2);
        for (int64_t i = 0; i < frames; ++i) {
            const auto sample = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * static_cast<double>(audioFed + i) / kSampleRate));
            pcm[2 * i] = static_cast<uint8_t>(sample & 0xFF);
            pcm[2 * i + 1] = static_cast<uint8_t>((sample >> 8) & 0xFF);
        }
        auto format = platform::FormatDescription::createAudio(platform::AudioStreamDescription::pcmInt16(kSampleRate, 1));
        auto buffer = platform::SampleBuffer::createAudioPCM(platform::BlockBuffer::createWithBytes(std::move(pcm)), format,
                                                             frames, platform::MediaTime::make(audioFed, kSampleRate));
        audioFed += frames;
        return buffer;
    }

    // The recording once it is in the photo library and readable; empty after the timeout.
    std::string waitForFile(std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        namespace fs = std::filesystem;
        std::string file;
        waitFor(
            [&] {
                std::error_code ec;
                for (const auto& entry : fs::directory_iterator(photos, ec)) {
                    const auto probe = runCommand({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                                                   "csv=p=0", entry.path().string()});
                    if (entry.path().extension() == ".mp4" && probe.exitCode == 0 && !probe.output.empty())
                        file = entry.path().string();
                }
                return !file.empty();
            },
            timeout);
        return file;
    }

    std::string documents;
    std::string photos;
    ScopedEnv documentsEnv;
    ScopedEnv photosEnv;
    std::shared_ptr<KNStreamer> streamer = KNStreamer::create();
    std::shared_ptr<StreamerReports> reports = std::make_shared<StreamerReports>();
    int fed = 0;
    int64_t audioFed = 0;
};

}  // namespace kntest
