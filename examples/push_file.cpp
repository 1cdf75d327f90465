// A small host program: a video file read at its own pace by KNFileInputSource, encoded and
// published by KNStreamer to one or more RTMP(S) servers, with a progress line each second.
//
//   push_file [--size WxH] [--bitrate BPS] [--rate HZ] [--channels N] [--save] FILE URL...
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kestrune/KNError.h"
#include "kestrune/KNFileInputSource.h"
#include "kestrune/KNMediaFetcher.h"
#include "kestrune/KNStreamer.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"
#include "kestrune/platform/URL.h"
#include "kestrune/platform/media/AssetReader.h"

// The examples' own: on their include path, beside them.
#include <DestinationHost.h>

namespace {

using namespace std::chrono_literals;

struct Options {
    int width = 1280;
    int height = 720;
    int64_t bitrate = 2500000;
    uint64_t sampleRate = 48000;
    uint64_t channels = 2;
    bool save = false;
    std::string file;
    std::vector<std::string> urls;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--save") {
            o.save = true;
        } else if (arg == "--size" && value) {
            if (std::sscanf(argv[++i], "%dx%d", &o.width, &o.height) != 2) return false;
        } else if (arg == "--bitrate" && value) {
            o.bitrate = std::atoll(argv[++i]);
        } else if (arg == "--rate" && value) {
            o.sampleRate = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--channels" && value) {
            o.channels = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg.rfind("--", 0) == 0) {
            return false;
        } else if (o.file.empty()) {
            o.file = arg;
        } else {
            o.urls.push_back(arg);
        }
    }
    return !o.file.empty() && !o.urls.empty() && o.width > 0 && o.height > 0 && o.width % 2 == 0 &&
           o.height % 2 == 0 && o.bitrate > 0 && o.sampleRate > 0 && o.channels > 0;
}

// Passes the file's samples to the streamer and follows the destinations.
class Host : public example::DestinationHost, public KNFileInputSourceDelegate {
public:
    explicit Host(std::shared_ptr<KNStreamer> streamer) : streamer_(std::move(streamer)) {}

    void fileInputSourceDidReadVideoSample(KNFileInputSource*, const std::shared_ptr<platform::SampleBuffer>& sample) override {
        streamer_->sendVideoBuffer(sample);
        note([&] { ++videoFrames_; });
    }
    void fileInputSourceDidReadAudioSample(KNFileInputSource*, const std::shared_ptr<platform::SampleBuffer>& sample) override {
        streamer_->sendAudioBuffer(sample);
        note([&] { ++audioPieces_; });
    }

    void streamerDidReceiveError(KNStreamer* streamer, const std::shared_ptr<KNError>& error) override {
        DestinationHost::streamerDidReceiveError(streamer, error);
        note([&] { ++errors_; });
    }

    // Waits for the next sample or the time-out; false when nothing came.
    bool waitForSample(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        const uint64_t seen = videoFrames_ + audioPieces_;
        return changed_.wait_for(lock, timeout, [&] { return videoFrames_ + audioPieces_ != seen; });
    }

    uint64_t videoFrames_ = 0;
    uint64_t audioPieces_ = 0;
    int errors_ = 0;

private:
    std::shared_ptr<KNStreamer> streamer_;
};

// The movies of the library where finished recordings go.
std::set<std::string> movies() {
    auto answer = std::make_shared<std::promise<std::set<std::string>>>();
    KNMediaFetcher::create()->getMediaMoviesWithCompletionBlock([answer](auto list, std::shared_ptr<KNError>) {
        std::set<std::string> paths;
        for (const auto& movie : list.value_or(std::vector<std::shared_ptr<KNMovie>>{})) {
            if (movie->url()) paths.insert(movie->url()->filePath().value_or(""));
        }
        answer->set_value(paths);
    });
    auto future = answer->get_future();
    return future.wait_for(10s) == std::future_status::ready ? future.get() : std::set<std::string>{};
}

// The recording is finished and moved after the stop: waits for it to arrive in the library (or
// for a report that it won't) and gives its path, empty when it didn't come.
std::string waitForRecording(Host& host, const std::set<std::string>& before, int errorsBefore) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& path : movies()) {
            if (!before.contains(path)) return path;
        }
        if (host.waitUntil([&](auto&) { return host.errors_ > errorsBefore; }, 250ms)) return "";
    }
    return "";
}

void configure(KNStreamer& streamer, const Options& o) {
    streamer.videoSettings()->setResolutionWithError(KNVideoFrameResolutionCustom);
    streamer.videoSettings()->setVideoFrameSizeWithError({o.width, o.height});
    streamer.videoSettings()->setOutputBitrate(o.bitrate);
    streamer.audioSettings()->setSampleRateWithError(o.sampleRate);
    streamer.audioSettings()->setChannelsNumberWithError(o.channels);
    streamer.settings()->setLocalSaveWithError(o.save);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s [--size WxH] [--bitrate BPS] [--rate HZ] [--channels N] [--save] FILE "
                     "rtmp[s]://host[:port]/app/stream...\n",
                     argv[0]);
        return 2;
    }
    auto streamer = KNStreamer::create();
    auto host = std::make_shared<Host>(streamer);
    streamer->setDelegate(host);
    configure(*streamer, o);

    // Switched on before the start: they announce the stream as the settings describe it.
    std::vector<std::shared_ptr<KNStreamSource>> sources;
    if (!example::connectDestinations(*streamer, host, o.urls, sources)) {
        std::fprintf(stderr, "no destination connected\n");
        return 1;
    }

    const std::set<std::string> moviesBefore = o.save ? movies() : std::set<std::string>{};
    auto file = KNFileInputSource::create();
    file->setDelegate(host);
    file->setVideoURL(platform::URL::fromFilePath(o.file));
    streamer->startStreamingWithCompletion();
    std::shared_ptr<KNError> error;
    file->startReadingWithError(&error);
    if (error) {
        std::fprintf(stderr, "%s: %s\n", o.file.c_str(), error->description().c_str());
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto reading = [&] {
        auto reader = file->assetReader();
        return reader && (reader->status() == platform::AssetReaderStatus::Reading ||
                          reader->status() == platform::AssetReaderStatus::Unknown);
    };
    for (int second = 1; reading() || host->waitForSample(500ms); ++second) {
        host->waitUntil([&](auto&) { return std::chrono::steady_clock::now() >= start + second * 1s; }, 1s);
        std::lock_guard lock(host->mutex_);
        std::printf("%3d s: %llu frames, %llu audio pieces\n", second, static_cast<unsigned long long>(host->videoFrames_),
                    static_cast<unsigned long long>(host->audioPieces_));
        std::fflush(stdout);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int errorsBefore = [&] {
        std::lock_guard lock(host->mutex_);
        return host->errors_;
    }();
    example::closeDestinations(*streamer, *host, sources);
    std::printf("pushed %llu frames in %.1f s to %d destination(s)\n",
                static_cast<unsigned long long>(host->videoFrames_), seconds, host->connected_);
    if (!o.save) return 0;
    const std::string saved = waitForRecording(*host, moviesBefore, errorsBefore);
    if (saved.empty()) {
        std::fprintf(stderr, "the recording did not reach the library\n");
        return 1;
    }
    std::printf("recording: %s\n", saved.c_str());
    return 0;
}
