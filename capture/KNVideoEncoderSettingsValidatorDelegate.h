#pragma once
// Told when the validator lowers the bitrate it keeps; on the thread that validated.
#include <cstdint>

class KNVideoEncoderSettingsValidator;

class KNVideoEncoderSettingsValidatorDelegate {
public:
    virtual ~KNVideoEncoderSettingsValidatorDelegate() = default;
    virtual void videoEncoderSettingsValidatorDidAdjustBitrate(KNVideoEncoderSettingsValidator* validator,
                                                               int64_t bitrate) = 0;
};
