// Texts, code tables, frame sizes, platform numbers; queue helpers, versions and the SDK's set-up order.
#include <gtest/gtest.h>

#include <deque>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/KNArrayQueue.h"
#include "core/KNConverter.h"
#include "core/KNReportCodeTables.h"
#include "core/KNVersionsHelper.h"
#include "kestrune/KNError.h"
#include "kestrune/KNInfo.h"
#include "kestrune/KNKestruneSDK.h"
#include "kestrune/KNSDKVersion.h"
#include "kestrune/KNTypes.h"
#include "kestrune/KNWarning.h"
#include "platform/MachineModel.h"
#include "platform/NotificationCenter.h"

namespace {

using Names = std::map<int64_t, std::string>;

TEST(KNTypes, ResolutionAndEnumerationTextsAreTheDocumentedTables) {
    const Names resolutions{{0, "Custom Resolution"}, {27648, "192 x 144"}, {76800, "240p (320 x 240)"},
        {101376, "288p (352 x 288)"}, {102240, "240p-wide (426 x 240)"}, {172800, "360p (480 x 360)"},
        {230400, "360p-wide (640 x 360)"}, {307200, "480p (640 x 480)"}, {409920, "480p (854 x 480)"},
        {518400, "960 x 540"}, {921600, "720p (1280 x 720)"}, {2073600, "1080p (1920 x 1080)"},
        {3686400, "1440p (2560 x 1440)"}};
    EXPECT_EQ(resolutionNamesDictionary(), resolutions);
    std::vector<int64_t> keys;
    for (const auto& [resolution, name] : resolutions) keys.push_back(resolution);
    EXPECT_EQ(KNAllResolutions(), keys);

    const std::pair<std::string (*)(int64_t), Names> enumerations[] = {
        {KNVideoFrameResolutionAsString, resolutions},
        {KNVideoOrientationAsString, {{0, "PT Orientation"}, {1, "PT Upside-down Orientation"},
            {2, "LS Right Orientation"}, {3, "LS Left Orientation"}, {4, "PT & LS - autorotate"}}},
        {KNCameraAsString, {{0, "Back Camera"}, {1, "Front Camera"}}},
        {KNRecordingModeAsString, {{0, "Audio & Video"}, {1, "Audio Only"}, {2, "Video Only"}}},
        {KNTorchModeAsString, {{0, "Torch OFF"}, {1, "Torch ON"}, {2, "Torch AUTO"}}}};
    // Resolutions with video parameters but no display name among them.
    const int64_t outside[] = {-1, 3, 5, 8294400, 30965760, 36864, INT64_MIN, INT64_MAX};
    for (const auto& [text, names] : enumerations) {
        for (const auto& [value, name] : names) EXPECT_EQ(text(value), name) << value;
        for (int64_t value : outside) EXPECT_EQ(text(value), names.count(value) ? names.at(value) : "Unknown") << value;
    }
    EXPECT_EQ(KNAudioSampleRateAsString(INT64_MIN), "-9223372036854775808 Hz");
    EXPECT_EQ(KNFrameRateAsString(-5), "-5fps");
}

TEST(KNTypes, FrameSizeConversionsTruncateAndSaturate) {
    EXPECT_EQ(KNVideoFrameSizeRotated(KNVideoFrameSizeMake(1280, 720)), (KNVideoFrameSize{720, 1280}));
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::pair<platform::Size, KNVideoFrameSize> cases[] = {
        {{1279.9, 719.5}, {1279, 719}}, {{-1.5, -0.5}, {-1, 0}}, {{nan, nan}, {0, 0}},
        {{inf, -inf}, {INT64_MAX, INT64_MIN}}, {{1e300, -1e300}, {INT64_MAX, INT64_MIN}},
        {{9223372036854775808.0, -9223372036854775808.0}, {INT64_MAX, INT64_MIN}},
        {{9223372036854774784.0, 0}, {9223372036854774784LL, 0}},  // the largest double below 2^63
    };
    for (const auto& [size, expected] : cases) EXPECT_EQ(KNVideoFrameSizeWithCGSize(size), expected) << size.width;
    EXPECT_EQ(CGSizeWithKNVideoFrameSize({-3, 7}), (platform::Size{-3.0, 7.0}));
}

TEST(KNConverter, EveryValueMapsOntoThePlatformNumbers) {
    auto c = KNConverter::converter();
    // value; capture and video orientation of it as interface orientation; interface and image
    // orientation of it as video orientation; device position of it as camera; platform torch mode.
    const int64_t rows[][7] = {
        {-1, 1, 0, 1, 0, 0, 0}, {0, 1, 0, 1, 0, 1, 0}, {1, 1, 0, 2, 1, 2, 1}, {2, 2, 1, 3, 3, 0, 2},
        {3, 3, 2, 4, 2, 0, 0},  {4, 4, 3, 1, 0, 0, 0}, {5, 1, 0, 1, 0, 0, 0}, {7, 1, 0, 1, 0, 0, 0}};
    for (const auto& r : rows) {
        const int64_t v = r[0];
        EXPECT_EQ((std::vector<int64_t>{v, c->captureVideoOrientationFromInterfaceOrientation(v),
                                        c->videoOrientationForInterfaceOrientation(v),
                                        c->interfaceOrientationForVideoOrientation(v),
                                        c->imageOrientationForVideoOrientation(v), c->captureDevicePositionForCamera(v),
                                        c->captureTorchModeForTorchMode(v)}), std::vector<int64_t>(r, r + 7));
    }
}

// The three report kinds behave alike; each goes through the same steps.
template <class R>
void checkReportKind(std::shared_ptr<R> (*make)(std::vector<int64_t>, std::optional<std::string>),
                     const std::vector<int64_t>& (R::*codes)() const, void (R::*setCodes)(std::vector<int64_t>),
                     const std::string& (R::*text)() const, bool (R::*contains)(int64_t) const,
                     std::string (R::*currentText)() const, const std::string& g) {
    auto empty = make({}, std::nullopt);
    EXPECT_EQ(((*empty).*codes)(), std::vector<int64_t>{0});
    EXPECT_EQ(empty->description(), "(null) -> [" + g + "]");
    EXPECT_EQ(make({0}, "")->description(), " -> [" + g + "]");
    // Codes missing from the table read as the generic name.
    EXPECT_EQ(((*make({0, -1, 30003, INT64_MIN}, "m")).*text)(), "[" + g + ", Unknown, " + g + ", " + g + "]");

    auto report = make({-1, -1}, "m");
    ((*report).*setCodes)({0});
    EXPECT_TRUE(((*report).*contains)(0) && !((*report).*contains)(-1));
    // The stored text keeps the codes it was made with.
    EXPECT_EQ(((*report).*text)(), "[Unknown, Unknown]");
    EXPECT_EQ(report->description(), "m -> [Unknown, Unknown]");
    EXPECT_EQ(((*report).*currentText)(), "[" + g + "]");
}

TEST(ReportObjects, KindsShareTheirRulesAndTheTablesHoldTheDocumentedNames) {
    checkReportKind(&KNError::errorWithCodesMessage, &KNError::errorCodes, &KNError::setErrorCodes, &KNError::errors,
                    &KNError::containsErrorCode, &KNError::errorCodesString, "GenericError");
    checkReportKind(&KNWarning::warningWithCodesMessage, &KNWarning::warningCodes, &KNWarning::setWarningCodes,
                    &KNWarning::warnings, &KNWarning::containsWarningCode, &KNWarning::warningCodesString,
                    "GenericWarning");
    checkReportKind(&KNInfo::infoWithCodesMessage, &KNInfo::infoCodes, &KNInfo::setInfoCodes, &KNInfo::infos,
                    &KNInfo::containsInfoCode, &KNInfo::infoCodesString, "GenericInfo");

    const Names errors{{-1, "Unknown"}, {0, "GenericError"}, {1001, "NeedsAccessToMicrophone"},
        {1002, "NeedsAccessToCamera"}, {2001, "CameraNotPresent"}, {2002, "CameraUnavailable"},
        {3001, "TorchModeNotSupported"}, {3002, "TorchModeNotAvailable"}, {3003, "TorchLevelNotAvailable"},
        {4001, "KeyFrameIntervalLocked"}, {5001, "BitrateCannotChange"}, {5002, "AudioSampleRateIsLocked"},
        {6001, "ResolutionIsLocked"}, {6002, "ResolutionNotSupported"}, {10001, "CaptureSessionError"},
        {11001, "StreamingError"}, {11002, "StreamerNotReady"}, {11003, "LostServerConnection"},
        {11004, "NoInternetConnection"}, {11005, "StreamingAlreadyRunning"}, {60001, "AudioEncodingFailure"},
        {70001, "VideoEncodingFailure"}, {80001, "RTMPConnectionFailure"}, {90001, "LocalSaveFailure"},
        {100001, "PostToPhotosFailure"}};
    const Names warnings{{-1, "Unknown"}, {0, "GenericWarning"}};
    const Names infos{{-1, "Unknown"}, {0, "GenericInfo"}, {1001, "CaptureSessionDidStartRunning"},
        {1002, "CaptureSessionDidStopRunning"}, {1003, "StreamerIsReady"}};
    EXPECT_EQ(KNErrorCodeTable().names, errors);
    EXPECT_EQ(KNWarningCodeTable().names, warnings);
    EXPECT_EQ(KNInfoCodeTable().names, infos);
    for (const auto& [code, name] : errors) EXPECT_EQ(KNErrorCodeAsString(code), name);
    for (const auto& [code, name] : infos) EXPECT_EQ(KNInfoCodeAsString(code), name);
    EXPECT_EQ(KNWarningCodeAsString(3001), "GenericWarning");
    EXPECT_EQ(KNErrorCodeAsString(101001), "GenericError");
}

TEST(ArrayQueueDeathTest, FrontIsIndexZeroAndReadingAnEmptyArrayStopsTheProcess) {
    std::deque<std::string> array;
    kn_pushBack(array, std::string("b"));
    kn_pushFront(array, std::string("a"));
    kn_pushBack(array, std::string("c"));
    EXPECT_EQ(kn_front(array) + kn_back(array) + std::to_string(array.size()), "ac3");  // reading removes nothing
    const std::string first = kn_popFront(array), last = kn_popBack(array);
    EXPECT_EQ(first + last + kn_popFront(array), "acb");

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::deque<int> empty;
    EXPECT_DEATH(kn_front(empty), "kn_front: .*empty array");
    EXPECT_DEATH(kn_back(empty), "kn_back: .*empty array");
    EXPECT_DEATH(kn_popBack(empty), "kn_popBack: .*empty array");
    EXPECT_DEATH(kn_popFront(array), "kn_popFront: .*empty array");  // emptied by pops
}

TEST(KNKestruneSDK, SetupCompletesBeforeItNotifiesAllOnTheCallersThread) {
    auto sdk = KNKestruneSDK::sharedInstance();
    std::string steps;  // each step, and "elsewhere" when not on the caller's thread
    std::thread::id caller;
    auto step = [&](const std::string& name) {
        steps += name + (std::this_thread::get_id() == caller ? " " : " elsewhere ");
    };
    auto& center = platform::NotificationCenter::defaultCenter();
    const auto token = center.addObserver(kKNKestruneDidLoadConfigNotification, nullptr, [&](const auto& note) {
        step(note.object == std::static_pointer_cast<void>(sdk) ? "notification" : "foreign");
    });
    std::thread host([&] {
        caller = std::this_thread::get_id();
        sdk->setupSDKWithURLWithCompletion("rtmp://127.0.0.1/live", [&](bool success, std::shared_ptr<KNError> error) {
            step(success && !error && sdk->didLoadConfig() ? "completion" : "failure");
        });
        sdk->setupSDKWithCompletion();  // no URL, no completion: still posts
    });
    host.join();
    center.removeObserver(token);
    EXPECT_EQ(steps, "completion notification notification ");
    EXPECT_EQ(KNKestruneSDK::create(), sdk);
}

TEST(KNSDKVersion, ReadsUpToThreeIntegerPartsFromAnyText) {
    for (const auto& [text, expected] : {std::pair{"1", "v.1.0.0"}, {"3.4.5.6", "v.3.4.5"}, {"", "v.0.0.0"},
                                         {"abc", "v.0.0.0"}, {"1.x.3", "v.1.0.3"}, {" 7..9", "v.7.0.9"},
                                         {"-2.+3.4rc1", "v.-2.3.4"}}) {
        EXPECT_EQ(KNSDKVersion::versionWithShortVersionBuild(text, "1")->shortString(), expected) << text;
    }
    EXPECT_EQ(KNSDKVersion::versionWithShortVersionBuild("99999999999999999999", "1")->major(), INT64_MAX);
    EXPECT_EQ(KNSDKVersion::versionWithShortVersionBuild(std::nullopt, std::nullopt)->longString(),
              "v.0.0.0 (build (null))");
}

TEST(KNVersionsHelper, OnlyTheFamilyCodesOneToEightAreOldPhones) {
    EXPECT_EQ(KNVersionsHelper::deviceStrings().size(), 59u);
    // iPhone7,2 has the lower code (9) of its pair, and is already new.
    for (const auto& [model, old] : {std::pair{"iPhone1,1", true}, {"iPhone6,2", true}, {"iPhone7,2", false},
                                     {"iPhone7,1", false}, {"iPad2,1", false}, {"iPhone99,9", false}, {"", false}}) {
        platform::MachineModel::setOverride(model);
        EXPECT_EQ(KNVersionsHelper::isIphone5sOrLower(), old) << model;
    }
    platform::MachineModel::clearOverride();
}

}  // namespace
