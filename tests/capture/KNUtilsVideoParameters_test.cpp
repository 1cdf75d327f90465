// The per-resolution video parameter tables against the documented rows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/KNUtils.h"
#include "platform/SessionPreset.h"
#include "platform/VideoProfileLevel.h"

namespace {

using namespace platform;

struct Row {
    int64_t resolution;
    double width, height;
    int32_t optimal, min, max;
    std::string profile, preset;
};
// 27648 keeps its later entry (256 x 144, minimum 96).
const Row kRows[] = {
    {0, 1280, 720, 3000, 2000, 10000, kVideoProfileLevelH264Baseline30, kSessionPresetHigh},
    {27648, 256, 144, 128, 96, 256, kVideoProfileLevelH264Baseline30, kSessionPresetLow},
    {76800, 320, 240, 384, 128, 512, kVideoProfileLevelH264Baseline30, kSessionPresetLow},
    {102240, 426, 240, 500, 300, 700, kVideoProfileLevelH264Baseline30, kSessionPresetLow},
    {101376, 352, 288, 500, 300, 700, kVideoProfileLevelH264Baseline30, kSessionPreset352x288},
    {172800, 480, 360, 500, 300, 750, kVideoProfileLevelH264Baseline30, kSessionPresetMedium},
    {230400, 640, 360, 700, 400, 1000, kVideoProfileLevelH264Baseline30, kSessionPresetMedium},
    {307200, 640, 480, 900, 550, 1500, kVideoProfileLevelH264Baseline30, kSessionPreset640x480},
    {409920, 854, 480, 1000, 600, 2000, kVideoProfileLevelH264Baseline30, kSessionPresetMedium},
    {518400, 960, 540, 1300, 800, 2700, kVideoProfileLevelH264Baseline30, kSessionPresetMedium},
    {921600, 1280, 720, 1700, 1400, 4000, kVideoProfileLevelH264Baseline31, kSessionPreset1280x720},
    {2073600, 1920, 1080, 3000, 2800, 6000, kVideoProfileLevelH264Baseline41, kSessionPreset1920x1080},
    {3686400, 2560, 1440, 9000, 6000, 12000, kVideoProfileLevelH264BaselineAutoLevel, kSessionPresetHigh},
    {8294400, 3840, 2160, 18000, 12000, 24000, kVideoProfileLevelH264BaselineAutoLevel, kSessionPresetHigh},
    {30965760, 7680, 4320, 36000, 24000, 48000, kVideoProfileLevelH264BaselineAutoLevel, kSessionPresetHigh}};

TEST(KNUtilsVideoParameters, TablesHoldExactlyTheDocumentedRows) {
    auto utils = KNUtils::utils();
    for (const Row& r : kRows) {
        const int64_t res = r.resolution;
        EXPECT_EQ(utils->frameSizes().at(res), (Size{r.width, r.height})) << res;
        EXPECT_EQ(utils->optimalBitrates().at(res), r.optimal) << res;
        EXPECT_EQ(utils->minBitrates().at(res), r.min) << res;
        EXPECT_EQ(utils->maxBitrates().at(res), r.max) << res;
        EXPECT_EQ(utils->videoProfiles().at(res), r.profile) << res;
        EXPECT_EQ(utils->videoProfileLevelForResolution(res), r.profile) << res;
        EXPECT_EQ(utils->sessionPresets().at(res), r.preset) << res;
        EXPECT_EQ(utils->frameSizeForResolution(res), KNVideoFrameSizeWithCGSize({r.width, r.height})) << res;
        const std::vector<int64_t> bitrates{utils->bitrateForResolution(res), utils->minBitrateForResolution(res),
                                            utils->maxBitrateForResolution(res),
                                            utils->clampBitrateForResolution(INT64_MIN, res),
                                            utils->clampBitrateForResolution(INT64_MAX, res)};
        EXPECT_EQ(bitrates, (std::vector<int64_t>{r.optimal * 1000LL, r.min * 1000LL, r.max * 1000LL, r.min * 1000LL,
                                                  r.max * 1000LL})) << res;
    }
    for (size_t size : {utils->frameSizes().size(), utils->optimalBitrates().size(), utils->minBitrates().size(),
                        utils->maxBitrates().size(), utils->videoProfiles().size(), utils->sessionPresets().size()}) {
        EXPECT_EQ(size, std::size(kRows));
    }
    EXPECT_EQ(utils->allResolutions(), (std::vector<int64_t>{27648, 27648, 76800, 102240, 101376, 172800, 230400,
                                                             307200, 409920, 518400, 921600, 2073600, 3686400,
                                                             8294400, 30965760}));
}

TEST(KNUtilsVideoParameters, ClampAndTheDefaultsOfResolutionsWithoutARow) {
    auto utils = KNUtils::utils();
    const std::pair<int64_t, int64_t> clamps[] = {{5000000, 4000000}, {100000, 1400000}, {2000000, 2000000},
                                                  {1400000, 1400000}, {4000000, 4000000}, {-1, 1400000}};
    for (const auto& [bitrate, clamped] : clamps) EXPECT_EQ(utils->clampBitrateForResolution(bitrate, 921600), clamped);
    for (int64_t resolution : {int64_t{12345}, int64_t{36864}, int64_t{-1}, INT64_MAX}) {
        EXPECT_EQ(utils->frameSizeForResolution(resolution), KNVideoFrameSizeMake(0, 0)) << resolution;
        EXPECT_EQ((std::vector<int64_t>{utils->bitrateForResolution(resolution),
                                        utils->minBitrateForResolution(resolution),
                                        utils->maxBitrateForResolution(resolution),
                                        utils->clampBitrateForResolution(5000000, resolution),
                                        utils->clampBitrateForResolution(-5, resolution)}),
                  std::vector<int64_t>(5, 0)) << resolution;
        EXPECT_EQ(utils->videoProfileLevelForResolution(resolution), kVideoProfileLevelH264BaselineAutoLevel);
        EXPECT_EQ(utils->sessionPressetForResolution(resolution), kSessionPresetHigh);
    }
    EXPECT_EQ(utils->stringRepresentationForFrameSize(KNVideoFrameSizeMake(-1, 1080)), "-1x1080");
}

}  // namespace
