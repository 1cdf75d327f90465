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
    for (int64_t value : {int64_t(-1), INT64_MAX}) {
        EXPECT_EQ(KNVideoFrameResolutionAsString(value), "Unknown") << value;
        EXPECT_EQ(KNTorchModeAsString(value), "Unknown") << value;
    }
    EXPECT_EQ(KNAudioSampleRateAsString(INT64_MIN) + KNFrameRateAsString(-5), "-9223372036854775808 Hz-5fps");

    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::pair<platform::Size, KNVideoFrameSize> cases[] = {
        {{1279.9, -0.5}, {1279, 0}},
        {{nan, nan}, {0, 0}},
        {{9223372036854775808.0, -inf}, {INT64_MAX, INT64_MIN}}};
    for (const auto& [size, expected] : cases) EXPECT_EQ(KNVideoFrameSizeWithCGSize(size), expected) << size.width;
}

// The stored text keeps the first codes; codes missing from a table read generic.
TEST(ReportObjects, MissingCodesReadGeneric) {
    EXPECT_EQ(KNError::errorWithCodesMessage({}, std::nullopt)->description(), "(null) -> [GenericError]");
    auto error = KNError::errorWithCodesMessage({-1}, "m");
    error->setErrorCodes({0});
    EXPECT_EQ(error->description(), "m -> [Unknown]");
    EXPECT_EQ(error->errorCodesString(), "[GenericError]");
    EXPECT_EQ(KNWarning::warningWithCodesMessage({0, 30003}, "m")->warnings(), "[GenericWarning, GenericWarning]");
    EXPECT_EQ(KNInfo::infoWithCodesMessage({-1}, "m")->infos(), "[Unknown]");
    EXPECT_EQ(KNErrorCodeAsString(100001), "PostToPhotosFailure");
    EXPECT_EQ(KNInfoCodeAsString(1003) + KNWarningCodeAsString(3001), "StreamerIsReadyGenericWarning");
}

TEST(ArrayQueueDeathTest, ReadingAnEmptyArrayStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::deque<int> empty;
    EXPECT_DEATH(kn_front(empty), "kn_front: .*empty array");
    EXPECT_DEATH(kn_popBack(empty), "kn_popBack: .*empty array");
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
