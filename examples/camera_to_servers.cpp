// A host program on the public headers only: the camera road from a camera and a microphone
// (synthetic by default) to any number of RTMP or RTMPS servers and, when asked, a local MP4, with
// a progress line each second and a message for every report.
//
//   camera_to_servers [--seconds N] [--size WxH] [--fps N] [--bitrate BPS] [--mp4 FILE]
//                     [--v4l2] [--alsa] URL...
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kestrune/KNError.h"
#include "kestrune/KNInfo.h"
#include "kestrune/KNMainLoop.h"
#include "kestrune/KNRecorder.h"
#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"
#include "kestrune/KNWarning.h"

namespace {

struct Options {
    double seconds = 10;
    int64_t width = 640;
    int64_t height = 360;
    int64_t fps = 30;
    int64_t bitrate = 1500000;
    std::string mp4;
    std::vector<std::string> urls;
};

const char* stateName(int64_t state) {
    switch (state) {
        case KNRecorderStateIdle: return "idle";
        case KNRecorderStateStreaming: return "streaming";
        case KNRecorderStateStarting: return "starting";
        case KNRecorderStateStopping: return "stopping";
    }
    return "unknown";
}

std::string urlOf(const std::shared_ptr<KNStreamSource>& source) {
    const auto info = source ? source->streamInfo() : nullptr;
    return info ? info->customStreamURLString().value_or("?") : "?";
}

// Prints every report and counts what the progress line and the ending need. Reports arrive on
// the library's threads, so every count is atomic or locked.
class Host : public KNRecorderDelegate, public KNStreamSourceDelegate {
public:
    void recorderDidChangeState(KNRecorder&, KNRecorderState state) override {
        std::printf("state: %s\n", stateName(state));
    }
    void recorderDidReceiveInfo(KNRecorder&, const std::shared_ptr<KNInfo>& info) override {
        std::printf("info: %s\n", info->description().c_str());
    }
    void recorderDidReceiveWarning(KNRecorder&, const std::shared_ptr<KNWarning>& warning) override {
        std::printf("warning: %s\n", warning->description().c_str());
    }
    void recorderDidReceiveError(KNRecorder&, const std::shared_ptr<KNError>& error) override {
        std::printf("error: %s\n", error->description().c_str());
        failed = true;
    }
    void recorderDidChangeNetworkStatus(KNRecorder&, int64_t status) override {
        std::printf("network: %s\n", status == 0 ? "not reachable" : status == 1 ? "reachable" : "cellular");
    }
    void recorderDidUpdateBitrate(KNRecorder&, uint64_t kilobytes) override { lastKilobytes = kilobytes; }
    void recorderDidDropRtmpPacket(KNRecorder&) override { ++drops; }
    void recorderDidUpdateStreamTime(KNRecorder&, double seconds) override { streamSeconds = seconds; }
    void recorderDidUpdateRecordTime(KNRecorder&, double seconds) override { recordSeconds = seconds; }

    void streamSourceDidConnect(const std::shared_ptr<KNStreamSource>& source) override {
        std::printf("connected: %s\n", urlOf(source).c_str());
    }
    void streamSourceDidDisconnect(const std::shared_ptr<KNStreamSource>& source) override {
        std::printf("disconnected: %s\n", urlOf(source).c_str());
    }
    void streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>& source) override {
        std::printf("closed: %s\n", urlOf(source).c_str());
        ++settled;
    }
    void streamSourceDidFailConnectingWithError(const std::shared_ptr<KNStreamSource>& source,
                                                const std::shared_ptr<KNError>& error) override {
        std::printf("failed: %s: %s\n", urlOf(source).c_str(), error->description().c_str());
        failed = true;
        ++settled;
    }

    std::atomic<uint64_t> lastKilobytes{0};
    std::atomic<uint64_t> drops{0};
    std::atomic<double> streamSeconds{0};
    std::atomic<double> recordSeconds{0};
    std::atomic<size_t> settled{0};
    std::atomic<bool> failed{false};
};

bool parse(int argc, char** argv, Options& options) {
    // The synthetic camera unless --v4l2: the library never picks it on its own.
    setenv("KESTRUNE_CAPTURE_BACKEND", "synthetic", 0);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue) {
            options.seconds = std::atof(argv[++i]);
        } else if (arg == "--size" && hasValue) {
            if (std::sscanf(argv[++i], "%ldx%ld", &options.width, &options.height) != 2) return false;
        } else if (arg == "--fps" && hasValue) {
            options.fps = std::atol(argv[++i]);
        } else if (arg == "--bitrate" && hasValue) {
            options.bitrate = std::atol(argv[++i]);
        } else if (arg == "--mp4" && hasValue) {
            options.mp4 = argv[++i];
        } else if (arg == "--v4l2") {
            setenv("KESTRUNE_CAPTURE_BACKEND", "v4l2", 1);
        } else if (arg == "--alsa") {
            setenv("KESTRUNE_AUDIO_BACKEND", "alsa", 1);
        } else if (arg.rfind("rtmp://", 0) == 0 || arg.rfind("rtmps://", 0) == 0) {
            options.urls.push_back(arg);
        } else {
            return false;
        }
    }
    return !options.urls.empty() && options.seconds > 0 && options.width > 0 && options.height > 0;
}

std::shared_ptr<KNStreamInfo> destination(const std::string& url) {
    auto info = KNStreamInfo::create();
    info->setCustomStreamURLString(url);
    return info;
}

std::shared_ptr<KNRecorderSettings> settingsFor(const Options& options) {
    auto settings = KNRecorderSettings::recorderSettings();
    settings->setVideoFrameResolution(options.width * options.height);
    settings->setVideoFrameResolutionInverted(false);
    settings->setVideoOrientation(KNVideoOrientationLandscapeLeft);
    settings->setFrameRate(options.fps);
    settings->setVideoBitrate(options.bitrate);
    settings->setExportLocalVideoToAssetLibrary(false);
    return settings;
}

// Moves the finished recording to where the host asked, across file systems if need be.
void keepRecording(const std::filesystem::path& from, const std::string& to) {
    std::error_code error;
    std::filesystem::rename(from, to, error);
    if (!error) return;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
    if (!error) std::filesystem::remove(from, error);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s [--seconds N] [--size WxH] [--fps N] [--bitrate BPS] [--mp4 FILE] [--v4l2] [--alsa] "
                     "rtmp[s]://HOST[:PORT]/APP/STREAM...\n",
                     argv[0]);
        return 2;
    }
    // Reports and completions arrive on this thread, which drives the main loop below.
    KNMainLoop::claimForHost();
    auto host = std::make_shared<Host>();
    auto recorder = KNRecorder::recorderWithStreamInfo(destination(options.urls.front()), settingsFor(options));
    recorder->setRecorderDelegate(host);
    recorder->prepareToRecord();
    for (size_t i = 1; i < options.urls.size(); ++i) recorder->addStreamingSource(destination(options.urls[i]));
    for (const auto& source : recorder->streamSources()) source->setDelegate(host);
    recorder->activateFeatureAdaptiveBitRate();
    if (!options.mp4.empty()) {
        // Local saving is switched on while idle only.
        std::shared_ptr<KNError> error;
        recorder->activateFeatureSaveLocally(&error);
        if (error) std::printf("local recording: %s\n", error->description().c_str());
    }

    std::atomic<bool> started{false};
    std::atomic<bool> answered{false};
    std::atomic<bool> recordingDone{options.mp4.empty()};
    KNMainLoop::async([&] {
        recorder->startStreaming([&](bool success, std::shared_ptr<KNError> error) {
            std::printf("start: %s\n", success ? "streaming" : error->description().c_str());
            started = success;
            answered = true;
        });
        if (options.mp4.empty()) return;
        recorder->startRecording([](bool success, std::shared_ptr<KNError> error) {
            std::printf("local recording: %s\n", success ? "started" : error->description().c_str());
        });
    });
    KNMainLoop::runUntil([&] { return answered.load(); }, std::chrono::seconds(30));

    const auto begin = std::chrono::steady_clock::now();
    const auto end = begin + std::chrono::duration<double>(options.seconds);
    auto nextLine = begin + std::chrono::seconds(1);
    while (started && std::chrono::steady_clock::now() < end) {
        KNMainLoop::runUntil([&] { return std::chrono::steady_clock::now() >= nextLine; }, std::chrono::seconds(2));
        const int64_t abr = recorder->adaptiveVideoBitrate();
        std::printf("%5.1f s  sent %6llu kbit/s  drops %llu  adaptive bitrate %s\n", host->streamSeconds.load(),
                    static_cast<unsigned long long>(host->lastKilobytes.load() * 8),
                    static_cast<unsigned long long>(host->drops.load()),
                    abr > 0 ? (std::to_string(abr / 1000) + " kbit/s").c_str() : "(no estimate yet)");
        std::fflush(stdout);
        nextLine += std::chrono::seconds(1);
    }

    if (!options.mp4.empty()) {
        recorder->stopRecording([&](bool success, std::shared_ptr<KNError> error,
                                    std::optional<std::filesystem::path> file) {
            if (success && file) keepRecording(*file, options.mp4);
            std::printf("local recording: %s\n", success && file ? ("saved to " + options.mp4).c_str()
                                                                : (error ? error->description().c_str() : "no file"));
            if (!success) host->failed = true;
            recordingDone = true;
        });
    }
    recorder->stopStreaming();
    // The last-close report of the destinations as a whole comes before each has flushed: wait for
    // every destination's own close report.
    for (const auto& source : recorder->streamSources()) source->setOn(false);
    const bool finished = KNMainLoop::runUntil(
        [&] { return host->settled.load() >= options.urls.size() && recordingDone.load(); }, std::chrono::seconds(30));
    recorder->endSession();
    if (!finished) std::printf("gave up waiting for the destinations to close\n");
    return started && finished && !host->failed ? 0 : 1;
}
