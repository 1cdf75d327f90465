#pragma once
// The real encoders wired into the local saver, and ffprobe's view.
#include <cmath>
#include <future>
#include <nlohmann/json.hpp>

#include "support/TestServer.h"
#include "support/VideoTestMedia.h"
#include "encoding/KNAACEncoder2.h"
#include "encoding/KNLocalSaver.h"

namespace savertest {

struct StopResult {
    std::optional<platform::URL> url;
    std::shared_ptr<KNError> error;
};

// What the stop completion received (an error "no answer" after 20 s).
// An error as its first code and message, for comparing and for messages.
inline std::string describe(const std::shared_ptr<KNError>& error) {
    if (!error) return "none";
    return std::to_string(error->errorCodes().at(0)) + " " + error->message().value_or("");
}

inline StopResult stopAndWait(KNLocalSaver& saver) {
    auto promise = std::make_shared<std::promise<StopResult>>();
    saver.stopSavingStream([promise](std::optional<platform::URL> url, std::shared_ptr<KNError> error) {
        promise->set_value({std::move(url), std::move(error)});
    });
    auto future = promise->get_future();
    if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
        return {std::nullopt, KNError::errorWithCodesMessage({-1}, "no answer")};
    return future.get();
}

inline void drain(KNLocalSaver& saver) { saver.localSaverQueue()->sync([] {}); }

// Every encoded frame and packet goes to the saver; the cookie and delay are set once configured.
struct Forwarder : KNH264EncoderDelegate, KNAACEncoderDelegate {
    explicit Forwarder(std::shared_ptr<KNLocalSaver> saver) : saver(std::move(saver)) {}
    void H264EncoderDidExtractSpsPps(KNH264Encoder*, const KNH264EncoderDelegate::Bytes&,
                                     const KNH264EncoderDelegate::Bytes&) override {}
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder*, const KNH264EncoderDelegate::Bytes&, bool,
                                                     uint64_t) override {}
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder*, const std::shared_ptr<platform::SampleBuffer>& b) override {
        saver->writeEncodedVideo(b);
        ++videoFrames;
    }
    void AACEncoderDidEncodeDataWithDurationPresentationTime(KNAACEncoderBase*, const KNAACEncoderDelegate::Bytes& data,
                                                             platform::MediaTime duration,
                                                             platform::MediaTime pts) override {
        saver->writeEncodedAudioDurationPresentationTime(data, duration, pts);
    }
    void AACEncoderDidFinishConfiguring(KNAACEncoderBase* encoder) override {
        saver->setMagicCookie(encoder->magicCookie());
        saver->setAudioDecoderDelay(encoder->decoderDelay());
        configured = true;
    }
    std::shared_ptr<KNLocalSaver> saver;
    std::atomic<size_t> videoFrames{0};
    std::atomic<bool> configured{false};
};

constexpr int kFps = 30;
constexpr uint64_t kSampleRate = 44100;
constexpr size_t kChunkFrames = 1024;

// A real H.264 encoder and AAC encoder feeding one saver, driven frame by frame in media time.
struct Rig {
    explicit Rig(int32_t width = 320, int32_t height = 240, uint64_t keyFrameInterval = 30,
                 KNLocalSaver::Platform platform = KNLocalSaver::Platform::system())
        : width(width), height(height), saver(KNLocalSaver::create(std::move(platform))) {
        saver->setFilename(kntest::uniqueName("rec"));
        saver->setVideoWidthHeight(width, height);
        saver->setAudioSampleRate(kSampleRate);
        video->setDelegate(forwarder);
        video->setKeyFrameInterval(keyFrameInterval);
        audio->setDelegate(forwarder);
    }
    // Starts both encoders and waits until the AAC encoder has configured (one chunk is fed).
    bool startEncoders() {
        video->startEncodingWithResolutionHeight(width, height);
        audio->startEncoding();
        feedAudioChunk();
        return kntest::waitFor([&] { return forwarder->configured.load(); }, std::chrono::seconds(10));
    }
    void feedAudioChunk() {
        auto pcm = std::make_shared<std::vector<uint8_t>>(kChunkFrames * 2);
        for (size_t i = 0; i < kChunkFrames; ++i) {
            const double t = static_cast<double>(audioChunks * kChunkFrames + i) / kSampleRate;
            const auto sample = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * t));
            (*pcm)[2 * i] = static_cast<uint8_t>(sample & 0xFF);
            (*pcm)[2 * i + 1] = static_cast<uint8_t>((sample >> 8) & 0xFF);
        }
        audio->encodeAudioDataTimestamp(pcm, audioChunks * kChunkFrames * 1000 / kSampleRate);
        ++audioChunks;
    }
    // One video frame and the audio up to its end; false when the encoder did not deliver it.
    bool feedFrame() {
        const size_t before = forwarder->videoFrames.load();
        // The sound up to the frame's end reaches the saver before the picture: the file's time
        // origin is the first packet in, and a race here would move it from run to run.
        while (audioChunks * kChunkFrames * kFps < static_cast<uint64_t>(frames + 1) * kSampleRate) feedAudioChunk();
        audio->encoderQueue()->sync([] {});
        video->encode(kntest::videoSample(kntest::makePatternFrame(width, height, frames, noise),
                                          platform::MediaTime::make(frames, kFps)));
        ++frames;
        return kntest::waitFor([&] { return forwarder->videoFrames.load() > before; }, std::chrono::seconds(10));
    }
    bool feedSeconds(double seconds) {
        const int count = static_cast<int>(std::lround(seconds * kFps));
        for (int i = 0; i < count; ++i) {
            if (!feedFrame()) return false;
        }
        return true;
    }
    // Waits until every fed chunk has come out of the AAC encoder and reached the saver.
    void settle() {
        audio->encoderQueue()->sync([] {});
        drain(*saver);
    }
    void stopEncoders() {
        video->stopEncoding();
        audio->stopEncoding();
        kntest::drain(*video);
        audio->encoderQueue()->sync([] {});
    }

    int32_t width, height;
    int frames = 0;
    int noise = 0;  // luma steps of noise: more bytes per frame
    uint64_t audioChunks = 0;
    std::shared_ptr<KNLocalSaver> saver = KNLocalSaver::create();
    std::shared_ptr<Forwarder> forwarder = std::make_shared<Forwarder>(saver);
    std::shared_ptr<KNH264Encoder> video = KNH264Encoder::create();
    std::shared_ptr<KNAACEncoder2> audio = KNAACEncoder2::create();
};

// ffprobe's streams, format and the first packet of each stream, as JSON.
inline nlohmann::json probe(const std::string& file) {
    // Quiet: decoder complaints would break the JSON (decodeErrors checks them).
    const auto result = kntest::runCommand({"ffprobe", "-v", "quiet", "-count_packets", "-show_streams", "-show_format",
                                            "-of", "json", file});
    auto json = nlohmann::json::parse(result.output, nullptr, false);
    return json.is_discarded() ? nlohmann::json::object() : json;
}

inline nlohmann::json firstPacket(const std::string& file, const std::string& stream) {
    const auto result = kntest::runCommand({"ffprobe", "-v", "quiet", "-select_streams", stream, "-show_entries",
                                            "packet=pts_time,flags", "-read_intervals", "%+#1", "-of", "json", file});
    auto json = nlohmann::json::parse(result.output, nullptr, false);
    return json.is_discarded() || json["packets"].empty() ? nlohmann::json::object() : json["packets"][0];
}

// The first stream of `type` ("video", "audio") in a probe; empty when there is none.
inline nlohmann::json streamOfType(const nlohmann::json& info, const std::string& type) {
    for (const auto& stream : info.value("streams", nlohmann::json::array()))
        if (stream.value("codec_type", "") == type) return stream;
    return nlohmann::json::object();
}

inline double number(const nlohmann::json& value) {
    return value.is_string() ? std::atof(value.get<std::string>().c_str()) : value.is_number() ? value.get<double>() : -1;
}

// The decoder's complaints about the whole file (empty when it decodes cleanly).
inline std::string decodeErrors(const std::string& file) {
    const auto result = kntest::runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-f", "null", "-"});
    return result.exitCode == 0 ? result.output : "exit " + std::to_string(result.exitCode) + ": " + result.output;
}

}  // namespace savertest
