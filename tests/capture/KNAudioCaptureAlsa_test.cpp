// The ALSA backend without a sound card: alsa-lib's file plugin replays a WAV file as a capture
// device over its null plugin (header bytes included: it reads the file raw), and a device made
// in-process with its I/O plugin API takes the faults the test throws.
#include <alsa/asoundlib.h>
// The plugin header has no C++ guard of its own.
extern "C" {
#include <alsa/pcm_ioplug.h>
}
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "AudioCaptureTestSupport.h"
#include "capture/KNAudioCapture.h"
#include "platform/RunLoop.h"
#include "platform/audio/AlsaInputUnit.h"
#include "support/TestServer.h"

using namespace audiotest;
using namespace platform;
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

enum class Fault { None, Overrun, Suspend, Unplug };

// Takes 8 to 22.05 kHz in periods of 2048 frames or more, with a period ready whenever asked and
// each sample its frame number.
struct FaultDevice {
    FaultDevice() {
        static const snd_pcm_ioplug_callback_t callbacks = [] {
            snd_pcm_ioplug_callback_t c{};
            c.start = [](snd_pcm_ioplug_t*) { return 0; };
            c.stop = [](snd_pcm_ioplug_t*) { return 0; };
            c.prepare = [](snd_pcm_ioplug_t* io) {
                static_cast<FaultDevice*>(io->private_data)->hw = 0;
                return 0;
            };
            c.pointer = &FaultDevice::pointer;
            c.transfer = &FaultDevice::transfer;
            return c;
        }();
        io.version = SND_PCM_IOPLUG_VERSION;
        io.name = "kestrune fault device";
        io.callback = &callbacks;
        io.private_data = this;
        io.poll_fd = eventFd;
        io.poll_events = POLLIN;
        EXPECT_EQ(snd_pcm_ioplug_create(&io, "kn_fault", SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK), 0);
        unsigned access = SND_PCM_ACCESS_RW_INTERLEAVED;
        unsigned format = SND_PCM_FORMAT_S16;
        snd_pcm_ioplug_set_param_list(&io, SND_PCM_IOPLUG_HW_ACCESS, 1, &access);
        snd_pcm_ioplug_set_param_list(&io, SND_PCM_IOPLUG_HW_FORMAT, 1, &format);
        snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 1);
        snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_RATE, 8000, 22050);
        snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 4096, 16384);
        snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_PERIODS, 2, 8);
    }
    ~FaultDevice() { close(eventFd); }

    static snd_pcm_sframes_t pointer(snd_pcm_ioplug_t* io) {
        auto* self = static_cast<FaultDevice*>(io->private_data);
        const Fault fault = self->fault.exchange(Fault::None);
        if (fault == Fault::Overrun) return -EPIPE;
        if (fault == Fault::Suspend) snd_pcm_ioplug_set_state(io, SND_PCM_STATE_SUSPENDED);
        if (fault == Fault::Unplug) snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED);
        // One period ahead of the reader, so the device never overruns by itself.
        if (fault == Fault::None && self->hw < io->appl_ptr + io->period_size) self->hw += io->period_size;
        return static_cast<snd_pcm_sframes_t>(self->hw % io->buffer_size);
    }
    static snd_pcm_sframes_t transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                      snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
        auto* self = static_cast<FaultDevice*>(io->private_data);
        auto* out = static_cast<int16_t*>(areas[0].addr) + areas[0].first / 16 + offset;
        for (snd_pcm_uframes_t i = 0; i < size; ++i) out[i] = static_cast<int16_t>(self->produced++);
        return static_cast<snd_pcm_sframes_t>(size);
    }

    int eventFd = eventfd(1, 0);  // always readable
    snd_pcm_ioplug_t io{};
    snd_pcm_uframes_t hw = 0;
    uint64_t produced = 0;
    std::atomic<Fault> fault{Fault::None};
};

class KNAudioCaptureAlsaTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string base = std::string(KESTRUNE_TEST_TMP) + "/alsa-" + std::to_string(getpid());
        wavPath = base + ".wav";
        configPath = base + ".conf";
        std::ofstream(wavPath, std::ios::binary).write(reinterpret_cast<const char*>(wav.data()), wav.size());
        std::ofstream(configPath) << "pcm.kn_wav { type file slave.pcm { type null } file \"/dev/null\" infile \""
                                  << wavPath << "\" format \"raw\" }\n";
        setenv("KESTRUNE_AUDIO_BACKEND", "alsa", 1);
        setenv("KESTRUNE_ALSA_CONFIG", configPath.c_str(), 1);
    }
    static void TearDownTestSuite() {
        unlink(wavPath.c_str());
        unlink(configPath.c_str());
    }
    void SetUp() override { AudioSession::shared()->reset(); }
    bool waitForMoreDeliveries(int more) {
        const int target = delegate->count.load() + more;
        return waitFor([&] { return delegate->count.load() >= target; }, 5s);
    }

    static inline std::string wavPath, configPath;
    static inline const std::vector<uint8_t> wav = makeWav(6000);
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

TEST_F(KNAudioCaptureAlsaTest, FileDeviceDeliversItsBytesInOrderWithFrameCountingTimes) {
    setenv("KESTRUNE_ALSA_DEVICE", "kn_wav", 1);
    auto microphone = makeCapture(delegate);
    EXPECT_EQ(microphone->deliveredSampleRate(), 48000u);
    microphone->setRunning(true);
    ASSERT_TRUE(waitFor([&] { return delegate->bytes.load() >= wav.size(); }, 5s));
    microphone->setRunning(false);
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

TEST_F(KNAudioCaptureAlsaTest, MissingDeviceIsReportedAndDeliversNothing) {
    setenv("KESTRUNE_ALSA_DEVICE", "kn_not_defined", 1);
    std::atomic<int> posts{0};
    auto token = NotificationCenter::defaultCenter().addObserver(LFAudioComponentFailedToCreateNotification, nullptr,
                                                                 [&](const Notification&) { ++posts; });
    auto microphone = makeCapture(delegate);
    microphone->setRunning(true);
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return posts.load() == 2; }, 5s));
    NotificationCenter::defaultCenter().removeObserver(token);
    microphone->setRunning(false);
    EXPECT_EQ(delegate->count.load(), 0);
}

TEST_F(KNAudioCaptureAlsaTest, DeviceRateShortPeriodsAndRecoveryFromOverrunSuspendAndUnplug) {
    std::vector<std::pair<std::string, int64_t>> posted;
    auto record = [&](const Notification& n) {
        for (const char* key : {kAudioSessionInterruptionTypeKey, kAudioSessionRouteChangeReasonKey}) {
            if (n.userInfo.count(key)) posted.emplace_back(n.name, std::any_cast<int64_t>(n.userInfo.at(key)));
        }
    };
    auto& center = NotificationCenter::defaultCenter();
    const auto a = center.addObserver(kAudioSessionInterruptionNotification, nullptr, record);
    const auto b = center.addObserver(kAudioSessionRouteChangeNotification, nullptr, record);
    AudioSession::shared()->setHardwareSampleRate(48000);
    FaultDevice device;
    auto unit = std::make_shared<AlsaInputUnit>(device.io.pcm, nullptr);
    ScopedComponent component(unit);
    auto microphone = makeCapture(delegate);
    EXPECT_EQ(microphone->deliveredSampleRate(), 22050u);
    microphone->setRunning(true);
    ASSERT_TRUE(waitForMoreDeliveries(8));
    uint64_t frames = 0;
    for (const Delivery& d : delegate->taken()) {
        EXPECT_LE(d.bytes.size(), 2048u);
        EXPECT_EQ(d.timestamp, frames);
        EXPECT_EQ(d.bytes[0] | d.bytes[1] << 8, static_cast<int>(frames & 0xffff));
        frames += d.bytes.size() / 2;
    }
    for (Fault fault : {Fault::Overrun, Fault::Suspend}) {
        device.fault = fault;
        ASSERT_TRUE(waitForMoreDeliveries(5));
    }
    // The capture has stopped and restarted the unit around the suspend by the time both ran.
    AudioSession::shared()->flushNotifications();
    microphone->taskQueue()->sync([] {});
    device.fault = Fault::Unplug;
    ASSERT_TRUE(waitFor([&] { return !unit->isRunning(); }, 5s));
    AudioSession::shared()->flushNotifications();
    center.removeObserver(a);
    center.removeObserver(b);
    const std::vector<std::pair<std::string, int64_t>> expected{
        {kAudioSessionInterruptionNotification, kAudioSessionInterruptionTypeBegan},
        {kAudioSessionInterruptionNotification, kAudioSessionInterruptionTypeEnded},
        {kAudioSessionRouteChangeNotification, kAudioSessionRouteChangeReasonOldDeviceUnavailable},
    };
    EXPECT_EQ(posted, expected);
    microphone->endSession();
    // Frames lost in the overrun may move the clock on; it never goes back.
    const auto deliveries = delegate->taken();
    for (size_t i = 1; i < deliveries.size(); ++i) {
        EXPECT_GE(deliveries[i].timestamp, deliveries[i - 1].timestamp + deliveries[i - 1].bytes.size() / 2);
    }
}

}  // namespace
