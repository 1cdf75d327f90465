#pragma once
// The microphone on an ALSA capture device: 16-bit mono periods of at most 1024 frames. An overrun
// is recovered (the sample time skips the frames lost); a suspend becomes an interruption that
// began and ended, an unplugged device a route change (old device unavailable) that ends the run.
#include <string>
#include <vector>

#include "platform/audio/AudioInputUnit.h"

typedef struct _snd_pcm snd_pcm_t;
typedef struct _snd_config snd_config_t;

namespace platform {

class AlsaInputUnit : public AudioInputUnit {
public:
    struct Device {
        std::string name = "default";
        // A file of ALSA configuration that defines `name` (and replaces the system's); empty for
        // the system's own.
        std::string configPath;
    };
    // KESTRUNE_ALSA_DEVICE and KESTRUNE_ALSA_CONFIG, else the system's default device.
    static Device deviceFromEnvironment();
    // Opens the device for capture; a missing or busy device fails with kAudioUnitErrNoDevice.
    static MediaStatus create(const Device& device, std::shared_ptr<AudioInputUnit>* unit);
    // The rate the device takes when asked for `preferred`; 0 when it can't be opened.
    static double probeSampleRate(const Device& device, double preferred);

    ~AlsaInputUnit() override;
    // Frames per callback, as negotiated; 0 before initialize().
    uint32_t periodFrames() const { return periodFrames_; }

    // Takes both; `config` (may be null) is the configuration the device was opened from.
    AlsaInputUnit(snd_pcm_t* pcm, snd_config_t* config);

protected:
    double openDevice(double rate, MediaStatus* status) override;
    bool prepareDevice() override;
    void runCapture() override;
    void releaseDevice() override;

private:
    enum class Recovery { Continue, Resumed, Gone };
    Recovery recoverFromOverrun();
    Recovery recoverFromSuspend();
    // Frames the device dropped since the last read (after an overrun).
    uint64_t framesLostInOverrun();

    snd_pcm_t* pcm_;
    snd_config_t* config_;
    uint32_t periodFrames_ = 0;
    uint64_t bufferFrames_ = 0;
    std::vector<int16_t> period_;
};

}  // namespace platform
