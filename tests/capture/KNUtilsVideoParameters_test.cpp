// The per-resolution video parameter tables: frame sizes, bitrates, profile levels and presets.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/KNUtils.h"
#include "platform/SessionPreset.h"
#include "platform/VideoProfileLevel.h"

namespace {

using namespace platform;

// One row per resolution as documented; 27648 keeps its later entry (256 x 144, minimum 96).
struct Row {
    double width, height;
    int32_t optimal, min, max;
    std::string profile, preset;
};
const std::map<int64_t, Row>& documentedRows() {
    static const std::map<int64_t, Row> rows{
        {0, {1280, 720, 3000, 2000, 10000, kVideoProfileLevelH264Baseline30, kSessionPresetHigh}},
        {27648, {256, 144, 128, 96, 256, kVideoProfileLevelH264Baseline30, kSessionPresetLow}},
        {76800, {320, 240, 384, 128, 512, kVideoProfileLevelH264Baseline30, kSessionPresetLow}},
        {102240, {426, 240, 500, 300, 700, kVideoProfileLevelH264Baseline30, kSessionPresetLow}},
        {101376, {352, 288, 500, 300, 700, kVideoProfileLevelH264Baseline30, kSessionPreset352x288}},
        {172800, {480, 360, 500, 300, 750, kVideoProfileLevelH264Baseline30, kSessionPresetMedium}},
        {230400, {640, 360, 700, 400, 1000, kVideoProfileLevelH264Baseline30, kSessionPresetMedium}},
        {307200, {640, 480, 900, 550, 1500, kVideoProfileLevelH264Baseline30, kSessionPreset640x480}},
        {409920, {854, 480, 1000, 600, 2000, kVideoProfileLevelH264Baseline30, kSessionPresetMedium}},
        {518400, {960, 540, 1300, 800, 2700, kVideoProfileLevelH264Baseline30, kSessionPresetMedium}},
        {921600, {1280, 720, 1700, 1400, 4000, kVideoProfileLevelH264Baseline31, kSessionPreset1280x720}},
        {2073600, {1920, 1080, 3000, 2800, 6000, kVideoProfileLevelH264Baseline41, kSessionPreset1920x1080}},
        {3686400, {2560, 1440, 9000, 6000, 12000, kVideoProfileLevelH264BaselineAutoLevel, kSessionPresetHigh}},
        {8294400, {3840, 2160, 18000, 12000, 24000, kVideoProfileLevelH264BaselineAutoLevel, kSessionPresetHigh}},
        {30965760, {7680, 4320, 36000, 24000, 48000, kVideoProfileLevelH264BaselineAutoLevel, kSessionPresetHigh}},
    };
    return rows;
}

template <class Value, class Column>
std::map<int64_t, Value> column(Column pick) {
    std::map<int64_t, Value> table;
    for (const auto& [resolution, row] : documentedRows()) table[resolution] = pick(row);
    return table;
}

TEST(KNUtilsVideoParameters, TablesHoldExactlyTheDocumentedRows) {
    auto utils = KNUtils::utils();
    EXPECT_EQ(utils->frameSizes(), column<Size>([](const Row& r) { return Size{r.width, r.height}; }));
    EXPECT_EQ(utils->optimalBitrates(), column<int32_t>([](const Row& r) { return r.optimal; }));
    EXPECT_EQ(utils->minBitrates(), column<int32_t>([](const Row& r) { return r.min; }));
    EXPECT_EQ(utils->maxBitrates(), column<int32_t>([](const Row& r) { return r.max; }));
    EXPECT_EQ(utils->videoProfiles(), column<std::string>([](const Row& r) { return r.profile; }));
    EXPECT_EQ(utils->sessionPresets(), column<std::string>([](const Row& r) { return r.preset; }));

    for (const auto& [resolution, row] : documentedRows()) {
        EXPECT_EQ(utils->frameSizeForResolution(resolution),
                  KNVideoFrameSizeMake(static_cast<int64_t>(row.width), static_cast<int64_t>(row.height)));
        EXPECT_EQ(utils->bitrateForResolution(resolution), int64_t{row.optimal} * 1000) << resolution;
        EXPECT_EQ(utils->minBitrateForResolution(resolution), int64_t{row.min} * 1000) << resolution;
        EXPECT_EQ(utils->maxBitrateForResolution(resolution), int64_t{row.max} * 1000) << resolution;
        EXPECT_EQ(utils->videoProfileLevelForResolution(resolution), row.profile) << resolution;
        EXPECT_EQ(utils->sessionPressetForResolution(resolution), row.preset) << resolution;
    }
}

TEST(KNUtilsVideoParameters, ResolutionListKeepsItsOrderAndDuplicate) {
    const std::vector<int64_t> expected{27648,  27648,  76800,  102240,  101376,  172800,  230400,  307200,
                                        409920, 518400, 921600, 2073600, 3686400, 8294400, 30965760};
    EXPECT_EQ(KNUtils::utils()->allResolutions(), expected);
}

TEST(KNUtilsVideoParameters, ResolutionsWithoutARowGetTheDefaults) {
    auto utils = KNUtils::utils();
    for (int64_t resolution : {12345LL, 36864LL, -1LL, static_cast<long long>(INT64_MAX)}) {
        EXPECT_EQ(utils->frameSizeForResolution(resolution), KNVideoFrameSizeMake(0, 0)) << resolution;
        EXPECT_EQ(utils->bitrateForResolution(resolution), 0) << resolution;
        EXPECT_EQ(utils->minBitrateForResolution(resolution), 0) << resolution;
        EXPECT_EQ(utils->maxBitrateForResolution(resolution), 0) << resolution;
        EXPECT_EQ(utils->clampBitrateForResolution(5000000, resolution), 0) << resolution;
        EXPECT_EQ(utils->clampBitrateForResolution(-5, resolution), 0) << resolution;
        EXPECT_EQ(utils->videoProfileLevelForResolution(resolution), kVideoProfileLevelH264BaselineAutoLevel);
        EXPECT_EQ(utils->sessionPressetForResolution(resolution), kSessionPresetHigh);
    }
}

TEST(KNUtilsVideoParameters, ClampKeepsTheBitrateWithinTheResolutionsBounds) {
    auto utils = KNUtils::utils();
    EXPECT_EQ(utils->clampBitrateForResolution(5000000, 921600), 4000000);
    EXPECT_EQ(utils->clampBitrateForResolution(100000, 921600), 1400000);
    EXPECT_EQ(utils->clampBitrateForResolution(2000000, 921600), 2000000);
    EXPECT_EQ(utils->clampBitrateForResolution(1400000, 921600), 1400000);
    EXPECT_EQ(utils->clampBitrateForResolution(4000000, 921600), 4000000);
    EXPECT_EQ(utils->clampBitrateForResolution(-1, 921600), 1400000);
    EXPECT_EQ(utils->clampBitrateForResolution(INT64_MAX, 30965760), 48000000);
    EXPECT_EQ(utils->clampBitrateForResolution(INT64_MIN, 27648), 96000);
}

TEST(KNUtilsVideoParameters, FrameSizeText) {
    auto utils = KNUtils::utils();
    EXPECT_EQ(utils->stringRepresentationForFrameSize(KNVideoFrameSizeMake(1920, 1080)), "1920x1080");
    EXPECT_EQ(utils->stringRepresentationForFrameSize(KNVideoFrameSizeMake(-1, 0)), "-1x0");
}

}  // namespace
