#include "transport/KNFLVPayload.h"

#include <cstring>
#include <string>

#include <librtmp/amf.h>

#include "core/KNMetadata.h"

namespace {

constexpr int kSampleRatesHz[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                  22050, 16000, 12000, 11025, 8000,  7350};
constexpr int kLastSamplingIndex = 12;
constexpr int kUnknownRateIndex = 3;  // 48000 Hz
constexpr uint8_t kAACObjectTypeLC = 2;
constexpr size_t kMaxParameterSetBytes = 0xFFFF;

AVal aval(const char* text) {
    return AVal{const_cast<char*>(text), static_cast<int>(std::strlen(text))};
}

AVal aval(const std::optional<std::string>& text) {
    if (!text) return aval("");
    return AVal{const_cast<char*>(text->data()), static_cast<int>(text->size())};
}

}  // namespace

std::optional<KNFLVPayload::ADTSHeader> KNFLVPayload::parseADTS(const uint8_t* data, size_t lengthBytes) {
    if (!data || lengthBytes <= 7) return std::nullopt;
    if (data[0] != 0xFF || (data[1] & 0xF0) != 0xF0) return std::nullopt;
    ADTSHeader header;
    header.headerLengthBytes = (data[1] & 0x01) ? 7 : 9;  // protection_absent clear: CRC follows
    if (lengthBytes <= header.headerLengthBytes) return std::nullopt;
    header.config.samplingIndex = (data[2] >> 2) & 0x0F;
    if (header.config.samplingIndex > kLastSamplingIndex) return std::nullopt;
    header.config.channels = ((data[2] & 0x01) << 2) | (data[3] >> 6);
    return header;
}

int KNFLVPayload::samplingFrequencyIndex(int64_t sampleRateHz) {
    for (int index = 0; index <= kLastSamplingIndex; ++index) {
        if (kSampleRatesHz[index] == sampleRateHz) return index;
    }
    return kUnknownRateIndex;
}

KNFLVPayload::AudioConfig KNFLVPayload::audioConfigFromMetadata(const KNMetadata* metadata) {
    AudioConfig config;
    if (metadata) {
        config.samplingIndex = samplingFrequencyIndex(metadata->audioSampleRate());
        config.channels = metadata->audioStereo() ? 2 : 1;
    }
    return config;
}

std::array<uint8_t, 4> KNFLVPayload::aacSequenceHeader(const AudioConfig& config) {
    const auto index = static_cast<uint8_t>(config.samplingIndex & 0x0F);
    const auto channels = static_cast<uint8_t>(config.channels & 0x0F);
    return {0xAF, 0x00, static_cast<uint8_t>((kAACObjectTypeLC << 3) | (index >> 1)),
            static_cast<uint8_t>(((index & 0x01) << 7) | (channels << 3))};
}

bool KNFLVPayload::parameterSetsUsable(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps) {
    return sps.size() >= 4 && sps.size() <= kMaxParameterSetBytes && !pps.empty() &&
           pps.size() <= kMaxParameterSetBytes;
}

std::vector<uint8_t> KNFLVPayload::avcSequenceHeader(const std::vector<uint8_t>& sps,
                                                     const std::vector<uint8_t>& pps) {
    const size_t s = sps.size();
    const size_t p = pps.size();
    // Sized once and filled in place (gcc 12 misreads initializer-list inserts at -O3).
    std::vector<uint8_t> body(13 + s + 3 + p);
    const uint8_t head[13] = {0x17, 0x00, 0x00, 0x00, 0x00, 0x01, sps[1], sps[2], sps[3], 0xFF, 0xE1,
                              static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s)};
    uint8_t* out = body.data();
    std::memcpy(out, head, sizeof head);
    std::memcpy(out + 13, sps.data(), s);
    out[13 + s] = 0x01;
    out[14 + s] = static_cast<uint8_t>(p >> 8);
    out[15 + s] = static_cast<uint8_t>(p);
    std::memcpy(out + 16 + s, pps.data(), p);
    return body;
}

void KNFLVPayload::writeVideoBody(uint8_t* out, const uint8_t* nal, size_t nalLength, bool keyFrame) {
    out[0] = keyFrame ? 0x17 : 0x27;
    out[1] = 0x01;
    out[2] = out[3] = out[4] = 0x00;
    out[5] = static_cast<uint8_t>(nalLength >> 24);
    out[6] = static_cast<uint8_t>(nalLength >> 16);
    out[7] = static_cast<uint8_t>(nalLength >> 8);
    out[8] = static_cast<uint8_t>(nalLength);
    std::memcpy(out + kVideoBodyOverheadBytes, nal, nalLength);
}

size_t KNFLVPayload::writeAudioBody(uint8_t* out, const uint8_t* adts, size_t lengthBytes,
                                    size_t headerLengthBytes) {
    out[0] = 0xAF;
    out[1] = 0x01;
    const size_t payload = lengthBytes - headerLengthBytes;
    std::memcpy(out + 2, adts + headerLengthBytes, payload);
    return payload + 2;
}

std::vector<uint8_t> KNFLVPayload::onMetaData(const KNMetadata& metadata) {
    std::vector<char> area(kMetaDataAreaBytes);
    char* const begin = area.data();
    char* const end = begin + area.size();
    char* p = begin;
    const AVal setDataFrame = aval("@setDataFrame");
    const AVal onMetaDataName = aval("onMetaData");
    const AVal videoCodecId = aval(metadata.videoCodecId());
    const AVal audioCodecId = aval(metadata.audioCodecId());
    const AVal names[] = {aval("duration"),      aval("fileSize"),        aval("videocodecid"),
                          aval("width"),         aval("height"),          aval("videodatarate"),
                          aval("framerate"),     aval("audiocodecid"),    aval("audiodatarate"),
                          aval("audiosamplerate"), aval("audiosamplesize"), aval("stereo")};

    p = AMF_EncodeString(p, end, &setDataFrame);
    if (p) p = AMF_EncodeString(p, end, &onMetaDataName);
    if (p && p < end) *p++ = AMF_OBJECT;
    if (p) p = AMF_EncodeNamedNumber(p, end, &names[0], 0.0);
    if (p) p = AMF_EncodeNamedNumber(p, end, &names[1], 0.0);
    if (p) p = AMF_EncodeNamedString(p, end, &names[2], &videoCodecId);
    if (p) p = AMF_EncodeNamedNumber(p, end, &names[3], metadata.videoWidth());
    if (p) p = AMF_EncodeNamedNumber(p, end, &names[4], metadata.videoHeight());
    if (p) p = AMF_EncodeNamedNumber(p, end, &names[5], metadata.videoBitrate() / 1000.0);
    if (p) p = AMF_EncodeNamedNumber(p, end, &names[6], metadata.videoFramerate());
    if (p) p = AMF_EncodeNamedString(p, end, &names[7], &audioCodecId);
    if (p) p = AMF_EncodeNamedNumber(p, end, &names[8], metadata.audioBitrate() / 1000.0);
    if (p) p = AMF_EncodeNamedNumber(p, end, &names[9], metadata.audioSampleRate());
    if (p) p = AMF_EncodeNamedNumber(p, end, &names[10], metadata.audioSampleSize());
    if (p) p = AMF_EncodeNamedBoolean(p, end, &names[11], metadata.audioStereo());
    if (!p || end - p < 3) return {};
    *p++ = 0x00;
    *p++ = 0x00;
    *p++ = AMF_OBJECT_END;
    return std::vector<uint8_t>(begin, p);
}
