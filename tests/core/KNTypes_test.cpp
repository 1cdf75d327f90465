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

TEST(KNTypes, OutOfRangeValuesReadUnknownAndFrameSizesSaturate) {
    std::string (*const texts[])(int64_t) = {KNVideoFrameResolutionAsString, KNVideoOrientationAsString,
                                             KNCameraAsString, KNRecordingModeAsString, KNTorchModeAsString};
    const int64_t outside[] = {-1, 5, 8294400, INT64_MIN, INT64_MAX};
    for (const auto text : texts) {
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

TEST(ReportObjects, MissingCodesReadGeneric) {
    checkReportKind(&KNError::errorWithCodesMessage, &KNError::setErrorCodes, &KNError::errors,
                    &KNError::errorCodesString, "GenericError");
    checkReportKind(&KNWarning::warningWithCodesMessage, &KNWarning::setWarningCodes, &KNWarning::warnings,
                    &KNWarning::warningCodesString, "GenericWarning");
    checkReportKind(&KNInfo::infoWithCodesMessage, &KNInfo::setInfoCodes, &KNInfo::infos, &KNInfo::infoCodesString,
                    "GenericInfo");
    EXPECT_EQ(KNErrorCodeAsString(100001), "PostToPhotosFailure");
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
