// The ALSA backend without a sound card: alsa-lib's file plugin replays a WAV file as a capture
// device over its null plugin (header bytes included: it reads the file raw).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "AudioCaptureTestSupport.h"
#include "capture/KNAudioCapture.h"
#include "support/TestServer.h"

using namespace audiotest;
using kntest::waitFor;
using namespace std::chrono_literals;

namespace {

// 48 kHz 16-bit mono, each sample its index times 5, so order and loss both show (little-endian host).
std::vector<uint8_t> makeWav(uint32_t frames) {
    const uint32_t header[] = {0x46464952, 36 + frames * 2, 0x45564157, 0x20746d66, 16, 0x00010001, 48000, 96000,
                               0x00100002, 0x61746164, frames * 2};
    std::vector<uint8_t> wav(sizeof header + frames * 2);
    std::memcpy(wav.data(), header, sizeof header);
    for (uint32_t i = 0; i < frames; ++i) {
        const auto sample = static_cast<uint16_t>(i * 5);
        std::memcpy(wav.data() + sizeof header + i * 2, &sample, 2);
    }
    return wav;
}

TEST(KNAudioCaptureAlsa, FileDeviceDeliversItsBytesInOrderWithFrameCountingTimes) {
    const std::string base = std::string(KESTRUNE_TEST_TMP) + "/alsa-" + std::to_string(getpid());
    const std::string wavPath = base + ".wav";
    const std::string configPath = base + ".conf";
    const std::vector<uint8_t> wav = makeWav(6000);
    std::ofstream(wavPath, std::ios::binary).write(reinterpret_cast<const char*>(wav.data()), wav.size());
    std::ofstream(configPath) << "pcm.kn_wav { type file slave.pcm { type null } file \"/dev/null\" infile \""
                              << wavPath << "\" format \"raw\" }\n";
    setenv("KESTRUNE_AUDIO_BACKEND", "alsa", 1);
    setenv("KESTRUNE_ALSA_CONFIG", configPath.c_str(), 1);
    setenv("KESTRUNE_ALSA_DEVICE", "kn_wav", 1);
    platform::AudioSession::shared()->reset();
    auto delegate = std::make_shared<RecordingDelegate>();
    auto microphone = makeCapture(delegate);
    EXPECT_EQ(microphone->deliveredSampleRate(), 48000u);
    microphone->setRunning(true);
    const bool allRead = waitFor([&] { return delegate->bytes.load() >= wav.size(); }, 5s);
    microphone->setRunning(false);
    unlink(wavPath.c_str());
    unlink(configPath.c_str());
    ASSERT_TRUE(allRead);
    std::vector<uint8_t> stream;
    uint64_t frames = 0;
    for (const Delivery& d : delegate->taken()) {
        EXPECT_EQ(d.timestamp, frames);
        EXPECT_LE(d.bytes.size(), 2048u);
        frames += d.bytes.size() / 2;
        stream.insert(stream.end(), d.bytes.begin(), d.bytes.end());
    }
    ASSERT_GE(stream.size(), wav.size());
    EXPECT_TRUE(std::equal(wav.begin(), wav.end(), stream.begin()));
}

}  // namespace
