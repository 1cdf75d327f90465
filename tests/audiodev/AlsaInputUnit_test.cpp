// The ALSA unit against a capture device made in-process with alsa-lib's I/O plugin API, whose
// faults the test throws: an overrun, a suspend, an unplug, a narrow rate range, long periods.
#include "platform/audio/AlsaInputUnit.h"

#include <alsa/asoundlib.h>
// The plugin header has no C++ guard of its own.
extern "C" {
#include <alsa/pcm_ioplug.h>
}
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "platform/NotificationCenter.h"
#include "platform/audio/AudioSession.h"
#include "support/TestServer.h"

namespace {

using namespace platform;
using namespace std::chrono_literals;
using kntest::waitFor;

enum class Fault { None, Overrun, Suspend, Unplug };

// A capture device that always has a period ready; each sample is the running frame number.
struct FaultDevice {
    FaultDevice(unsigned maxRate, unsigned minPeriodBytes) {
        static const snd_pcm_ioplug_callback_t callbacks = [] {
            snd_pcm_ioplug_callback_t c{};
            c.start = [](snd_pcm_ioplug_t*) { return 0; };
            c.stop = [](snd_pcm_ioplug_t*) { return 0; };
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
        unsigned access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
        unsigned format[] = {SND_PCM_FORMAT_S16};
        snd_pcm_ioplug_set_param_list(&io, SND_PCM_IOPLUG_HW_ACCESS, 1, access);
        snd_pcm_ioplug_set_param_list(&io, SND_PCM_IOPLUG_HW_FORMAT, 1, format);
        snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 1);
        snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_RATE, 8000, maxRate);
        snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, minPeriodBytes, 16384);
        snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_PERIODS, 2, 8);
    }
    ~FaultDevice() { close(eventFd); }

    static snd_pcm_sframes_t pointer(snd_pcm_ioplug_t* io) {
        auto* self = static_cast<FaultDevice*>(io->private_data);
        switch (self->fault.exchange(Fault::None)) {
            case Fault::Overrun:
                return -EPIPE;
            case Fault::Suspend:
                snd_pcm_ioplug_set_state(io, SND_PCM_STATE_SUSPENDED);
                break;
            case Fault::Unplug:
                snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED);
                break;
            case Fault::None:
                self->hw += io->period_size;
                break;
        }
        return static_cast<snd_pcm_sframes_t>(self->hw % io->buffer_size);
    }
    static snd_pcm_sframes_t transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                      snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
        auto* self = static_cast<FaultDevice*>(io->private_data);
        auto* samples = reinterpret_cast<int16_t*>(static_cast<char*>(areas[0].addr) +
                                                   (areas[0].first + offset * areas[0].step) / 8);
        for (snd_pcm_uframes_t i = 0; i < size; ++i) samples[i] = static_cast<int16_t>(self->produced++);
        return static_cast<snd_pcm_sframes_t>(size);
    }

    int eventFd = eventfd(1, 0);  // always readable: a period is always ready
    snd_pcm_ioplug_t io{};
    snd_pcm_uframes_t hw = 0;
    uint64_t produced = 0;
    std::atomic<Fault> fault{Fault::None};
};

struct Collector {
    static MediaStatus callback(void* refCon, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* ts, uint32_t bus,
                                uint32_t frames, AudioBufferList*) {
        auto* self = static_cast<Collector*>(refCon);
        AudioBufferList list;
        list.numberBuffers = 1;
        const MediaStatus status = self->unit->render(flags, ts, bus, frames, &list);
        std::lock_guard lock(self->mutex);
        self->frames.push_back(frames);
        self->times.push_back(static_cast<uint64_t>(ts->sampleTime));
        self->firstSamples.push_back(*static_cast<const int16_t*>(list.buffers[0].data));
        self->statuses.push_back(status);
        return status;
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return frames.size();
    }

    AudioInputUnit* unit = nullptr;
    std::mutex mutex;
    std::vector<uint32_t> frames;
    std::vector<uint64_t> times;
    std::vector<int16_t> firstSamples;
    std::vector<MediaStatus> statuses;
};

class AlsaInputUnitTest : public ::testing::Test {
protected:
    void open(unsigned maxRate, unsigned minPeriodBytes, double askedRate) {
        device = std::make_unique<FaultDevice>(maxRate, minPeriodBytes);
        unit = std::make_shared<AlsaInputUnit>(device->io.pcm, nullptr);
        collector.unit = unit.get();
        ASSERT_EQ(unit->setEnableInput(kAudioUnitInputBus, true), 0);
        ASSERT_EQ(unit->setStreamFormat(kAudioUnitInputBus, AudioStreamDescription::pcmInt16(askedRate, 1)), 0);
        ASSERT_EQ(unit->setInputCallback(kAudioUnitInputBus, &Collector::callback, &collector), 0);
        ASSERT_EQ(unit->initialize(), 0);
    }
    void TearDown() override {
        if (unit) unit->stop();
        unit.reset();
        device.reset();
    }
    bool waitForPeriods(size_t count) {
        return waitFor([&] { return collector.count() >= count; }, 5s);
    }

    std::unique_ptr<FaultDevice> device;
    std::shared_ptr<AlsaInputUnit> unit;
    Collector collector;
};

TEST_F(AlsaInputUnitTest, RateAndPeriodAreWhatTheDeviceTakes) {
    struct Case {
        unsigned maxRate;
        unsigned minPeriodBytes;
        double asked;
        double delivered;
    };
    const Case cases[] = {{48000, 64, 48000, 48000}, {22050, 64, 48000, 22050}, {48000, 8192, 44100, 44100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxRate);
        open(c.maxRate, c.minPeriodBytes, c.asked);
        EXPECT_EQ(unit->deliveredSampleRate(), c.delivered);
        ASSERT_EQ(unit->start(), 0);
        ASSERT_TRUE(waitForPeriods(8));
        unit->stop();
        std::lock_guard lock(collector.mutex);
        uint64_t frames = 0;
        for (size_t i = 0; i < collector.frames.size(); ++i) {
            EXPECT_LE(collector.frames[i], AudioInputUnit::kMaxFramesPerPeriod);
            EXPECT_EQ(collector.times[i], frames);
            EXPECT_EQ(collector.firstSamples[i], static_cast<int16_t>(frames));
            frames += collector.frames[i];
        }
        collector.frames.clear();
        collector.times.clear();
        collector.firstSamples.clear();
        TearDown();
    }
}

TEST_F(AlsaInputUnitTest, OverrunAndSuspendAreRecoveredAndAnUnplugEndsTheRun) {
    std::mutex mutex;
    std::vector<std::pair<std::string, int64_t>> posted;
    auto record = [&](const Notification& n) {
        int64_t value = -1;
        for (const char* key : {kAudioSessionInterruptionTypeKey, kAudioSessionRouteChangeReasonKey}) {
            if (n.userInfo.count(key)) value = std::any_cast<int64_t>(n.userInfo.at(key));
        }
        std::lock_guard lock(mutex);
        posted.emplace_back(n.name, value);
    };
    auto& center = NotificationCenter::defaultCenter();
    const auto a = center.addObserver(kAudioSessionInterruptionNotification, nullptr, record);
    const auto b = center.addObserver(kAudioSessionRouteChangeNotification, nullptr, record);

    open(48000, 64, 48000);
    ASSERT_EQ(unit->start(), 0);
    for (Fault fault : {Fault::Overrun, Fault::Suspend}) {
        const size_t before = collector.count();
        device->fault = fault;
        ASSERT_TRUE(waitForPeriods(before + 5));
    }
    device->fault = Fault::Unplug;
    ASSERT_TRUE(waitFor([&] { return !unit->isRunning(); }, 5s));
    EXPECT_EQ(unit->stop(), 0);
    AudioSession::shared()->flushNotifications();
    center.removeObserver(a);
    center.removeObserver(b);

    const std::vector<std::pair<std::string, int64_t>> expected{
        {kAudioSessionInterruptionNotification, kAudioSessionInterruptionTypeBegan},
        {kAudioSessionInterruptionNotification, kAudioSessionInterruptionTypeEnded},
        {kAudioSessionRouteChangeNotification, kAudioSessionRouteChangeReasonOldDeviceUnavailable},
    };
    EXPECT_EQ(posted, expected);
    std::lock_guard lock(collector.mutex);
    for (size_t i = 1; i < collector.times.size(); ++i) {
        EXPECT_GE(collector.times[i], collector.times[i - 1] + collector.frames[i - 1]);
    }
}

}  // namespace
