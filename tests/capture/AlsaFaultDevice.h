#pragma once
// An ALSA capture device made inside the test process with alsa-lib's I/O plugin: 16-bit mono at
// one rate, paced by a timer (one period of 256 frames per tick), carrying a ramp (each frame its
// index) so that loss and order show. On request its next pointer update overruns, suspends the
// device or unplugs it, as a real driver reports those.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <memory>

#include "platform/audio/AlsaInputUnit.h"

namespace audiotest {

class AlsaFaultDevice {
public:
    enum class Fault { None, Overrun, Suspend, Unplug };
    static constexpr unsigned kPeriodFrames = 256;

    explicit AlsaFaultDevice(unsigned rate) : rate_(rate) {
        timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        callbacks_.start = &AlsaFaultDevice::start;
        callbacks_.stop = &AlsaFaultDevice::stop;
        callbacks_.pointer = &AlsaFaultDevice::pointer;
        callbacks_.transfer = &AlsaFaultDevice::transfer;
        callbacks_.poll_revents = &AlsaFaultDevice::pollRevents;
        io_.version = SND_PCM_IOPLUG_VERSION;
        io_.name = "kestrune fault device";
        io_.poll_fd = timer_;
        io_.poll_events = POLLIN;
        io_.mmap_rw = 0;
        io_.callback = &callbacks_;
        io_.private_data = this;
    }
    ~AlsaFaultDevice() {
        // The unit closes the PCM; the plugin's record and its timer live until then.
        unit_.reset();
        close(timer_);
    }
    AlsaFaultDevice(const AlsaFaultDevice&) = delete;
    AlsaFaultDevice& operator=(const AlsaFaultDevice&) = delete;

    // The unit over this device; null when alsa-lib refused the plugin.
    std::shared_ptr<platform::AlsaInputUnit> unit() {
        if (unit_) return unit_;
        if (snd_pcm_ioplug_create(&io_, "kestrune_fault", SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) return nullptr;
        const unsigned access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
        const unsigned format[] = {SND_PCM_FORMAT_S16_LE};
        const unsigned rate[] = {rate_};
        snd_pcm_ioplug_set_param_list(&io_, SND_PCM_IOPLUG_HW_ACCESS, 1, access);
        snd_pcm_ioplug_set_param_list(&io_, SND_PCM_IOPLUG_HW_FORMAT, 1, format);
        snd_pcm_ioplug_set_param_minmax(&io_, SND_PCM_IOPLUG_HW_CHANNELS, 1, 1);
        snd_pcm_ioplug_set_param_list(&io_, SND_PCM_IOPLUG_HW_RATE, 1, rate);
        snd_pcm_ioplug_set_param_minmax(&io_, SND_PCM_IOPLUG_HW_PERIOD_BYTES, kPeriodFrames * 2, kPeriodFrames * 2);
        snd_pcm_ioplug_set_param_minmax(&io_, SND_PCM_IOPLUG_HW_PERIODS, 4, 4);
        unit_ = std::make_shared<platform::AlsaInputUnit>(io_.pcm, nullptr);
        return unit_;
    }

    void inject(Fault fault) { fault_.store(fault); }
    // Faults the device has reported so far.
    int faultsReported() const { return reported_.load(); }

private:
    static AlsaFaultDevice& of(snd_pcm_ioplug_t* io) { return *static_cast<AlsaFaultDevice*>(io->private_data); }
    static int64_t nowNs() {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
    }

    static int start(snd_pcm_ioplug_t* io) {
        auto& self = of(io);
        self.startedNs_ = nowNs();
        self.captured_ = 0;
        const long periodNs = static_cast<long>(int64_t{kPeriodFrames} * 1000000000 / self.rate_);
        itimerspec tick{{0, periodNs}, {0, periodNs}};
        timerfd_settime(self.timer_, 0, &tick, nullptr);
        return 0;
    }
    static int stop(snd_pcm_ioplug_t* io) {
        itimerspec off{};
        timerfd_settime(of(io).timer_, 0, &off, nullptr);
        return 0;
    }
    // Whole periods captured since the start, as a position in the ring.
    static snd_pcm_sframes_t pointer(snd_pcm_ioplug_t* io) {
        auto& self = of(io);
        switch (self.fault_.exchange(Fault::None)) {
        case Fault::Overrun: ++self.reported_; return -EPIPE;
        case Fault::Suspend: ++self.reported_; snd_pcm_ioplug_set_state(io, SND_PCM_STATE_SUSPENDED); break;
        case Fault::Unplug: ++self.reported_; snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED); break;
        case Fault::None: break;
        }
        const int64_t elapsed = nowNs() - self.startedNs_;
        const uint64_t periods = static_cast<uint64_t>(elapsed) * self.rate_ / 1000000000 / kPeriodFrames;
        // Never a whole ring ahead of the reader: the plugin can't tell laps apart.
        const uint64_t captured =
            std::min<uint64_t>(periods * kPeriodFrames, io->appl_ptr + io->buffer_size - kPeriodFrames);
        return static_cast<snd_pcm_sframes_t>(captured % io->buffer_size);
    }
    static snd_pcm_sframes_t transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                      snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
        auto& self = of(io);
        auto* samples = static_cast<int16_t*>(areas->addr) + (areas->first + areas->step * offset) / 16;
        for (snd_pcm_uframes_t i = 0; i < size; ++i) samples[i] = static_cast<int16_t>(self.captured_++);
        return static_cast<snd_pcm_sframes_t>(size);
    }
    static int pollRevents(snd_pcm_ioplug_t* io, struct pollfd*, unsigned int, unsigned short* revents) {
        uint64_t ticks = 0;
        [[maybe_unused]] const ssize_t read = ::read(of(io).timer_, &ticks, sizeof ticks);
        *revents = POLLIN;
        return 0;
    }

    const unsigned rate_;
    int timer_ = -1;
    snd_pcm_ioplug_t io_{};
    snd_pcm_ioplug_callback_t callbacks_{};
    std::atomic<Fault> fault_{Fault::None};
    std::atomic<int> reported_{0};
    int64_t startedNs_ = 0;
    uint64_t captured_ = 0;
    std::shared_ptr<platform::AlsaInputUnit> unit_;
};

}  // namespace audiotest
