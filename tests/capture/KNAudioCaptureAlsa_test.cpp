// The ALSA backend without a sound card: alsa-lib's file plugin replays a WAV file as a capture
// device over its null plugin (header bytes included: it reads the file raw).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "AlsaFaultDevice.h"
#include "AudioCaptureTestSupport.h"
#include "kestrune/KNTypes.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
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

// The microphone on the in-process device, at a session rate of 48 kHz.
class AlsaFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KESTRUNE_AUDIO_BACKEND", "synthetic", 1);
        session->reset();
        session->setHardwareSampleRate(48000);
        ASSERT_TRUE(device.unit());
        component = std::make_unique<ScopedComponent>(device.unit());
        microphone = makeCapture(delegate);
        interruptions = platform::NotificationCenter::defaultCenter().addObserver(
            platform::kAudioSessionInterruptionNotification, nullptr, [this](const platform::Notification& n) {
                std::lock_guard lock(mutex);
                interruptionTypes.push_back(std::any_cast<int64_t>(n.userInfo.at(platform::kAudioSessionInterruptionTypeKey)));
            });
    }
    void TearDown() override {
        platform::NotificationCenter::defaultCenter().removeObserver(interruptions);
        microphone.reset();
        component.reset();
    }
    int deliveries() { return delegate->count.load(); }
    bool deliveriesGrowBy(int more) {
        const int target = deliveries() + more;
        return waitFor([&] { return deliveries() >= target; }, 5s);
    }
    // Frames follow each other without overlap: a gap is frames the device lost.
    void expectOrderedTimes() {
        uint64_t next = 0;
        for (const Delivery& d : delegate->taken()) {
            EXPECT_GE(d.timestamp, next);
            next = d.timestamp + d.bytes.size() / 2;
        }
    }

    AlsaFaultDevice device{44100};
    std::shared_ptr<platform::AudioSession> session = platform::AudioSession::shared();
    std::unique_ptr<ScopedComponent> component;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<KNAudioCapture> microphone;
    platform::NotificationCenter::Token interruptions = 0;
    std::mutex mutex;
    std::vector<int64_t> interruptionTypes;
};

TEST_F(AlsaFaultTest, ADeviceAtAnotherRateDeliversAtTheRateItReallyRuns) {
    EXPECT_EQ(microphone->deliveredSampleRate(), 44100u);
    microphone->setRunning(true);
    ASSERT_TRUE(deliveriesGrowBy(5));
    microphone->setRunning(false);
    const auto taken = delegate->taken();
    // The ramp arrives whole: each frame is its index.
    int16_t expected = 0;
    for (const Delivery& d : taken) {
        for (size_t i = 0; i + 1 < d.bytes.size(); i += 2) {
            int16_t sample = 0;
            std::memcpy(&sample, d.bytes.data() + i, 2);
            ASSERT_EQ(sample, expected);
            ++expected;
        }
    }
}

TEST_F(AlsaFaultTest, AnOverrunIsRecoveredAndCaptureGoesOnInOrder) {
    microphone->setRunning(true);
    ASSERT_TRUE(deliveriesGrowBy(3));
    device.inject(AlsaFaultDevice::Fault::Overrun);
    ASSERT_TRUE(waitFor([&] { return device.faultsReported() == 1; }, 5s));
    EXPECT_TRUE(deliveriesGrowBy(5));
    microphone->setRunning(false);
    expectOrderedTimes();
    EXPECT_EQ(delegate->failures.load(), 0);
}

TEST_F(AlsaFaultTest, ASuspendIsAnInterruptionThatEndsWithAResumeAndCaptureGoesOn) {
    microphone->setRunning(true);
    ASSERT_TRUE(deliveriesGrowBy(3));
    device.inject(AlsaFaultDevice::Fault::Suspend);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(mutex);
        return interruptionTypes.size() == 2;
    }, 5s));
    EXPECT_EQ(interruptionTypes, (std::vector<int64_t>{platform::kAudioSessionInterruptionTypeBegan,
                                                       platform::kAudioSessionInterruptionTypeEnded}));
    EXPECT_TRUE(deliveriesGrowBy(5));
    EXPECT_TRUE(microphone->isRunning());
    microphone->setRunning(false);
    expectOrderedTimes();
}

TEST_F(AlsaFaultTest, AnUnpluggedDeviceStopsTheCaptureAndIsReportedToTheOwnerAndOnTheMainQueue) {
    std::atomic<int> announced{0};
    const auto token = platform::NotificationCenter::defaultCenter().addObserver(
        LFAudioComponentFailedToCreateNotification, nullptr, [&](const platform::Notification&) { ++announced; });
    microphone->setRunning(true);
    ASSERT_TRUE(deliveriesGrowBy(3));
    device.inject(AlsaFaultDevice::Fault::Unplug);
    EXPECT_TRUE(platform::RunLoop::main().runUntil([&] { return announced.load() == 1; }, 5000ms));
    platform::NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_TRUE(waitFor([&] { return delegate->failures.load() == 1; }, 5s));
    EXPECT_FALSE(microphone->isRunning());
    EXPECT_FALSE(microphone->running());
    EXPECT_FALSE(device.unit()->isRunning());
    // Nothing more arrives, and a start on the gone device delivers nothing either.
    const int before = deliveries();
    microphone->setRunning(true);
    microphone->taskQueue()->sync([] {});
    microphone->setRunning(false);
    EXPECT_EQ(deliveries(), before);
}

}  // namespace
