// A host program that sees the library through include/kestrune/ only. A test builds it (the
// normal build doesn't), so a public header that needs an internal one to compile or link shows.
#include <cstdio>
#include <memory>

#include "kestrune/KNAssetsLibrary.h"
#include "kestrune/KNCaptureVideoView.h"
#include "kestrune/KNDebug.h"
#include "kestrune/KNError.h"
#include "kestrune/KNInfo.h"
#include "kestrune/KNKestruneSDK.h"
#include "kestrune/KNLogSettings.h"
#include "kestrune/KNMainLoop.h"
#include "kestrune/KNRecorder.h"
#include "kestrune/KNRecorderDelegate.h"
#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNRecordingUtils.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"
#include "kestrune/KNWarning.h"

namespace {

struct Host : KNRecorderDelegate, KNStreamSourceDelegate {
    void recorderDidReceiveError(KNRecorder&, const std::shared_ptr<KNError>& error) override {
        std::printf("%s\n", error->description().c_str());
    }
    void recorderDidUpdateStreamTime(KNRecorder&, double seconds) override { std::printf("%.1f s\n", seconds); }
    void streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>&) override {}
};

}  // namespace

int main() {
    KNMainLoop::claimForHost();
    KNKestruneSDK::sharedInstance()->setupSDKWithCompletion();
    auto host = std::make_shared<Host>();
    auto info = KNStreamInfo::create();
    info->setCustomStreamURLString("rtmp://127.0.0.1/live/host");
    auto settings = KNRecorderSettings::recorderSettings();
    auto recorder = KNRecorder::recorderWithStreamInfo(info, settings);
    recorder->setRecorderDelegate(host);
    std::printf("%s%s", KNDebug::debug()->stringFromRecorderSettings(settings).c_str(),
                KNDebug::debug()->stringFromStreamInfo(info).c_str());
    std::printf("camera access %d, zoom %.1f, assets %ld\n", recorder->hasCameraAccess(), recorder->getZoom(),
                static_cast<long>(KNAssetsLibrary::authorizationStatus()));
    KNMainLoop::runUntil([] { return true; }, std::chrono::milliseconds(10));
    recorder->endSession();
    return 0;
}
