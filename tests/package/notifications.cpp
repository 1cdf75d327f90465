// A host on the installed package alone that hears, through the public notification centre, the
// microphone that can't be made and the focus lock of a long press on the preview.
#include <any>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <vector>

#include "kestrune/KNRecorder.h"
#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNTapToFocus.h"
#include "kestrune/KNTypes.h"
#include "kestrune/platform/NotificationCenter.h"
#include "kestrune/platform/ui/View.h"

namespace {

struct Heard {
    bool wait(const std::function<bool()>& done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), done);
    }
    void note(const std::function<void()>& change) {
        std::lock_guard lock(mutex);
        change();
        changed.notify_all();
    }
    std::mutex mutex;
    std::condition_variable changed;
    int microphoneFailures = 0;
    std::vector<bool> locks;
};

}  // namespace

int main() {
    setenv("KESTRUNE_CAPTURE_BACKEND", "synthetic", 1);
    setenv("KESTRUNE_AUDIO_BACKEND", "alsa", 1);
    setenv("KESTRUNE_ALSA_DEVICE", "kestrune_no_such_capture_device", 1);
    Heard heard;
    auto& center = platform::NotificationCenter::defaultCenter();
    const auto failure = center.addObserver(LFAudioComponentFailedToCreateNotification, nullptr,
                                            [&](const platform::Notification&) {
                                                heard.note([&] { ++heard.microphoneFailures; });
                                            });
    const auto lock = center.addObserver(RTAutoExposer_AutoFocusLockNotification, nullptr,
                                         [&](const platform::Notification& n) {
                                             const bool locked = std::any_cast<bool>(n.userInfo.at(RTAutoExposer_AutoFocusLockKey));
                                             heard.note([&] { heard.locks.push_back(locked); });
                                         });

    auto info = KNStreamInfo::create();
    info->setCustomStreamURLString("rtmp://127.0.0.1/live/host");
    auto recorder = KNRecorder::recorderWithStreamInfo(info, KNRecorderSettings::recorderSettings());
    auto hostView = platform::View::createWithFrame({{0, 0}, {360, 640}});
    recorder->setupWithView(hostView);
    recorder->prepareToRecord();
    recorder->activateFeatureTapToFocus();
    int status = 0;
    if (!heard.wait([&] { return heard.microphoneFailures > 0; })) {
        std::fprintf(stderr, "the microphone's failure was not heard\n");
        status = 1;
    }
    if (hostView->subviews().empty() || !recorder->currentCamera()) {
        std::fprintf(stderr, "no preview or no camera\n");
        status = 1;
    } else {
        const auto preview = hostView->subviews().front();
        preview->touchBegan({180, 320});
        if (!heard.wait([&] { return !heard.locks.empty(); }) || !heard.locks.front()) {
            std::fprintf(stderr, "the long press's lock was not heard\n");
            status = 1;
        }
        preview->touchEnded({180, 320});
        std::printf("kestrune notifications host: camera %s\n", recorder->currentCamera()->localizedName().c_str());
    }
    recorder->endSession();
    center.removeObserver(failure);
    center.removeObserver(lock);
    return status;
}
