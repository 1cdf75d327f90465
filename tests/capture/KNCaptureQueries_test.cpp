// What a host asks of the camera and the application through the public headers alone:
// authorization, the status bar's capture orientation, and the current camera's capabilities.
#include <gtest/gtest.h>

#include "kestrune/KNCaptureDeviceCapabilities.h"
#include "kestrune/KNUtils.h"
#include "kestrune/platform/capture/CaptureAuthorization.h"
#include "kestrune/platform/capture/CaptureDevice.h"
#include "kestrune/platform/ui/Application.h"

using namespace platform;

TEST(KNCaptureQueries, AuthorizationStatusesAnswerAccessAndWhetherTheUserWasAsked) {
    struct Row {
        AuthorizationStatus status;
        bool access;
        bool determined;
    };
    const Row rows[] = {
        {AuthorizationStatus::NotDetermined, false, false},
        {AuthorizationStatus::Restricted, false, true},
        {AuthorizationStatus::Denied, false, true},
        {AuthorizationStatus::Authorized, true, true},
    };
    const auto utils = KNUtils::utils();
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.status));
        CaptureAuthorization::setAuthorizationStatusForMediaType(MediaType::Video, row.status);
        CaptureAuthorization::setAuthorizationStatusForMediaType(MediaType::Audio, AuthorizationStatus::Authorized);
        EXPECT_EQ(utils->cameraStatus(), static_cast<int64_t>(row.status));
        EXPECT_EQ(utils->hasAccessToCamera(), row.access);
        EXPECT_EQ(utils->hasDeterminedAccessToCamera(), row.determined);
        EXPECT_TRUE(utils->hasAccessToMicrophone());
        CaptureAuthorization::setAuthorizationStatusForMediaType(MediaType::Audio, row.status);
        CaptureAuthorization::setAuthorizationStatusForMediaType(MediaType::Video, AuthorizationStatus::Authorized);
        EXPECT_EQ(utils->microphoneStatus(), static_cast<int64_t>(row.status));
        EXPECT_EQ(utils->hasAccessToMicrophone(), row.access);
        EXPECT_EQ(utils->hasDeterminedAccessToMicrophone(), row.determined);
        EXPECT_TRUE(utils->hasAccessToCamera());
    }
    CaptureAuthorization::resetAuthorizationStatusForMediaType(MediaType::Video);
    CaptureAuthorization::resetAuthorizationStatusForMediaType(MediaType::Audio);
    // The synthetic cameras the tests run on, and a microphone, need no consent.
    EXPECT_TRUE(utils->hasAccessToCamera());
    EXPECT_TRUE(utils->hasAccessToMicrophone());
}

TEST(KNCaptureQueries, TheStatusBarGivesTheCaptureOrientationAndAnUnknownOneIsPortrait) {
    const std::pair<int64_t, int64_t> rows[] = {{0, 1}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {9, 1}};
    const auto utils = KNUtils::utils();
    for (const auto& [statusBar, capture] : rows) {
        SCOPED_TRACE(statusBar);
        Application::shared().setStatusBarOrientation(statusBar);
        EXPECT_EQ(utils->currentStatusBarOrientation(), statusBar);
        EXPECT_EQ(utils->currentCaptureVideoOrientation(), capture);
    }
    Application::shared().setStatusBarOrientation(1);
}

TEST(KNCaptureQueries, TheHighestFrameRateBecomesActiveOnTheFirstFormatThatReachesIt) {
    const auto camera = CaptureDevice::defaultDeviceWithMediaType(MediaType::Video);
    ASSERT_TRUE(camera);
    const auto best = bestSupportedFrameRateRange(*camera);
    ASSERT_TRUE(best);
    EXPECT_EQ(best->maxFrameRate, 60.0);
    configureForHighestFrameRate(*camera);
    const auto active = camera->activeFormat();
    EXPECT_EQ(active.width, 640);
    EXPECT_EQ(active.height, 480);
    EXPECT_EQ(active.videoSupportedFrameRateRanges.front().maxFrameRate, 60.0);
    EXPECT_EQ(camera->activeVideoMinFrameDuration(), MediaTime::make(1, 60));
    EXPECT_EQ(camera->activeVideoMaxFrameDuration(), MediaTime::make(1, 60));
    EXPECT_FALSE(camera->isLockedForConfiguration());
}
