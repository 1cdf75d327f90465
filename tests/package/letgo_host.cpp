// Hosts that let go of the camera recorder in the ways hosts do, built against the installed
// package only. Each must exit with status 0, without the host ever calling endSession().
//
//   letgo_host prepare               returns right after prepareToRecord()
//   letgo_host drop URL RECORD       streams, drops the recorder, waits for the server to close RECORD
//   letgo_host static URL            streams from a recorder held in a global, returns while streaming
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "kestrune/KNError.h"
#include "kestrune/KNRecorder.h"
#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNStreamInfo.h"

namespace {

std::shared_ptr<KNRecorder> heldUntilExit;

std::shared_ptr<KNRecorder> makeRecorder(const std::string& url) {
    auto info = KNStreamInfo::create();
    info->setCustomStreamURLString(url);
    auto settings = KNRecorderSettings::recorderSettings();
    settings->setVideoFrameResolution(KNVideoFrameResolution640x480);
    return KNRecorder::recorderWithStreamInfo(info, settings);
}

bool holds(const std::function<bool()>& condition, std::chrono::seconds within) {
    const auto until = std::chrono::steady_clock::now() + within;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Starts streaming and waits for the first connection; false when it never comes.
bool startStreaming(KNRecorder& recorder) {
    auto result = std::make_shared<std::atomic<int>>(-1);
    recorder.startStreaming([result](bool success, std::shared_ptr<KNError> error) {
        if (error) std::fprintf(stderr, "start: %s\n", error->description().c_str());
        *result = success ? 1 : 0;
    });
    return holds([&] { return *result >= 0; }, std::chrono::seconds(20)) && *result == 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "prepare") {
        auto recorder = makeRecorder("rtmp://127.0.0.1:1/live/never");
        recorder->prepareToRecord();
        return 0;
    }
    if (mode == "drop" && argc == 4) {
        auto recorder = makeRecorder(argv[2]);
        recorder->prepareToRecord();
        if (!startStreaming(*recorder)) return 2;
        const std::filesystem::path record = argv[3];
        // The server is recording the stream.
        const auto recording = [&] {
            std::error_code error;
            const auto size = std::filesystem::file_size(record, error);
            return !error && size > 16384;
        };
        if (!holds(recording, std::chrono::seconds(15))) return 3;
        recorder.reset();
        if (!holds([&] { return std::filesystem::exists(record.string() + ".done"); }, std::chrono::seconds(15))) {
            std::fprintf(stderr, "the stream went on after the host let go of its recorder\n");
            return 4;
        }
        return 0;
    }
    if (mode == "static" && argc == 3) {
        heldUntilExit = makeRecorder(argv[2]);
        heldUntilExit->prepareToRecord();
        if (!startStreaming(*heldUntilExit)) return 2;
        return 0;
    }
    std::fprintf(stderr, "usage: letgo_host prepare | drop URL RECORD | static URL\n");
    return 64;
}
