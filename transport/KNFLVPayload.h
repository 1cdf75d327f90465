#pragma once
// Bytes of the FLV tag bodies the publisher writes: H.264 and AAC payloads, their sequence
// headers and the onMetaData data message. Pure functions, no session.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class KNMetadata;

class KNFLVPayload {
public:
    // What an AAC sequence header declares: sampling-frequency index and channel configuration.
    struct AudioConfig {
        int samplingIndex = 3;
        int channels = 1;
        bool operator==(const AudioConfig&) const = default;
    };

    // The parts of an ADTS header the publisher uses. Null for input that is not one ADTS frame
    // with payload: too short, no sync word, or no bytes after the header (7, or 9 with a CRC).
    struct ADTSHeader {
        size_t headerLengthBytes = 7;
        AudioConfig config;
    };
    static std::optional<ADTSHeader> parseADTS(const uint8_t* data, size_t lengthBytes);

    // Standard sampling-frequency index (96000 -> 0 ... 8000 -> 11); rates outside the table are
    // declared as 48000 Hz.
    static int samplingFrequencyIndex(int64_t sampleRateHz);
    // The declaration made from the stream description; no description reads as 48000 Hz mono.
    static AudioConfig audioConfigFromMetadata(const KNMetadata* metadata);
    // AF 00 followed by the AAC LC AudioSpecificConfig.
    static std::array<uint8_t, 4> aacSequenceHeader(const AudioConfig& config);

    // Parameter sets the AVC header can be built from: an SPS carrying profile, compatibility
    // and level (4 bytes or more), a PPS, and both short enough for their 16-bit lengths.
    static bool parameterSetsUsable(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps);
    // AVCDecoderConfigurationRecord tag body (SPS length + PPS length + 16 bytes).
    static std::vector<uint8_t> avcSequenceHeader(const std::vector<uint8_t>& sps,
                                                  const std::vector<uint8_t>& pps);

    // Video tag body of one NAL unit into `out` (nalLength + 9 bytes).
    static constexpr size_t kVideoBodyOverheadBytes = 9;
    static void writeVideoBody(uint8_t* out, const uint8_t* nal, size_t nalLength, bool keyFrame);
    // Raw AAC tag body of one ADTS frame into `out` (2 bytes + the frame minus its header).
    static size_t writeAudioBody(uint8_t* out, const uint8_t* adts, size_t lengthBytes,
                                 size_t headerLengthBytes);

    // "@setDataFrame" "onMetaData" with the stream description, AMF0.
    static constexpr size_t kMetaDataAreaBytes = 2030;
    static std::vector<uint8_t> onMetaData(const KNMetadata& metadata);
};
