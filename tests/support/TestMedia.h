#pragma once
// Encoded media for publishing tests and benchmarks: ffmpeg makes H.264 (Main, no B-frames) and
// ADTS AAC from its test sources; the streams are split into NAL units and ADTS frames and laid
// out on one time line with millisecond timestamps, the way the encoders hand them over.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/KNMetadata.h"

namespace kntest {

struct TestMediaOptions {
    int seconds = 4;
    int width = 320;
    int height = 240;
    int fps = 25;
    int gopFrames = 25;
    int videoBitrateKbps = 500;
    int sampleRate = 44100;
    int channels = 1;
};

struct TestMediaFrame {
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    bool video = false;
    bool keyFrame = false;
    uint64_t timestampMs = 0;  // from the start of the media
    Bytes data;                // one NAL unit (no start code) or one ADTS frame
    Bytes sps, pps;            // with key frames
};

struct TestMedia {
    TestMediaOptions options;
    std::vector<TestMediaFrame> frames;  // by timestamp
    size_t videoFrames = 0;
    size_t audioFrames = 0;
    uint64_t durationMs = 0;
    // Offset at which a repeat of the media starts after every frame of this one.
    uint64_t spanMs = 0;
    std::string h264Path, aacPath;
    std::string error;  // non-empty when ffmpeg failed

    // What a publisher announces for this media.
    std::shared_ptr<const KNMetadata> metadata() const {
        auto m = KNMetadata::create();
        m->setVideoCodecId("avc1");
        m->setVideoWidth(options.width);
        m->setVideoHeight(options.height);
        m->setVideoBitrate(options.videoBitrateKbps * 1000);
        m->setVideoFramerate(options.fps);
        m->setAudioCodecId("mp4a");
        m->setAudioBitrate(64000);
        m->setAudioSampleRate(options.sampleRate);
        m->setAudioSampleSize(16);
        m->setAudioStereo(options.channels == 2);
        return m;
    }
};

// Hands one frame to a publisher as the encoders do: the parameter sets before each key frame.
template <class Publisher>
void handOver(Publisher& publisher, const TestMediaFrame& frame, uint64_t timestampMs) {
    if (frame.video) {
        if (frame.keyFrame) publisher.setVideoSPSAndPPS(frame.sps, frame.pps);
        publisher.sendVideoPacketIsKeyFrameTimestamp(frame.data, frame.keyFrame, timestampMs);
    } else {
        publisher.sendAudioPacketTimestamp(frame.data, timestampMs);
    }
}

namespace testmedia_detail {

inline std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline bool run(const std::string& command, const std::string& logPath) {
    return std::system((command + " >" + logPath + " 2>&1").c_str()) == 0;
}

// NAL units of an Annex B stream, without their start codes.
inline std::vector<std::vector<uint8_t>> splitAnnexB(const std::vector<uint8_t>& s) {
    std::vector<size_t> starts;  // first byte after each start code
    for (size_t i = 0; i + 3 <= s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    }
    std::vector<std::vector<uint8_t>> units;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : s.size();
        while (end > starts[k] && s[end - 1] == 0) --end;  // a 4-byte start code's leading zero
        units.emplace_back(s.begin() + starts[k], s.begin() + end);
    }
    return units;
}

}  // namespace testmedia_detail

// Writes DIR/<name>.h264 and DIR/<name>.aac and splits them.
inline TestMedia makeTestMedia(const std::string& dir, const std::string& name, TestMediaOptions options = {}) {
    using namespace testmedia_detail;
    TestMedia media;
    media.options = options;
    media.h264Path = dir + "/" + name + ".h264";
    media.aacPath = dir + "/" + name + ".aac";
    const std::string log = dir + "/" + name + ".ffmpeg.log";
    char video[1024];
    std::snprintf(video, sizeof(video),
                  "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=%dx%d:rate=%d -t %d -pix_fmt yuv420p "
                  "-c:v libx264 -profile:v main -bf 0 -g %d -keyint_min %d -sc_threshold 0 -b:v %dk "
                  "-bsf:v 'filter_units=remove_types=6|9' -f h264 '%s'",
                  options.width, options.height, options.fps, options.seconds, options.gopFrames, options.gopFrames,
                  options.videoBitrateKbps, media.h264Path.c_str());
    char audio[1024];
    std::snprintf(audio, sizeof(audio),
                  "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=%d -t %d -ac %d "
                  "-c:a aac -b:a 64k -f adts '%s'",
                  options.sampleRate, options.seconds, options.channels, media.aacPath.c_str());
    if (!run(video, log) || !run(audio, log + ".audio")) {
        media.error = "ffmpeg failed, see " + log;
        return media;
    }

    TestMediaFrame::Bytes sps, pps;
    for (auto& unit : splitAnnexB(readAll(media.h264Path))) {
        if (unit.empty()) continue;
        const int type = unit[0] & 0x1F;
        auto bytes = std::make_shared<const std::vector<uint8_t>>(std::move(unit));
        if (type == 7) sps = bytes;
        if (type == 8) pps = bytes;
        if (type != 1 && type != 5) continue;
        TestMediaFrame frame;
        frame.video = true;
        frame.keyFrame = type == 5;
        frame.timestampMs = media.videoFrames * 1000 / options.fps;
        frame.data = bytes;
        if (frame.keyFrame) {
            frame.sps = sps;
            frame.pps = pps;
        }
        media.frames.push_back(frame);
        ++media.videoFrames;
    }

    const auto aac = readAll(media.aacPath);
    for (size_t at = 0; at + 7 <= aac.size();) {
        const size_t length = ((aac[at + 3] & 0x03) << 11) | (aac[at + 4] << 3) | (aac[at + 5] >> 5);
        if (aac[at] != 0xFF || length < 7 || at + length > aac.size()) break;
        TestMediaFrame frame;
        frame.timestampMs = media.audioFrames * 1024 * 1000 / options.sampleRate;
        frame.data = std::make_shared<const std::vector<uint8_t>>(aac.begin() + at, aac.begin() + at + length);
        media.frames.push_back(frame);
        ++media.audioFrames;
        at += length;
    }
    std::stable_sort(media.frames.begin(), media.frames.end(),
                     [](const auto& a, const auto& b) { return a.timestampMs < b.timestampMs; });
    media.durationMs = static_cast<uint64_t>(options.seconds) * 1000;
    media.spanMs = media.frames.empty() ? 0 : media.frames.back().timestampMs + 1000 / options.fps + 1;
    if (media.videoFrames == 0 || media.audioFrames == 0 || !sps || !pps) media.error = "no media in ffmpeg output";
    return media;
}

}  // namespace kntest
