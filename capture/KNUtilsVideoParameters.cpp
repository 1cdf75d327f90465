// The video parameter tables of KNUtils: per resolution, frame size, bitrate bounds, H.264
// profile level and capture preset.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "core/KNNumeric.h"
#include "core/KNUtils.h"
#include "platform/SessionPreset.h"
#include "platform/VideoProfileLevel.h"

namespace {

struct Row {
    int64_t resolution;
    platform::Size frameSize;
    int32_t optimalKbps;
    int32_t minKbps;
    int32_t maxKbps;
    const char* profileLevel;
    const char* sessionPreset;
};

// In table order. 27648 stands twice: the later row (256 x 144, minimum 96 kbps) replaces the
// earlier one when the tables are built, so no resolution keeps the 192 x 144 frame.
const std::vector<Row>& rows() {
    using namespace platform;
    static const std::vector<Row> rows{
        {0, {1280, 720}, 3000, 2000, 10000, kVideoProfileLevelH264Baseline30, kSessionPresetHigh},
        {27648, {192, 144}, 128, 64, 256, kVideoProfileLevelH264Baseline30, kSessionPresetLow},
        {27648, {256, 144}, 128, 96, 256, kVideoProfileLevelH264Baseline30, kSessionPresetLow},
        {76800, {320, 240}, 384, 128, 512, kVideoProfileLevelH264Baseline30, kSessionPresetLow},
        {102240, {426, 240}, 500, 300, 700, kVideoProfileLevelH264Baseline30, kSessionPresetLow},
        {101376, {352, 288}, 500, 300, 700, kVideoProfileLevelH264Baseline30, kSessionPreset352x288},
        {172800, {480, 360}, 500, 300, 750, kVideoProfileLevelH264Baseline30, kSessionPresetMedium},
        {230400, {640, 360}, 700, 400, 1000, kVideoProfileLevelH264Baseline30, kSessionPresetMedium},
        {307200, {640, 480}, 900, 550, 1500, kVideoProfileLevelH264Baseline30, kSessionPreset640x480},
        {409920, {854, 480}, 1000, 600, 2000, kVideoProfileLevelH264Baseline30, kSessionPresetMedium},
        {518400, {960, 540}, 1300, 800, 2700, kVideoProfileLevelH264Baseline30, kSessionPresetMedium},
        {921600, {1280, 720}, 1700, 1400, 4000, kVideoProfileLevelH264Baseline31, kSessionPreset1280x720},
        {2073600, {1920, 1080}, 3000, 2800, 6000, kVideoProfileLevelH264Baseline41, kSessionPreset1920x1080},
        {3686400, {2560, 1440}, 9000, 6000, 12000, kVideoProfileLevelH264BaselineAutoLevel, kSessionPresetHigh},
        {8294400, {3840, 2160}, 18000, 12000, 24000, kVideoProfileLevelH264BaselineAutoLevel, kSessionPresetHigh},
        {30965760, {7680, 4320}, 36000, 24000, 48000, kVideoProfileLevelH264BaselineAutoLevel, kSessionPresetHigh},
    };
    return rows;
}

// A later row for a key already present replaces the earlier one.
template <class Value, class Column>
std::map<int64_t, Value> buildTable(Column column) {
    std::map<int64_t, Value> table;
    for (const Row& row : rows()) table[row.resolution] = column(row);
    return table;
}

template <class Value>
const Value* find(const std::map<int64_t, Value>& table, int64_t resolution) {
    auto it = table.find(resolution);
    return it == table.end() ? nullptr : &it->second;
}

int64_t bitsPerSecond(const std::map<int64_t, int32_t>& kbpsTable, int64_t resolution) {
    const int32_t* kbps = find(kbpsTable, resolution);
    return kbps ? int64_t{*kbps} * 1000 : 0;
}

}  // namespace

const std::vector<int64_t>& KNUtils::allResolutions() const {
    static const std::vector<int64_t> resolutions{27648,  27648,  76800,   102240,  101376,  172800,  230400,  307200,
                                                  409920, 518400, 921600, 2073600, 3686400, 8294400, 30965760};
    return resolutions;
}

const std::map<int64_t, platform::Size>& KNUtils::frameSizes() const {
    static const auto table = buildTable<platform::Size>([](const Row& row) { return row.frameSize; });
    return table;
}

KNVideoFrameSize KNUtils::frameSizeForResolution(int64_t resolution) const {
    const platform::Size* size = find(frameSizes(), resolution);
    if (!size) return {0, 0};
    return {KNSaturatingCast<int64_t>(size->width), KNSaturatingCast<int64_t>(size->height)};
}

std::string KNUtils::stringRepresentationForFrameSize(KNVideoFrameSize size) const {
    char text[48];
    std::snprintf(text, sizeof text, "%" PRId64 "x%" PRId64, size.width, size.height);
    return text;
}

const std::map<int64_t, int32_t>& KNUtils::optimalBitrates() const {
    static const auto table = buildTable<int32_t>([](const Row& row) { return row.optimalKbps; });
    return table;
}

const std::map<int64_t, int32_t>& KNUtils::minBitrates() const {
    static const auto table = buildTable<int32_t>([](const Row& row) { return row.minKbps; });
    return table;
}

const std::map<int64_t, int32_t>& KNUtils::maxBitrates() const {
    static const auto table = buildTable<int32_t>([](const Row& row) { return row.maxKbps; });
    return table;
}

int64_t KNUtils::bitrateForResolution(int64_t resolution) const { return bitsPerSecond(optimalBitrates(), resolution); }

int64_t KNUtils::minBitrateForResolution(int64_t resolution) const { return bitsPerSecond(minBitrates(), resolution); }

int64_t KNUtils::maxBitrateForResolution(int64_t resolution) const { return bitsPerSecond(maxBitrates(), resolution); }

int64_t KNUtils::clampBitrateForResolution(int64_t bitrate, int64_t resolution) const {
    return std::min(std::max(bitrate, minBitrateForResolution(resolution)), maxBitrateForResolution(resolution));
}

const std::map<int64_t, std::string>& KNUtils::videoProfiles() const {
    static const auto table = buildTable<std::string>([](const Row& row) { return row.profileLevel; });
    return table;
}

const std::map<int64_t, std::string>& KNUtils::sessionPresets() const {
    static const auto table = buildTable<std::string>([](const Row& row) { return row.sessionPreset; });
    return table;
}

std::string KNUtils::videoProfileLevelForResolution(int64_t resolution) const {
    const std::string* level = find(videoProfiles(), resolution);
    return level ? *level : platform::kVideoProfileLevelH264BaselineAutoLevel;
}

std::string KNUtils::sessionPressetForResolution(int64_t resolution) const {
    const std::string* preset = find(sessionPresets(), resolution);
    return preset ? *preset : platform::kSessionPresetHigh;
}
