#include <gtest/gtest.h>

#include <deque>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/KNArrayQueue.h"
#include "core/KNReportCodeTables.h"
#include "kestrune/KNError.h"
#include "kestrune/KNInfo.h"
#include "kestrune/KNKestruneSDK.h"
#include "kestrune/KNTypes.h"
#include "kestrune/KNWarning.h"
#include "platform/NotificationCenter.h"

namespace {

using Names = std::map<int64_t, std::string>;

TEST(KNTypes, TextsAreWholeTablesAndFrameSizesSaturate) {
    const Names resolutions{{0, "Custom Resolution"}, {27648, "192 x 144"}, {76800, "240p (320 x 240)"},
        {101376, "288p (352 x 288)"}, {102240, "240p-wide (426 x 240)"}, {172800, "360p (480 x 360)"},
        {230400, "360p-wide (640 x 360)"}, {307200, "480p (640 x 480)"}, {409920, "480p (854 x 480)"},
        {518400, "960 x 540"}, {921600, "720p (1280 x 720)"}, {2073600, "1080p (1920 x 1080)"},
        {3686400, "1440p (2560 x 1440)"}};
    EXPECT_EQ(resolutionNamesDictionary(), resolutions);
    const std::pair<std::string (*)(int64_t), Names> enumerations[] = {
        {KNVideoFrameResolutionAsString, resolutions},
        {KNVideoOrientationAsString, {{0, "PT Orientation"}, {1, "PT Upside-down Orientation"},
            {2, "LS Right Orientation"}, {3, "LS Left Orientation"}, {4, "PT & LS - autorotate"}}},
        {KNCameraAsString, {{0, "Back Camera"}, {1, "Front Camera"}}},
        {KNRecordingModeAsString, {{0, "Audio & Video"}, {1, "Audio Only"}, {2, "Video Only"}}},
        {KNTorchModeAsString, {{0, "Torch OFF"}, {1, "Torch ON"}, {2, "Torch AUTO"}}}};
    const int64_t outside[] = {-1, 5, 8294400, INT64_MIN, INT64_MAX};
    for (const auto& [text, names] : enumerations) {
        for (const auto& [value, name] : names) EXPECT_EQ(text(value), name) << value;
        for (int64_t value : outside) EXPECT_EQ(text(value), "Unknown") << value;
    }
    EXPECT_EQ(KNAudioSampleRateAsString(INT64_MIN) + KNFrameRateAsString(-5), "-9223372036854775808 Hz-5fps");

    // Float sizes truncate and saturate; NaN gives 0.
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::pair<platform::Size, KNVideoFrameSize> cases[] = {
        {{1279.9, -0.5}, {1279, 0}}, {{nan, nan}, {0, 0}}, {{inf, -inf}, {INT64_MAX, INT64_MIN}},
        {{9223372036854775808.0, -1e300}, {INT64_MAX, INT64_MIN}},
        {{9223372036854774784.0, 0}, {9223372036854774784LL, 0}}};
    for (const auto& [size, expected] : cases) EXPECT_EQ(KNVideoFrameSizeWithCGSize(size), expected) << size.width;
}

template <class R>
void checkReportKind(std::shared_ptr<R> (*make)(std::vector<int64_t>, std::optional<std::string>),
                     void (R::*setCodes)(std::vector<int64_t>), const std::string& (R::*text)() const,
                     std::string (R::*currentText)() const, const std::string& g) {
    EXPECT_EQ(make({}, std::nullopt)->description(), "(null) -> [" + g + "]");
    EXPECT_EQ(((*make({0, -1, 30003}, "m")).*text)(), "[" + g + ", Unknown, " + g + "]");
    auto report = make({-1}, "m");
    ((*report).*setCodes)({0});
    EXPECT_EQ(report->description(), "m -> [Unknown]");  // the stored text keeps the first codes
    EXPECT_EQ(((*report).*currentText)(), "[" + g + "]");
}

TEST(ReportObjects, TablesAreWholeAndMissingCodesReadGeneric) {
    checkReportKind(&KNError::errorWithCodesMessage, &KNError::setErrorCodes, &KNError::errors,
                    &KNError::errorCodesString, "GenericError");
    checkReportKind(&KNWarning::warningWithCodesMessage, &KNWarning::setWarningCodes, &KNWarning::warnings,
                    &KNWarning::warningCodesString, "GenericWarning");
    checkReportKind(&KNInfo::infoWithCodesMessage, &KNInfo::setInfoCodes, &KNInfo::infos, &KNInfo::infoCodesString,
                    "GenericInfo");
    const Names errors{{-1, "Unknown"}, {0, "GenericError"}, {1001, "NeedsAccessToMicrophone"},
        {1002, "NeedsAccessToCamera"}, {2001, "CameraNotPresent"}, {2002, "CameraUnavailable"},
        {3001, "TorchModeNotSupported"}, {3002, "TorchModeNotAvailable"}, {3003, "TorchLevelNotAvailable"},
        {4001, "KeyFrameIntervalLocked"}, {5001, "BitrateCannotChange"}, {5002, "AudioSampleRateIsLocked"},
        {6001, "ResolutionIsLocked"}, {6002, "ResolutionNotSupported"}, {10001, "CaptureSessionError"},
        {11001, "StreamingError"}, {11002, "StreamerNotReady"}, {11003, "LostServerConnection"},
        {11004, "NoInternetConnection"}, {11005, "StreamingAlreadyRunning"}, {60001, "AudioEncodingFailure"},
        {70001, "VideoEncodingFailure"}, {80001, "RTMPConnectionFailure"}, {90001, "LocalSaveFailure"},
        {100001, "PostToPhotosFailure"}};
    EXPECT_EQ(KNErrorCodeTable().names, errors);
    EXPECT_EQ(KNWarningCodeTable().names, (Names{{-1, "Unknown"}, {0, "GenericWarning"}}));
    EXPECT_EQ(KNInfoCodeTable().names, (Names{{-1, "Unknown"}, {0, "GenericInfo"}, {1003, "StreamerIsReady"},
        {1001, "CaptureSessionDidStartRunning"}, {1002, "CaptureSessionDidStopRunning"}}));
    for (const auto& [code, name] : errors) EXPECT_EQ(KNErrorCodeAsString(code), name);
    EXPECT_EQ(KNInfoCodeAsString(1003) + KNWarningCodeAsString(3001), "StreamerIsReadyGenericWarning");
}

TEST(ArrayQueueDeathTest, ReadingAnEmptyArrayStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::deque<int> empty;
    EXPECT_DEATH(kn_front(empty), "kn_front: .*empty array");
    EXPECT_DEATH(kn_back(empty), "kn_back: .*empty array");
    EXPECT_DEATH(kn_popBack(empty), "kn_popBack: .*empty array");
    EXPECT_DEATH(kn_popFront(empty), "kn_popFront: .*empty array");
}

TEST(KNKestruneSDK, SetupCompletesBeforeItNotifiesOnTheCallersThread) {
    auto sdk = KNKestruneSDK::sharedInstance();
    std::string steps;
    std::thread::id caller;
    auto step = [&](const std::string& name) { steps += name + (std::this_thread::get_id() == caller ? " " : "! "); };
    auto& center = platform::NotificationCenter::defaultCenter();
    const auto token = center.addObserver(kKNKestruneDidLoadConfigNotification, nullptr, [&](const auto& note) {
        step(note.object == std::static_pointer_cast<void>(sdk) ? "notification" : "foreign");
    });
    std::thread host([&] {
        caller = std::this_thread::get_id();
        sdk->setupSDKWithURLWithCompletion("rtmp://127.0.0.1/live", [&](bool success, std::shared_ptr<KNError> error) {
            step(success && !error && sdk->didLoadConfig() ? "completion" : "failure");
        });
    });
    host.join();
    center.removeObserver(token);
    EXPECT_EQ(steps, "completion notification ");
    EXPECT_EQ(KNKestruneSDK::create(), sdk);
}

}  // namespace
