#include "capture/KNVideoEncoderSettingsValidator.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <map>

#include "core/KNUtils.h"
#include "core/KNVersionsHelper.h"

namespace {

constexpr int64_t kErrorNotSupportedOnDevice = 6002;
constexpr int64_t kLargestOldPhoneResolution = 921600;  // 1280 x 720
constexpr KNVideoFrameSize kLargestOldPhoneFrame{1280, 720};

// Bits per second a standard frame may carry on an old phone.
const std::map<int64_t, int64_t>& thresholds() {
    static const std::map<int64_t, int64_t> table{
        {27648, 25600},   {76800, 51200},   {102240, 51200},  {101376, 51200},  {172800, 102400}, {230400, 102400},
        {307200, 256000}, {409920, 256000}, {518400, 512000}, {921600, 614400}, {0, 614400},
    };
    return table;
}

// Wide enough for any product of two 64-bit sides, so no frame overflows.
__int128 pixelCount(KNVideoFrameSize size) { return static_cast<__int128>(size.width) * size.height; }

int64_t saturatedInt32(__int128 value) {
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
    if (value > kMax) return kMax;
    if (value < kMin) return kMin;
    return static_cast<int64_t>(value);
}

std::shared_ptr<KNError> notSupported(const std::string& message) {
    return KNError::errorWithCodesMessage({kErrorNotSupportedOnDevice}, message);
}

std::string resolutionMessage(KNVideoFrameSize asked) {
    auto utils = KNUtils::utils();
    return "Resolution " + utils->stringRepresentationForFrameSize(asked) + " not supported on current device, using " +
           utils->stringRepresentationForFrameSize(kLargestOldPhoneFrame) + " instead.";
}

}  // namespace

std::shared_ptr<KNVideoEncoderSettingsValidator> KNVideoEncoderSettingsValidator::create() {
    return std::make_shared<KNVideoEncoderSettingsValidator>();
}

KNVideoEncoderSettingsValidator::KNVideoEncoderSettingsValidator()
    : resolution_(KNUtils::utils()->frameSizeForResolution(kLargestOldPhoneResolution)) {}

int64_t KNVideoEncoderSettingsValidator::validateFrameResolutionWithError(int64_t resolution,
                                                                          std::shared_ptr<KNError>* error) {
    const KNVideoFrameSize asked = KNUtils::utils()->frameSizeForResolution(resolution);
    int64_t result = resolution;
    if (KNVersionsHelper::isIphone5sOrLower() && resolution > kLargestOldPhoneResolution) {
        result = kLargestOldPhoneResolution;
        if (error) *error = notSupported(resolutionMessage(asked));
    }
    resolution_ = KNUtils::utils()->frameSizeForResolution(result);
    adjustBitrateIfNeeded();
    return result;
}

KNVideoFrameSize KNVideoEncoderSettingsValidator::validateFrameSizeWithError(KNVideoFrameSize size,
                                                                             std::shared_ptr<KNError>* error) {
    KNVideoFrameSize result = size;
    if (KNVersionsHelper::isIphone5sOrLower() && pixelCount(size) > kLargestOldPhoneResolution) {
        result = kLargestOldPhoneFrame;
        if (error) *error = notSupported(resolutionMessage(size));
    }
    resolution_ = result;
    adjustBitrateIfNeeded();
    return result;
}

int64_t KNVideoEncoderSettingsValidator::validateBitrateWithError(int64_t bitrate, std::shared_ptr<KNError>* error) {
    int64_t result = bitrate;
    if (KNVersionsHelper::isIphone5sOrLower()) {
        const std::optional<int64_t> maximum = maximumBitrate();
        if (maximum && *maximum < bitrate) {
            result = *maximum;
            if (error) {
                char message[128];
                std::snprintf(message, sizeof message,
                              "Bitrate %" PRId64 " not supported on current device/resolution, using %" PRId64
                              " instead.",
                              bitrate, result);
                *error = notSupported(message);
            }
        }
    }
    bitrate_ = result;
    return result;
}

int64_t KNVideoEncoderSettingsValidator::closestThresholdForCurrentResolution() const {
    const __int128 pixels = pixelCount(resolution_);
    int64_t closest = kLargestOldPhoneResolution;
    __int128 bestDistance = std::numeric_limits<int32_t>::max();
    // Ascending, so a frame halfway between two values takes the lower one.
    for (int64_t candidate : KNAllResolutions()) {
        const __int128 distance = candidate > pixels ? candidate - pixels : pixels - candidate;
        if (distance < bestDistance) {
            closest = candidate;
            bestDistance = distance;
        }
    }
    return closest;
}

int64_t KNVideoEncoderSettingsValidator::bitrateForCurrentResolution() const {
    const auto& table = thresholds();
    const auto found = table.find(closestThresholdForCurrentResolution());
    return found == table.end() ? 0 : found->second;
}

std::optional<int64_t> KNVideoEncoderSettingsValidator::maximumBitrate() const {
    const int64_t closest = closestThresholdForCurrentResolution();
    const __int128 pixels = pixelCount(resolution_);
    // The scaling divides by the nearest standard frame; the custom value 0 is none, and a frame
    // without pixels has nothing to scale.
    if (closest == 0 || pixels <= 0) return std::nullopt;
    // Capped so that the product with a threshold stays within 128 bits; the result saturates anyway.
    const __int128 scaled = std::min<__int128>(pixels, std::numeric_limits<int64_t>::max());
    return saturatedInt32(scaled * bitrateForCurrentResolution() / closest);
}

int32_t KNVideoEncoderSettingsValidator::maxBitrateForCurrentResolution() const {
    return static_cast<int32_t>(maximumBitrate().value_or(std::numeric_limits<int32_t>::max()));
}

void KNVideoEncoderSettingsValidator::adjustBitrateIfNeeded() {
    const std::optional<int64_t> maximum = maximumBitrate();
    if (!maximum || bitrate_ <= *maximum) return;
    bitrate_ = *maximum;
    if (delegate_) delegate_->videoEncoderSettingsValidatorDidAdjustBitrate(this, bitrate_);
}
