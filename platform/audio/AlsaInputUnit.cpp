#include "platform/audio/AlsaInputUnit.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "platform/LogRelay.h"
#include "platform/audio/AudioSession.h"

namespace platform {

namespace {

// How long one wait for data may last, so that a stop is seen promptly.
constexpr int kWaitSliceMs = 20;
// How long a device that is waking up from a suspend gets before it is restarted from scratch.
constexpr auto kResumeTimeout = std::chrono::seconds(5);
constexpr auto kResumeRetry = std::chrono::milliseconds(10);

// Opens `device` for capture, reading its definition from the device's own configuration file
// when it names one. On success *config holds that configuration (or null).
int openPcm(const AlsaInputUnit::Device& device, snd_pcm_t** pcm, snd_config_t** config) {
    *config = nullptr;
    if (device.configPath.empty()) {
        return snd_pcm_open(pcm, device.name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    }
    snd_input_t* input = nullptr;
    int err = snd_input_stdio_open(&input, device.configPath.c_str(), "r");
    if (err < 0) return err;
    snd_config_t* top = nullptr;
    err = snd_config_top(&top);
    if (err == 0) err = snd_config_load(top, input);
    snd_input_close(input);
    if (err == 0) err = snd_pcm_open_lconf(pcm, device.name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK, top);
    if (err < 0) {
        if (top) snd_config_delete(top);
        return err;
    }
    *config = top;
    return 0;
}

// Access, format and channels every capture here uses; then the rate nearest to `rate`.
int setCommonParams(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned* rate) {
    int err = snd_pcm_hw_params_any(pcm, params);
    if (err >= 0) err = snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (err >= 0) err = snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S16);
    if (err >= 0) err = snd_pcm_hw_params_set_channels(pcm, params, 1);
    int dir = 0;
    if (err >= 0) err = snd_pcm_hw_params_set_rate_near(pcm, params, rate, &dir);
    return err;
}

unsigned wholeRate(double rate) {
    if (!(rate >= 1)) return 48000;
    return static_cast<unsigned>(std::lround(std::min(rate, 1e6)));
}

}  // namespace

AlsaInputUnit::Device AlsaInputUnit::deviceFromEnvironment() {
    Device device;
    if (const char* name = std::getenv("KESTRUNE_ALSA_DEVICE"); name && *name) device.name = name;
    if (const char* path = std::getenv("KESTRUNE_ALSA_CONFIG"); path && *path) device.configPath = path;
    return device;
}

MediaStatus AlsaInputUnit::create(const Device& device, std::shared_ptr<AudioInputUnit>* unit) {
    snd_pcm_t* pcm = nullptr;
    snd_config_t* config = nullptr;
    const int err = openPcm(device, &pcm, &config);
    if (err < 0) {
        LogRelay::relay(LogRelay::Level::Error,
                        "ALSA: can't open capture device " + device.name + ": " + snd_strerror(err));
        return kAudioUnitErrNoDevice;
    }
    *unit = std::make_shared<AlsaInputUnit>(pcm, config);
    return kMediaNoErr;
}

double AlsaInputUnit::probeSampleRate(const Device& device, double preferred) {
    snd_pcm_t* pcm = nullptr;
    snd_config_t* config = nullptr;
    if (openPcm(device, &pcm, &config) < 0) return 0;
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    unsigned rate = wholeRate(preferred);
    const bool taken = setCommonParams(pcm, params, &rate) >= 0;
    snd_pcm_close(pcm);
    if (config) snd_config_delete(config);
    return taken ? rate : 0;
}

AlsaInputUnit::AlsaInputUnit(snd_pcm_t* pcm, snd_config_t* config) : pcm_(pcm), config_(config) {}

AlsaInputUnit::~AlsaInputUnit() {
    stop();
    snd_pcm_close(pcm_);
    if (config_) snd_config_delete(config_);
}

double AlsaInputUnit::openDevice(double rate, MediaStatus* status) {
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    unsigned actualRate = wholeRate(rate);
    int err = setCommonParams(pcm_, params, &actualRate);
    int dir = 0;
    // 10 ms periods: audio reaches the encoder soon after it was heard, and video, which waits for
    // audio of its own time, waits less. The buffer keeps 80 ms against a late reader.
    snd_pcm_uframes_t period = std::min<snd_pcm_uframes_t>(kMaxFramesPerPeriod, std::max(actualRate / 100, 32u));
    if (err >= 0) err = snd_pcm_hw_params_set_period_size_near(pcm_, params, &period, &dir);
    snd_pcm_uframes_t buffer = period * 8;
    if (err >= 0) err = snd_pcm_hw_params_set_buffer_size_near(pcm_, params, &buffer);
    if (err >= 0) err = snd_pcm_hw_params(pcm_, params);
    if (err >= 0) err = snd_pcm_hw_params_get_rate(params, &actualRate, &dir);
    if (err >= 0) err = snd_pcm_hw_params_get_period_size(params, &period, &dir);
    if (err >= 0) err = snd_pcm_hw_params_get_buffer_size(params, &buffer);
    if (err < 0) {
        LogRelay::relay(LogRelay::Level::Error, "ALSA: capture device refuses 16-bit mono near " +
                                                   std::to_string(wholeRate(rate)) + " Hz: " + snd_strerror(err));
        *status = kAudioUnitErrFormatNotSupported;
        return 0;
    }
    // A device whose period is longer still hands over at most kMaxFramesPerPeriod per callback.
    periodFrames_ = static_cast<uint32_t>(std::min<snd_pcm_uframes_t>(period, kMaxFramesPerPeriod));
    bufferFrames_ = buffer;
    period_.assign(periodFrames_, 0);
    return actualRate;
}

bool AlsaInputUnit::prepareDevice() {
    const snd_pcm_state_t state = snd_pcm_state(pcm_);
    if (state == SND_PCM_STATE_PREPARED) return true;
    return snd_pcm_prepare(pcm_) >= 0;
}

void AlsaInputUnit::releaseDevice() { snd_pcm_drop(pcm_); }

void AlsaInputUnit::runCapture() {
    uint64_t lost = 0;
    while (!stopRequested()) {
        const snd_pcm_sframes_t read = snd_pcm_readi(pcm_, period_.data(), periodFrames_);
        if (read > 0) {
            deliverPeriod(period_.data(), static_cast<uint32_t>(read), lost);
            lost = 0;
            continue;
        }
        Recovery recovery = Recovery::Continue;
        if (read == 0 || read == -EAGAIN) {
            snd_pcm_wait(pcm_, kWaitSliceMs);
        } else if (read == -EPIPE) {
            lost += framesLostInOverrun();
            recovery = recoverFromOverrun();
        } else if (read == -ESTRPIPE) {
            recovery = recoverFromSuspend();
        } else {
            recovery = Recovery::Gone;  // -ENODEV, -EBADFD, -EIO: unplugged or broken
        }
        if (recovery == Recovery::Gone) {
            AudioSession::shared()->postRouteChange(kAudioSessionRouteChangeReasonOldDeviceUnavailable);
            endCaptureFromDevice();
        }
    }
}

uint64_t AlsaInputUnit::framesLostInOverrun() {
    snd_pcm_status_t* status = nullptr;
    snd_pcm_status_alloca(&status);
    if (snd_pcm_status(pcm_, status) < 0) return 0;
    // The device stopped capturing when it overran (the trigger time): the frames of the time
    // since then are lost, beside any it captured beyond the full buffer.
    snd_htimestamp_t now{};
    snd_htimestamp_t stopped{};
    snd_pcm_status_get_htstamp(status, &now);
    snd_pcm_status_get_trigger_htstamp(status, &stopped);
    const double seconds = static_cast<double>(now.tv_sec - stopped.tv_sec) +
                           static_cast<double>(now.tv_nsec - stopped.tv_nsec) / 1e9;
    const bool timed = stopped.tv_sec != 0 && seconds > 0 && seconds < 3600;
    const snd_pcm_uframes_t avail = snd_pcm_status_get_avail(status);
    const uint64_t beyondBuffer = avail > bufferFrames_ ? avail - bufferFrames_ : 0;
    return beyondBuffer + (timed ? static_cast<uint64_t>(std::llround(seconds * deliveredSampleRate())) : 0);
}

AlsaInputUnit::Recovery AlsaInputUnit::recoverFromOverrun() {
    return snd_pcm_prepare(pcm_) >= 0 ? Recovery::Continue : Recovery::Gone;
}

AlsaInputUnit::Recovery AlsaInputUnit::recoverFromSuspend() {
    // The process ran on only after the machine woke up: the interruption is already over once
    // the device has resumed, so both ends are posted then.
    const auto giveUp = std::chrono::steady_clock::now() + kResumeTimeout;
    int err = snd_pcm_resume(pcm_);
    while (err == -EAGAIN && std::chrono::steady_clock::now() < giveUp) {
        if (!waitUntil(std::chrono::steady_clock::now() + kResumeRetry)) return Recovery::Continue;
        err = snd_pcm_resume(pcm_);
    }
    // Some devices come back from a resume still suspended, or stopped: those start afresh.
    const snd_pcm_state_t state = snd_pcm_state(pcm_);
    if (err < 0 || (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_PREPARED)) err = snd_pcm_prepare(pcm_);
    if (err < 0) return Recovery::Gone;
    auto session = AudioSession::shared();
    session->postInterruption(kAudioSessionInterruptionTypeBegan, 0);
    session->postInterruption(kAudioSessionInterruptionTypeEnded, kAudioSessionInterruptionOptionShouldResume);
    return Recovery::Resumed;
}

}  // namespace platform
