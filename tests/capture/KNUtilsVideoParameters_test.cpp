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
const std::string b30 = kVideoProfileLevelH264Baseline30, autoLevel = kVideoProfileLevelH264BaselineAutoLevel;
// 27648 keeps its later entry (256 x 144, minimum 96).
const Row kRows[] = {
    {0, 1280, 720, 3000, 2000, 10000, b30, kSessionPresetHigh},
    {27648, 256, 144, 128, 96, 256, b30, kSessionPresetLow},
    {76800, 320, 240, 384, 128, 512, b30, kSessionPresetLow},
    {102240, 426, 240, 500, 300, 700, b30, kSessionPresetLow},
    {101376, 352, 288, 500, 300, 700, b30, kSessionPreset352x288},
    {172800, 480, 360, 500, 300, 750, b30, kSessionPresetMedium},
    {230400, 640, 360, 700, 400, 1000, b30, kSessionPresetMedium},
    {307200, 640, 480, 900, 550, 1500, b30, kSessionPreset640x480},
    {409920, 854, 480, 1000, 600, 2000, b30, kSessionPresetMedium},
    {518400, 960, 540, 1300, 800, 2700, b30, kSessionPresetMedium},
    {921600, 1280, 720, 1700, 1400, 4000, kVideoProfileLevelH264Baseline31, kSessionPreset1280x720},
    {2073600, 1920, 1080, 3000, 2800, 6000, kVideoProfileLevelH264Baseline41, kSessionPreset1920x1080},
    {3686400, 2560, 1440, 9000, 6000, 12000, autoLevel, kSessionPresetHigh},
    {8294400, 3840, 2160, 18000, 12000, 24000, autoLevel, kSessionPresetHigh},
    {30965760, 7680, 4320, 36000, 24000, 48000, autoLevel, kSessionPresetHigh}};

TEST(KNUtilsVideoParameters, TablesHoldExactlyTheDocumentedRows) {
    auto u = KNUtils::utils();
    for (const Row& r : kRows) {
        const int64_t res = r.resolution;
        EXPECT_EQ(u->frameSizes().at(res), (Size{r.width, r.height})) << res;
        EXPECT_EQ(u->videoProfiles().at(res), r.profile) << res;
        EXPECT_EQ(u->sessionPresets().at(res), r.preset) << res;
        EXPECT_EQ((std::vector<int64_t>{u->optimalBitrates().at(res), u->minBitrates().at(res),
                                        u->maxBitrates().at(res), u->clampBitrateForResolution(INT64_MIN, res),
                                        u->clampBitrateForResolution(INT64_MAX, res)}),
                  (std::vector<int64_t>{r.optimal, r.min, r.max, r.min * 1000LL, r.max * 1000LL})) << res;
    }
    for (size_t size : {u->frameSizes().size(), u->optimalBitrates().size(), u->minBitrates().size(),
                        u->maxBitrates().size(), u->videoProfiles().size(), u->sessionPresets().size()}) {
        EXPECT_EQ(size, std::size(kRows));
    }
    EXPECT_EQ(u->allResolutions(), (std::vector<int64_t>{27648, 27648, 76800, 102240, 101376, 172800, 230400,
                                                         307200, 409920, 518400, 921600, 2073600, 3686400,
                                                         8294400, 30965760}));
}

}  // namespace
