#pragma once
// Media from ffmpeg's test sources, split as the encoders hand it over.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/KNMetadata.h"
#ifdef KESTRUNE_TEST_TMP  // in tests, not benchmarks
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "TestServer.h"
#endif

namespace kntest {

constexpr uint64_t kClockBaseMs = 86'400'000;  // a host clock reading

struct TestMediaOptions {
    int seconds = 4, width = 320, height = 240, fps = 25, gopFrames = 25, videoBitrateKbps = 500;
    int sampleRate = 44100, channels = 1;
};

struct TestMediaFrame {
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    bool video = false, keyFrame = false;
    uint64_t timestampMs = 0;  // from the start of the media
    Bytes data, sps, pps;      // one NAL unit (no start code) or ADTS frame; sps/pps with key frames
};

struct TestMedia {
    TestMediaOptions options;
    std::vector<TestMediaFrame> frames;  // by timestamp
    size_t videoFrames = 0, audioFrames = 0;
    uint64_t spanMs = 0;  // where a repeat may start
    std::string h264Path, aacPath, error;

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

template <class Publisher>  // as the encoders do: the parameter sets before each key frame
void handOver(Publisher& publisher, const TestMediaFrame& frame, uint64_t timestampMs) {
    if (frame.video && frame.keyFrame) publisher.setVideoSPSAndPPS(frame.sps, frame.pps);
    if (frame.video) publisher.sendVideoPacketIsKeyFrameTimestamp(frame.data, frame.keyFrame, timestampMs);
    if (!frame.video) publisher.sendAudioPacketTimestamp(frame.data, timestampMs);
}

inline TestMedia readTestMedia(const std::string& dir, const std::string& name, TestMediaOptions o);

inline TestMedia makeTestMedia(const std::string& dir, const std::string& name, TestMediaOptions o = {}) {
    TestMedia media{o, {}, 0, 0, 0, dir + "/" + name + ".h264", dir + "/" + name + ".aac", {}};
    const auto n = [](int v) { return std::to_string(v); };
    const std::string video = "-f lavfi -i testsrc2=size=" + n(o.width) + "x" + n(o.height) + ":rate=" + n(o.fps) +
                              " -t " + n(o.seconds) + " -pix_fmt yuv420p -c:v libx264 -profile:v main -bf 0 -g " +
                              n(o.gopFrames) + " -keyint_min " + n(o.gopFrames) + " -sc_threshold 0 -b:v " +
                              n(o.videoBitrateKbps) + "k -bsf:v 'filter_units=remove_types=6|9' -f h264 '" +
                              media.h264Path + "'";
    const std::string audio = "-f lavfi -i sine=frequency=440:sample_rate=" + n(o.sampleRate) + " -t " +
                              n(o.seconds) + " -ac " + n(o.channels) + " -c:a aac -b:a 64k -f adts '" +
                              media.aacPath + "'";
    const std::string log = dir + "/" + name + ".ffmpeg.log";
    for (const auto& args : {video, audio}) {
        if (std::system(("ffmpeg -nostdin -v error -y " + args + " >>'" + log + "' 2>&1").c_str()) != 0) {
            media.error = "ffmpeg failed, see " + log;
            return media;
        }
    }
    return readTestMedia(dir, name, o);
}

// The frames of media made before by makeTestMedia with the same options.
inline TestMedia readTestMedia(const std::string& dir, const std::string& name, TestMediaOptions o) {
    TestMedia media{o, {}, 0, 0, 0, dir + "/" + name + ".h264", dir + "/" + name + ".aac", {}};
    const auto readAll = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        std::vector<uint8_t> bytes(in ? static_cast<size_t>(in.tellg()) : 0);
        in.seekg(0);
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return bytes;
    };
    const auto h264 = readAll(media.h264Path);
    const auto unitAfter = [&](size_t from) {  // where the one after the next start code begins
        for (size_t i = from + 2; i < h264.size(); ++i) {
            const void* one = std::memchr(h264.data() + i, 1, h264.size() - i);
            if (!one) break;
            i = static_cast<size_t>(static_cast<const uint8_t*>(one) - h264.data());
            if (h264[i - 1] == 0 && h264[i - 2] == 0) return i + 1;
        }
        return h264.size() + 3;
    };
    TestMediaFrame::Bytes sps, pps;
    for (size_t at = unitAfter(0), next; at < h264.size(); at = next) {
        size_t end = (next = unitAfter(at)) - 3;
        while (end > at && h264[end - 1] == 0) --end;  // the zero a 4-byte start code begins with
        if (end == at) continue;
        auto unit = std::make_shared<const std::vector<uint8_t>>(h264.begin() + at, h264.begin() + end);
        const int type = (*unit)[0] & 0x1F;
        if (type == 7 || type == 8) (type == 7 ? sps : pps) = unit;
        if (type == 1 || type == 5) {
            media.frames.push_back({true, type == 5, media.videoFrames++ * 1000 / o.fps, unit,
                                    type == 5 ? sps : nullptr, type == 5 ? pps : nullptr});
        }
    }
    const auto aac = readAll(media.aacPath);
    for (size_t at = 0, length; at + 7 <= aac.size(); at += length) {
        length = ((aac[at + 3] & 0x03) << 11) | (aac[at + 4] << 3) | (aac[at + 5] >> 5);
        if (aac[at] != 0xFF || length < 7 || at + length > aac.size()) break;
        media.frames.push_back({false, false, media.audioFrames++ * 1024 * 1000 / o.sampleRate,
                                std::make_shared<const std::vector<uint8_t>>(&aac[at], &aac[at] + length), {}, {}});
    }
    std::stable_sort(media.frames.begin(), media.frames.end(),
                     [](const auto& a, const auto& b) { return a.timestampMs < b.timestampMs; });
    media.spanMs = media.frames.empty() ? 0 : media.frames.back().timestampMs + 1000 / o.fps + 1;
    if (media.videoFrames == 0 || media.audioFrames == 0 || !sps || !pps) media.error = "no media in ffmpeg output";
    return media;
}

#ifdef KESTRUNE_TEST_TMP
inline TestMedia scratchMedia(const std::string& name, TestMediaOptions options = {}) {
    const auto dir = std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName(name);
    std::filesystem::create_directories(dir);
    auto media = makeTestMedia(dir, "media", options);
    EXPECT_EQ(media.error, "");
    return media;
}

inline void expectRecording(const std::string& file, const TestMedia& media, size_t videoFed, size_t audioFed) {
    ASSERT_FALSE(file.empty()) << "no finished recording";
    const auto n = [](auto v) { return std::to_string(v); };
    std::istringstream lines(runCommand({"ffprobe", "-v", "error", "-count_packets", "-show_entries",
                                         "stream=codec_name,profile,width,height,sample_rate,channels,nb_read_packets",
                                         "-of", "csv=p=0", file}).output);
    std::set<std::string> streams;
    for (std::string line; std::getline(lines, line);) streams.insert(line);
    const auto& o = media.options;
    EXPECT_EQ(streams, (std::set<std::string>{"h264,Main," + n(o.width) + "," + n(o.height) + "," + n(videoFed),
                                              "aac,LC," + n(o.sampleRate) + "," + n(o.channels) + "," + n(audioFed)}));
    const auto decode = runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-f", "null", "-"});
    EXPECT_EQ(std::pair(decode.exitCode, decode.output), std::pair(0, std::string()));
}
#endif

}  // namespace kntest
