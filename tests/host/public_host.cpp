// A host program that sees the library through include/kestrune/ only. A test builds it (the
// normal build doesn't), so a public header that needs an internal one to compile or link shows.
#include <cstdio>
#include <memory>

#include "kestrune/KNError.h"
#include "kestrune/KNMainLoop.h"
#include "kestrune/KNRecorder.h"
#include "kestrune/KNRecorderDelegate.h"
#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNStreamInfo.h"

struct Host : KNRecorderDelegate {
    void recorderDidReceiveError(KNRecorder&, const std::shared_ptr<KNError>& error) override {
        std::printf("%s\n", error->description().c_str());
    }
};

int main() {
    KNMainLoop::claimForHost();
    auto host = std::make_shared<Host>();
    auto info = KNStreamInfo::create();
    info->setCustomStreamURLString("rtmp://127.0.0.1/live/host");
    auto recorder = KNRecorder::recorderWithStreamInfo(info, KNRecorderSettings::recorderSettings());
    recorder->setRecorderDelegate(host);
    KNMainLoop::runUntil([] { return true; }, std::chrono::milliseconds(10));
    recorder->endSession();
    return 0;
}
