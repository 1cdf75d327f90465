// The ALSA backend without a sound card: alsa-lib's file plugin replays a WAV file as a capture
// device (header bytes included, as it reads the file raw), over its null plugin.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "AudioCaptureTestSupport.h"
#include "capture/KNAudioCapture.h"
#include "platform/RunLoop.h"
#include "support/TestServer.h"

using namespace audiotest;
using kntest::waitFor;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kWavFrames = 6000;

void put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t value) {
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}

// 48 kHz 16-bit mono, each sample its own index times 5, so order and loss both show.
std::vector<uint8_t> makeWav(uint32_t frames) {
    std::vector<uint8_t> wav{'R', 'I', 'F', 'F'};
    put32(wav, 36 + frames * 2);
    wav.insert(wav.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(wav, 16);
    put16(wav, 1);
    put16(wav, 1);
    put32(wav, 48000);
    put32(wav, 96000);
    put16(wav, 2);
    put16(wav, 16);
    wav.insert(wav.end(), {'d', 'a', 't', 'a'});
    put32(wav, frames * 2);
    for (uint32_t i = 0; i < frames; ++i) put16(wav, (i * 5) & 0xffff);
    return wav;
}

void writeFile(const std::string& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

class KNAudioCaptureAlsaTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string base = std::string(KESTRUNE_TEST_TMP) + "/alsa-" + std::to_string(getpid());
        wavPath = base + ".wav";
        configPath = base + ".conf";
        wav = makeWav(kWavFrames);
        writeFile(wavPath, wav.data(), wav.size());
        const std::string config = "pcm.kn_wav { type file slave.pcm { type null } file \"/dev/null\" infile \"" +
                                   wavPath + "\" format \"raw\" }\npcm.kn_null { type null }\n";
        writeFile(configPath, config.data(), config.size());
        setenv("KESTRUNE_AUDIO_BACKEND", "alsa", 1);
        setenv("KESTRUNE_ALSA_CONFIG", configPath.c_str(), 1);
    }
    static void TearDownTestSuite() {
        unlink(wavPath.c_str());
        unlink(configPath.c_str());
    }
    void SetUp() override { platform::AudioSession::shared()->reset(); }

    std::shared_ptr<KNAudioCapture> capture(const char* device) {
        setenv("KESTRUNE_ALSA_DEVICE", device, 1);
        auto made = KNAudioCapture::initWithAudioConfiguration();
        made->setConfigureAudioSessionManually(true);
        made->setDelegate(delegate);
        return made;
    }

    static inline std::string wavPath, configPath;
    static inline std::vector<uint8_t> wav;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

TEST_F(KNAudioCaptureAlsaTest, FileDeviceDeliversItsBytesInOrderWithFrameCountingTimes) {
    auto microphone = capture("kn_wav");
    EXPECT_EQ(microphone->deliveredSampleRate(), 48000u);
    microphone->setRunning(true);
    size_t received = 0;
    ASSERT_TRUE(waitFor(
        [&] {
            received = 0;
            for (const Delivery& d : delegate->taken()) received += d.bytes.size();
            return received >= wav.size();
        },
        5s));
    microphone->setRunning(false);
    std::vector<uint8_t> stream;
    uint64_t frames = 0;
    for (const Delivery& d : delegate->taken()) {
        EXPECT_EQ(d.timestamp, frames);
        EXPECT_LE(d.bytes.size(), 2048u);
        EXPECT_EQ(d.bytes.size() % 2, 0u);
        frames += d.bytes.size() / 2;
        stream.insert(stream.end(), d.bytes.begin(), d.bytes.end());
    }
    ASSERT_GE(stream.size(), wav.size());
    EXPECT_TRUE(std::equal(wav.begin(), wav.end(), stream.begin()));
}

TEST_F(KNAudioCaptureAlsaTest, NullDeviceRunsAndStopsAndAMissingOneIsReported) {
    auto microphone = capture("kn_null");
    microphone->setRunning(true);
    ASSERT_TRUE(waitFor([&] { return delegate->count.load() >= 20; }, 5s));
    microphone->setRunning(false);
    delegate->closed = true;

    std::atomic<int> posts{0};
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        LFAudioComponentFailedToCreateNotification, nullptr, [&](const platform::Notification&) { ++posts; });
    auto missing = capture("kn_not_defined");
    EXPECT_TRUE(platform::RunLoop::main().runUntil([&] { return posts.load() == 2; }, 5s));
    platform::NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(delegate->lateCallbacks.load(), 0);
}

}  // namespace
